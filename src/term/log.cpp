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
    // The display's few bytes at a time, without a library copy's set-up.
    if (count < pending.size() - pending_count) {
        for (std::size_t i = 0; i < count; ++i) pending[pending_count++] = bytes[i];
        return;
    }
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

// The tag of the last reading of the clock, formatted again only when the
// clock has moved on by what the tag shows.
struct LastTag {
    TimeOfDay time{-1, 0, 0, 0};
    std::array<char, kTimeTagCapacity> text{};
    std::size_t length = 0;
};
LastTag last_tag;

bool same_tag(const TimeOfDay& a, const TimeOfDay& b) {
    return a.hours == b.hours && a.minutes == b.minutes && a.seconds == b.seconds &&
           a.milliseconds == b.milliseconds && a.day == b.day;
}

void gather_time_tag() {
    TimeOfDay now = time_of_day();
    if (!same_tag(now, last_tag.time)) {
        last_tag.time = now;
        last_tag.length =
            format_time_tag(now, last_tag.text.data(), last_tag.text.size(), terminal_options.time_format);
    }
    gather(last_tag.text.data(), last_tag.length);
}

// Each line begins with the time its first byte came. The display hands
// the log a byte or a few at a time: a plain scan finds the line end
// faster than a library search.
void gather_tagged(const char* bytes, std::size_t count) {
    while (count > 0) {
        if (at_line_start) {
            gather_time_tag();
            at_line_start = false;
        }
        std::size_t n = 0;
        while (n < count && bytes[n] != '\n') ++n;
        at_line_start = n < count;
        if (at_line_start) ++n;  // the line end is the line's
        gather(bytes, n);
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
