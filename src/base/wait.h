// Waiting on several things at once: the platform's one blocking call (poll
// on POSIX, WaitForMultipleObjects on Windows) behind a small interface, a
// way to end a wait from a signal handler or another thread, the monotonic
// clock that every time limit is counted on, the deadline made from a time
// limit, and the plain sleep. The serial port and the console each say what
// a wait on them is (a descriptor, a handle); the loop above them waits on
// both.
#pragma once

#include <climits>
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

// Suspends the caller for the given milliseconds; a stop asked for meanwhile
// (a signal) ends the run as check_pending_signal does.
void sleep_ms(int ms);

// A time limit fixed once on the monotonic clock, then asked how much of it
// is left: every time limit of the program is one of these. The default one
// has passed already.
class Deadline {
   public:
    Deadline() = default;

    // ms milliseconds from now; kWaitForever (or any negative limit) never
    // passes.
    static Deadline in_ms(int64_t ms) {
        Deadline deadline;
        deadline.never_ = ms < 0;
        deadline.at_ms_ = monotonic_ms() + (ms < 0 ? 0 : ms);
        return deadline;
    }

    static Deadline never() { return in_ms(kWaitForever); }

    bool passed() const { return !never_ && monotonic_ms() >= at_ms_; }

    // The milliseconds left, for a wait: 0 once passed, kWaitForever for a
    // deadline that never passes.
    int left_ms() const {
        if (never_) return kWaitForever;
        int64_t left = at_ms_ - monotonic_ms();
        if (left <= 0) return 0;
        return left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }

   private:
    int64_t at_ms_ = 0;
    bool never_ = false;
};

// ---- the waits a lower layer makes on its own ----------------------------

// How such a wait ended (wait_within).
enum class WaitEnd : uint8_t {
    ready,        // what it waited on is ready
    woken,        // wake_waits ended it (a helper thread's news): look, and wait again
    timed_out,    // the deadline passed
    interrupted,  // the wait interrupter's source is ready
};

// What else ends those waits (a network port's name looked up, its
// connection made, its settings answered): a function that says, as
// console_key_wait does for the keyboard, what to wait on and how long
// before asking it again (0: ready already). The terminal sets the keyboard
// here while it runs, so that re-opening a lost port never holds a key
// back; nullptr (the start) for none.
using WaitInterrupter = int (*)(WaitSource* source);
void set_wait_interrupter(WaitInterrupter interrupter);

// One wait of a lower layer's own, on own (which may be none), until the
// deadline; a stop asked for meanwhile ends the run (check_pending_signal).
WaitEnd wait_within(const WaitSource& own, const Deadline& deadline);

// Runs work(argument) on a thread of its own that nobody waits to end (a
// name look-up that may never return). false when no thread could be made.
bool run_detached(void (*work)(void*), void* argument);
