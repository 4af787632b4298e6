// The scripted session: sends and expects one after another, the received
// bytes going through the terminal's own display as they are read.
#include "steps/steps.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "base/fatal.h"
#include "base/text.h"
#include "console/console.h"
#include "events/events.h"
#include "serial/serial.h"
#include "term/term.h"

namespace {

// The longest single wait for a byte: the deadline is looked at again after
// it, and the screen brought up to date.
constexpr int kWaitSliceMs = 50;

int64_t elapsed_ms(int64_t since_ms) { return monotonic_ms() - since_ms; }

Event step_event(std::size_t index, const Step& step) {
    Event event("step");
    event.with("index", index + 1)
        .with("kind", step.kind == Step::Kind::send ? "send" : "expect")
        .with("text", step.written);
    if (step.kind == Step::Kind::expect) event.with("timeout_s", step.timeout_seconds);
    return event;
}

// Each byte is sent as the terminal sends a typed key: a port that refuses
// it ends the run ("Serial Write failure").
void send_step(std::size_t index, const Step& step) {
    for (char c : step.bytes) send_byte_checked(static_cast<uint8_t>(c));
    step_event(index, step).with("result", "sent").write();
}

// Seconds as the shortest plain decimal that reads back as the same
// number: 10, 2.5, 0.25, 0.00001 (never 1e-05, never rounded to six digits).
std::string seconds_text(double seconds) {
    std::array<char, 64> text{};
    auto [end, error] =
        std::to_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed);
    if (error != std::errc()) return "?";
    return std::string(text.data(), end);
}

// The wait until the deadline, at least a millisecond, at most one slice.
int wait_ms(const Deadline& deadline) { return std::clamp(deadline.left_ms(), 1, kWaitSliceMs); }

// One received byte shown as the terminal shows it and fed to the matcher:
// true when it completes the text.
bool take_byte(TextMatcher& matcher) {
    uint8_t byte = 0;
    // A read that failed (and re-opened the port) brings no byte.
    if (read_byte(&byte) != 1) return false;
    show_received_byte(byte);
    return matcher.feed(byte);
}

// Reads one byte at a time, so that what follows a match stays in the
// port for the next expect. What had arrived by the deadline still counts
// (so --timeout 0 looks at what is there already); a flood that never
// matches ends at the deadline all the same.
bool expect_step(std::size_t index, const Step& step, std::string* failure) {
    TextMatcher matcher(step.bytes);
    const int64_t start_ms = monotonic_ms();
    // A part of a millisecond counts as a whole one.
    const Deadline deadline = Deadline::in_ms(static_cast<int64_t>(std::ceil(step.timeout_seconds * 1000.0)));
    bool matched = false;
    while (!matched) {
        check_pending_signal();
        if (deadline.passed()) break;
        if (byte_waiting()) {
            matched = take_byte(matcher);
            continue;
        }
        console_flush();
        wait_for_byte_ms(wait_ms(deadline));
    }
    // The bytes waiting at the deadline arrived in time; no more than those.
    for (uint32_t left = matched ? 0 : receive_count(); left > 0 && !matched; --left)
        matched = take_byte(matcher);
    console_flush();
    if (matched) {
        step_event(index, step).with("result", "matched").with("ms", elapsed_ms(start_ms)).write();
        return true;
    }
    *failure =
        "Timed out after " + seconds_text(step.timeout_seconds) + " s waiting for \"" + step.written + "\"";
    std::fprintf(stderr, "%s\n", shown_target_bytes(*failure).c_str());
    step_event(index, step).with("result", "timed out").with("ms", elapsed_ms(start_ms)).write();
    return false;
}

// Shows what the target has sent already and no step read: the job's log
// ends with what the board said, not at the last match.
void show_waiting_bytes() {
    for (uint32_t left = receive_count(); left > 0; --left) {
        uint8_t byte = 0;
        if (read_byte(&byte) == 1) show_received_byte(byte);
    }
}

}  // namespace

bool run_steps(const std::vector<Step>& steps, std::string* failure) {
    console_set_batching(true);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].kind == Step::Kind::send)
            send_step(i, steps[i]);
        else if (!expect_step(i, steps[i], failure))
            return false;
    }
    show_waiting_bytes();
    console_flush();
    return true;
}
