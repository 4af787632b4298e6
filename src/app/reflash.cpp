// A reflash from the terminal: when the flash file has been replaced or
// rewritten and has settled, or by the reflash key, the file is read once,
// the target brought into its bootloader the way the run's first download
// reached it, the pages that changed written, verified and the application
// started; the terminal then goes on at its rate. The download's own lines
// are kept off the screen: one line before and one after say what
// happened, and a failure leaves the terminal running for the next try.
#include "app/reflash.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/options.h"
#include "base/command.h"
#include "base/fatal.h"
#include "base/file_watch.h"
#include "base/run_options.h"
#include "base/text.h"
#include "base/wait.h"
#include "boot/boot.h"
#include "console/console.h"
#include "events/events.h"
#include "serial/serial.h"
#include "term/term.h"

namespace {

// A file is taken once no change of it has come for this long: build tools
// write in pieces, or write beside it and rename.
constexpr int kSettleMs = 100;

FileWatch* flash_watch = nullptr;
bool change_pending = false;
Deadline settled;
int64_t first_change_ms = 0;

// The flash file as the command line named it (the upload's current name
// may change meanwhile).
std::array<char, kPathCapacity> flash_path{};

int change_wait(WaitSource* source) {
    *source = file_watch_source(flash_watch);
    if (file_watch_take(flash_watch)) {
        if (!change_pending) first_change_ms = monotonic_ms();
        change_pending = true;
        settled = Deadline::in_ms(kSettleMs);
    }
    return change_pending ? settled.left_ms() : kWaitForever;
}

// What the reflash found, for its line and its event.
struct Report {
    const char* result = "";
    std::string reason;
    PagesWritten pages;
    double seconds = 0;
};

// Written before the line that says the same, so that whoever sees the
// line finds the event written.
void write_event(const char* cause, const Report& report, int64_t settle_ms) {
    Event event("reflash");
    event.with("file", flash_path.data()).with("cause", cause).with("result", report.result);
    if (!report.reason.empty()) event.with("reason", report.reason);
    if (report.pages.of > 0) event.with("pages_written", report.pages.written).with("pages", report.pages.of);
    if (settle_ms >= 0) event.with("settle_ms", settle_ms);
    event.with("seconds", report.seconds).write();
}

// The message a stop would have ended the run with, in one line: the
// reader's ERROR line where the message only says that it stopped.
std::string why_it_stopped(const std::string& message, const std::string& captured) {
    std::string why = message;
    if (why.find("TRANSLATION ABORTED") != std::string::npos) {
        std::size_t at = captured.rfind("ERROR: ");
        why = at == std::string::npos ? "not an image" : captured.substr(at + 7);
    }
    for (char& c : why)
        if (c == '\r' || c == '\n') c = ' ';
    while (!why.empty() && (why.back() == ' ' || why.back() == '!')) why.pop_back();
    std::size_t start = why.find_first_not_of(' ');
    return start == std::string::npos ? "stopped" : why.substr(start);
}

// After a verify that failed, the dialogue's own line on what became of
// the board ("Verify failed: application not started, ...").
std::string what_the_dialogue_held(const std::string& captured) {
    std::size_t at = captured.rfind("Verify failed");
    if (at == std::string::npos) return "Verify failed";
    return captured.substr(at, captured.find('\r', at) - at);
}

// The file read into the image, quietly; false with the reason when it
// does not read as an image (a build still writing it, a file gone).
bool read_image(std::string* why) {
    std::FILE* probe = std::fopen(flash_path.data(), "rb");
    if (probe == nullptr) {
        *why = std::strerror(errno);
        return false;
    }
    std::fclose(probe);
    std::string captured;
    console_capture(&captured);
    try {
        FailureTrap trap;
        read_flash_file(flash_path.data());
    } catch (const TrappedFailure& failure) {
        *why = why_it_stopped(failure.message, captured);
    }
    console_capture(nullptr);
    return why->empty();
}

// The target's state for the next reflash: a reflash that went straight
// to the bootloader and failed may have found the application running
// after all, so the next one wakes it again.
bool target_in_bootloader = false;

void flash_the_target(Report* report) {
    const bool wake = run_options.wake_application && !target_in_bootloader;
    std::string captured;
    console_capture(&captured);
    try {
        FailureTrap trap;
        ReflashOutcome outcome = reflash_target(wake);
        report->pages = outcome.pages;
        report->result = outcome.verified == DownloadOutcome::succeeded ? "started" : "verify failed";
        if (outcome.verified == DownloadOutcome::failed) report->reason = what_the_dialogue_held(captured);
    } catch (const TrappedFailure& failure) {
        report->result = "failed";
        report->reason = why_it_stopped(failure.message, captured);
    }
    console_capture(nullptr);
    const bool failed = std::strcmp(report->result, "started") != 0;
    target_in_bootloader =
        failed && !wake && run_options.wake_application ? false : target_left_in_bootloader();
    set_baud_rate(run_options.terminal_rate);
}

std::string after_line(const Report& report) {
    std::array<char, 320> text{};
    const PagesWritten& pages = report.pages;
    if (std::strcmp(report.result, "failed") == 0) return "Reflash FAILED: " + report.reason;
    if (std::strcmp(report.result, "verify failed") == 0)
        std::snprintf(text.data(), text.size(), "Reflash FAILED: %s (%u of %u pages written)",
                      report.reason.c_str(), static_cast<unsigned>(pages.written),
                      static_cast<unsigned>(pages.of));
    else if (pages.whole)
        std::snprintf(text.data(), text.size(),
                      "Reflashed: all %u pages (erased first) in %.1f s, application started",
                      static_cast<unsigned>(pages.written), report.seconds);
    else
        std::snprintf(text.data(), text.size(), "Reflashed: %u of %u pages in %.1f s, application started",
                      static_cast<unsigned>(pages.written), static_cast<unsigned>(pages.of), report.seconds);
    return text.data();
}

// Shows what the command writes as it comes, while the keyboard is looked
// at (the exit keys end the run, the build with it); returns its status.
int show_command(Command* command) {
    for (;;) {
        std::array<WaitSource, 2> sources{command_wait_source(command)};
        int limit = console_key_wait(&sources[1]);
        wait_for_any(sources, limit);
        check_pending_signal();
        std::string output;
        bool more = command_read(command, &output);
        terminal_write(output);
        if (!more) return command_finish(command);
    }
}

// --build before the reflash; false (said in a line, and its event) when it
// failed: nothing is flashed then.
bool build(const char* cause, int64_t settle_ms) {
    if (reflash_options.build == nullptr) return true;
    terminal_own_line(std::string("Building: ") + shown_target_bytes(reflash_options.build));
    std::string why;
    Command* command = command_start(reflash_options.build, &why);
    int status = command != nullptr ? show_command(command) : -1;
    if (status == 0) return true;
    Report report;
    report.result = "build failed";
    report.reason = command == nullptr ? why : "status " + std::to_string(status);
    write_event(cause, report, settle_ms);
    terminal_own_line("Build failed (" + report.reason + "): nothing flashed");
    return false;
}

void reflash(bool by_key) {
    const char* cause = by_key ? "key" : "changed";
    const int64_t settle_ms = by_key ? -1 : monotonic_ms() - first_change_ms;
    const bool built = build(cause, settle_ms);
    // What happened to the file up to now (what the build wrote included)
    // is what is read now; after a failed build, the next change counts.
    if (flash_watch != nullptr) file_watch_take(flash_watch);
    change_pending = false;
    if (!built) return;
    const std::string shown = shown_target_bytes(flash_path.data());
    Report report;
    if (!read_image(&report.reason)) {
        report.result = "not an image";
        write_event(cause, report, settle_ms);
        terminal_own_line(shown + " does not read as an image (" + report.reason + "): not flashed" +
                          (flash_watch != nullptr ? ", waiting for the next change" : ""));
        return;
    }
    terminal_own_line("Reflashing " + shown + " (" + cause + ") ...");
    const int64_t start_ms = monotonic_ms();
    flash_the_target(&report);
    report.seconds = static_cast<double>(monotonic_ms() - start_ms) / 1000.0;
    write_event(cause, report, settle_ms);
    terminal_own_line(after_line(report));
}

}  // namespace

void watch_flash_file() {
    copy_text(flash_path, run_options.current_file_name.data());
    if (!reflash_options.watch) return;
    std::string why;
    flash_watch = file_watch_open(flash_path.data(), &why);
    if (flash_watch == nullptr)
        report_error_format("Cannot watch %s: %s", shown_target_bytes(flash_path.data()).c_str(),
                            why.c_str());
}

void hand_reflash_to_terminal() {
    if (!reflash_options.wanted()) return;
    target_in_bootloader = target_left_in_bootloader();
    ReflashHooks hooks;
    hooks.key = reflash_options.key;
    hooks.change_wait = flash_watch != nullptr ? change_wait : nullptr;
    hooks.run = reflash;
    set_reflash_hooks(hooks);
}
