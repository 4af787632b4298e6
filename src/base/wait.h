// Waiting on several things at once: the platform's one blocking call (poll
// on POSIX, WaitForMultipleObjects on Windows) behind a small interface, a
// way to end a wait from a signal handler or another thread, and the
// monotonic clock that the deadlines of waits are counted on. The serial
// port and the console each say what a wait on them is (a descriptor, a
// handle); the loop above them waits on both.
#pragma once

#include <cstdint>
#include <span>

// One thing a wait can end on. On POSIX a descriptor that becomes readable
// or writable; on Windows a handle that becomes signalled (which event that
// is, is the owner's business: a comm event, the console's input, a
// socket's network event).
struct WaitSource {
    enum class Kind : uint8_t { none, readable, writable };
    std::intptr_t native = -1;  // a descriptor, or a HANDLE
    Kind kind = Kind::none;     // none: nothing to wait on (the entry is passed over)
};

// A time limit of no limit: only a source, or wake_waits, ends the wait.
constexpr int kWaitForever = -1;

// Waits until one of the sources is ready, wake_waits is called, or
// timeout_ms milliseconds pass (0: only looks; kWaitForever: no limit).
// Returns the index of a source that is ready, or -1 when none is (the time
// ran out, the wait was woken or interrupted by a signal). A descriptor that
// failed or hung up counts as ready: the read that follows finds out why.
int wait_for_any(std::span<const WaitSource> sources, int timeout_ms);

// Ends the wait in progress, or the next one, at once. Safe in a signal
// handler and from any thread (the stop requests, a key reader thread).
void wake_waits();

// Milliseconds of a clock that never goes back; for deadlines only.
int64_t monotonic_ms();

// The shorter of two time limits, kWaitForever being the longest.
constexpr int shorter_wait(int a, int b) {
    if (a == kWaitForever) return b;
    if (b == kWaitForever) return a;
    return a < b ? a : b;
}
