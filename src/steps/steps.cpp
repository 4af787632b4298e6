// The scripted session: sends and expects one after another, the received
// bytes going through the terminal's own display as they are read.
#include "steps/steps.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "base/fatal.h"
#include "console/console.h"
#include "events/events.h"
#include "serial/serial.h"
#include "term/term.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest single wait for a byte: the deadline is looked at again after
// it, and the screen brought up to date.
constexpr int kWaitSliceMs = 50;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

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

// Milliseconds until the deadline, rounded up, at most one slice.
int wait_ms(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 1, kWaitSliceMs));
}

// Reads one byte at a time, so that what follows a match stays in the
// port for the next expect. A flood that never matches still ends at the
// deadline.
bool expect_step(std::size_t index, const Step& step, std::string* failure) {
    TextMatcher matcher(step.bytes);
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(step.timeout_seconds));
    for (;;) {
        check_pending_signal();
        if (byte_waiting()) {
            uint8_t byte = 0;
            if (read_byte(&byte) == 1) {
                show_received_byte(byte);
                if (matcher.feed(byte)) {
                    console_flush();
                    step_event(index, step).with("result", "matched").with("ms", elapsed_ms(start)).write();
                    return true;
                }
            }
            if (Clock::now() < deadline) continue;
        }
        console_flush();
        if (Clock::now() >= deadline) break;
        wait_for_byte_ms(wait_ms(deadline));
    }
    char message[64];
    std::snprintf(message, sizeof message, "Timed out after %g s waiting for \"", step.timeout_seconds);
    *failure = message + step.written + "\"";
    std::fprintf(stderr, "%s\n", failure->c_str());
    step_event(index, step).with("result", "timed out").with("ms", elapsed_ms(start)).write();
    return false;
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
    console_flush();
    return true;
}
