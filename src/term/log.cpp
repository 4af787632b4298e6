// The terminal's log file (-l): bytes gathered in a buffer and written when
// it fills and at the close. A log that cannot be written (a full disk, a
// pipe whose reader stalls) is said once on standard error with the
// system's reason; the terminal goes on without it, and the run ends with
// status 1.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "term/term.h"

namespace {

// A log that takes nothing for this long has failed.
constexpr int kLogWaitMs = 2000;

OutputFile* log_file = nullptr;
std::array<char, 1 << 14> pending{};
std::size_t pending_count = 0;
bool failed = false;
bool close_at_exit_registered = false;

void say_failure(int error) {
    if (failed) return;
    failed = true;
    std::fflush(stdout);
    std::fprintf(stderr, "Cannot write log file: %s\n", file_error_text(error));
    std::fflush(stderr);
}

void write_pending() {
    int error = 0;
    if (pending_count > 0 && !failed &&
        !output_file_write(log_file, pending.data(), pending_count, kLogWaitMs, &error))
        say_failure(error);
    pending_count = 0;
}

// Under --log-time: the next byte logged begins a line, and gets the tag.
bool at_line_start = true;

void gather(const char* bytes, std::size_t count) {
    while (count > 0) {
        std::size_t room = pending.size() - pending_count;
        std::size_t n = count < room ? count : room;
        std::memcpy(pending.data() + pending_count, bytes, n);
        pending_count += n;
        bytes += n;
        count -= n;
        if (pending_count == pending.size()) write_pending();
    }
}

// Each line begins with the time its first byte came.
void gather_tagged(const char* bytes, std::size_t count) {
    while (count > 0) {
        if (at_line_start) {
            char tag[kTimeTagCapacity];
            gather(tag, format_time_tag(time_of_day(), tag, sizeof tag, terminal_options.time_format));
            at_line_start = false;
        }
        const void* line_end = std::memchr(bytes, '\n', count);
        std::size_t n = line_end == nullptr
                            ? count
                            : static_cast<std::size_t>(static_cast<const char*>(line_end) - bytes) + 1;
        gather(bytes, n);
        at_line_start = line_end != nullptr;
        bytes += n;
        count -= n;
    }
}

}  // namespace

bool log_open(const char* path, bool append) {
    log_close();
    int error = 0;
    log_file = output_file_open(path, &error, false, append);
    if (log_file == nullptr) return false;
    failed = false;
    at_line_start = true;
    // A fatal stop or a signal ends the run through exit: the log is
    // written out and closed there.
    if (!close_at_exit_registered) close_at_exit_registered = std::atexit([] { log_close(); }) == 0;
    return true;
}

void log_write(const char* bytes, std::size_t count) {
    if (log_file == nullptr || failed) return;
    if (terminal_options.log_time)
        gather_tagged(bytes, count);
    else
        gather(bytes, count);
}

bool log_close() {
    if (log_file != nullptr) {
        write_pending();
        int error = 0;
        if (!output_file_close(log_file, &error)) say_failure(error);
        log_file = nullptr;
    }
    return !failed;
}
