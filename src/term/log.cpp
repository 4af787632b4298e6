// The terminal's log file (-l): one open stream, or none.
#include <cerrno>
#include <cstdio>

#include "base/fatal.h"
#include "console/console.h"
#include "term/term.h"

namespace {

std::FILE* log_file = nullptr;

}  // namespace

bool log_open(const char* path) {
    log_close();
    // Opening a pipe waits for its reader; a signal, whether it came just
    // before or during the wait, ends the run as a signal, not as a file
    // that could not be opened.
    check_pending_signal();
    log_file = std::fopen(path, "w");
    if (log_file == nullptr && errno == EINTR) check_pending_signal();
    return log_file != nullptr;
}

void log_write(const char* bytes, std::size_t count) {
    if (log_file != nullptr) stream_write(log_file, bytes, count);
}

void log_close() {
    if (log_file != nullptr) std::fclose(log_file);
    log_file = nullptr;
}
