// The one fatal exit that every part of the program uses.
#include "base/fatal.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "base/wait.h"
#include "events/events.h"

namespace {

// Set by a signal handler or the console's control thread, read by the
// main thread.
std::atomic<int> pending_exit_status{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler stores it");

// The status of the way out once it has begun; 0 before.
std::atomic<bool> exit_begun{false};
int exit_status = kExitOk;

std::array<void (*)(), kLetGoAtExitLimit> let_go_list{};
int let_go_count = 0;

// The messages carry their own line ends for the console; the event stream
// gets the words.
std::string_view without_line_ends(std::string_view text) {
    std::size_t first = text.find_first_not_of("\r\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of("\r\n") - first + 1);
}

std::string fatal_context;
std::string stop_hint;
void (*line_ender)() = nullptr;

// What an interrupt (Ctrl-C) ends with: the open line ended, then this.
constexpr const char* kInterruptedLine = "Interrupted\r\n";

// FailureTraps alive; a nested one changes nothing.
int failure_traps = 0;

void (*stop_watch)() = nullptr;
bool stop_watch_running = false;

std::string reason_of(int status) {
    if (status == kExitOk) return "done";
    if (status > kExitSignalBase) return "stopped by signal " + std::to_string(status - kExitSignalBase);
    return "failed";
}

}  // namespace

FailureTrap::FailureTrap() { ++failure_traps; }
FailureTrap::~FailureTrap() { --failure_traps; }

void set_fatal_context(std::string_view context) { fatal_context = context; }

void set_stop_hint(std::string_view hint) { stop_hint = hint; }

void report_error(const char* message) { report_error_hinted(message, stop_hint); }

void report_error_hinted(const char* message, std::string_view hint) {
    std::string said = fatal_context + message;
    if (failure_traps > 0) throw TrappedFailure{said};
    std::printf("\r\n%s\r\n\r\n", said.c_str());
    if (!hint.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "%.*s\n", static_cast<int>(hint.size()), hint.data());
        std::fflush(stderr);
    }
    exit_program(kExitFailure, said);
}

void set_line_ender(void (*end_line)()) { line_ender = end_line; }

void end_open_line() {
    if (line_ender != nullptr) line_ender();
}

void report_error_format(const char* format, ...) {
    char message[kPathCapacity + 128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    report_error(message);
}

void exit_program(int status, std::string_view reason) {
    if (exit_begun.exchange(true)) end_process_at_once(exit_status);
    exit_status = status;
    if (status > kExitSignalBase) end_open_line();
    if (status == kExitSignalBase + SIGINT) std::fputs(kInterruptedLine, stdout);
    std::fflush(stdout);
    for (int i = let_go_count - 1; i >= 0; --i) let_go_list[static_cast<std::size_t>(i)]();
    std::string why = reason.empty() ? reason_of(status) : std::string(without_line_ends(reason));
    if (status == kExitOk && !events_intact()) status = kExitFailure;
    exit_status = status;
    if (!events_end(status, why) && status == kExitOk) status = kExitFailure;
    end_process(status);  // closes the log and every stream; the keyboard is restored at exit
}

void let_go_at_exit(void (*let_go)()) {
    for (int i = 0; i < let_go_count; ++i)
        if (let_go_list[static_cast<std::size_t>(i)] == let_go) return;
    if (let_go_count < kLetGoAtExitLimit) let_go_list[static_cast<std::size_t>(let_go_count++)] = let_go;
}

bool exiting() { return exit_begun.load(); }

bool request_exit(int status) {
    int none = 0;
    if (!pending_exit_status.compare_exchange_strong(none, status)) return false;
    wake_waits();  // a wait in progress ends now and checks
    return true;
}

void check_pending_signal() {
    int status = pending_exit_status.load();
    if (status != 0 && !exiting()) exit_program(status);
    if (stop_watch == nullptr || stop_watch_running || exiting()) return;
    stop_watch_running = true;
    stop_watch();
    stop_watch_running = false;
}

void set_stop_watch(void (*watch)()) { stop_watch = watch; }
