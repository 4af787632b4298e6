// Timed byte exchange: replies read within a budget of 1 ms polls. No clock
// is read; a time limit is a number of polls. Where a poll sleeps only to
// wait for data, it wakes as soon as a byte is there, so the count of polls
// (and so every limit) is as stated while a reply costs no more than it must.
#include "base/fatal.h"
#include "base/run_options.h"
#include "base/text.h"
#include "base/wait.h"
#include "console/console.h"
#include "serial/serial.h"

int32_t reply_poll_limit = kReplyPollLimit;

// Throws away what is still arriving: checks, then sleeps, on every poll,
// so it always takes its full time; at most one byte goes per poll.
void drain_input(int polls) {
    uint8_t held = 0;
    for (int i = 0; i < polls; ++i) {
        if (byte_waiting()) read_byte(&held);
        sleep_ms(1);
    }
}

QuietDrain drain_until_quiet(int quiet_ms, int limit_ms) {
    QuietDrain drain;
    const int64_t start = monotonic_ms();
    int64_t last_byte = start;
    for (int64_t now = start; now - last_byte < quiet_ms && now - start < limit_ms; now = monotonic_ms()) {
        uint8_t held = 0;
        if (byte_waiting()) {
            if (read_byte(&held) == 1) ++drain.dropped;
            last_byte = monotonic_ms();
            continue;
        }
        int64_t quiet_left = quiet_ms - (now - last_byte);
        int64_t limit_left = limit_ms - (now - start);
        wait_for_byte_ms(static_cast<int>(quiet_left < limit_left ? quiet_left : limit_left));
    }
    drain.quiet = monotonic_ms() - last_byte >= quiet_ms;
    return drain;
}

void send_text(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) send_byte(static_cast<uint8_t>(*p));
}

void send_byte_checked(uint8_t byte) {
    if (send_byte(byte) != 0) report_error("Serial Write failure");
}

int read_bytes(int n, char* buffer, int32_t poll_limit) {
    int count = 0;
    if (n < 1) {  // no room for a byte: the buffer holds only the NUL
        buffer[0] = '\0';
        return 0;
    }
    for (int32_t polls = 0; polls < poll_limit;) {
        wait_for_byte_ms(1);
        ++polls;
        if (byte_waiting()) {
            uint8_t held = 0;
            // A failed read gives no byte; nothing stale is passed on.
            if (read_byte(&held) != 1) continue;
            buffer[count++] = static_cast<char>(held);
            if (count >= n) break;
        }
    }
    buffer[count] = '\0';
    return count;
}

int read_reply(int n, char* buffer, int32_t poll_limit) {
    int count = read_bytes(n, buffer, poll_limit);
    if (count > 0 && run_options.verbose)
        console_print(" %s\r\n", shown_target_bytes(std::string_view(buffer, 1)).c_str());
    if (count == 0) console_print("nothing\r\n");
    return count;
}

int read_byte_timeout(uint8_t* out) {
    for (int polls = 0; polls < kByteWaitPolls; ++polls) {
        if (byte_waiting()) {
            uint8_t held = 0;
            if (read_byte(&held) == 1) {
                *out = held;
                return 1;
            }
            // A failed read brought nothing: the poll counts as empty, so
            // a failing port cannot cut the wait short.
        }
        wait_for_byte_ms(1);
    }
    return 0;
}

std::size_t read_bytes_within(uint8_t* out, std::size_t count, int first_ms, int gap_ms) {
    std::size_t got = 0;
    Deadline deadline = Deadline::in_ms(first_ms);
    while (got < count) {
        uint8_t byte = 0;
        if (byte_waiting() && read_byte(&byte) == 1) {
            out[got++] = byte;
            deadline = Deadline::in_ms(gap_ms);
            continue;
        }
        if (deadline.passed()) break;
        wait_for_byte_ms(deadline.left_ms());
    }
    return got;
}
