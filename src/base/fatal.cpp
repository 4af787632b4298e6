// The one fatal exit that every part of the program uses.
#include "base/fatal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "base/text.h"

namespace {

// Set by a signal handler or the console's control thread, read by the
// main thread.
std::atomic<int> pending_exit_status{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler stores it");

}  // namespace

void report_error(const char* message) {
    std::printf("\r\n%s\r\n\r\n", message);
    exit_program(kExitFailure);
}

void report_error_format(const char* format, ...) {
    char message[kPathCapacity + 128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    report_error(message);
}

void exit_program(int status) {
    std::fflush(stdout);
    std::exit(status);  // closes the log and every stream; the keyboard is restored at exit
}

bool request_exit(int status) {
    int none = 0;
    return pending_exit_status.compare_exchange_strong(none, status);
}

void check_pending_signal() {
    int status = pending_exit_status.load();
    if (status != 0) exit_program(status);
}
