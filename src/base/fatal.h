// The ways a run ends: the fatal stop with its message, the orderly exit,
// and a stop asked for from outside (a signal, the console window closed).
#pragma once

#include <string>
#include <string_view>

// Exit statuses. A stop from outside ends with 128 + the signal number.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitSignalBase = 128;

// Writes "\r\n%s\r\n\r\n" with the message to standard output and ends the
// process with status 1 (never returns). Under a FailureTrap it throws
// TrappedFailure instead, printing nothing.
[[noreturn]] void report_error(const char* message);

// While a context is set, every fatal message begins with it: a value
// taken from a configuration file stops the run with "FILE:LINE: " in
// front of what is wrong with it. Empty: none.
void set_fatal_context(std::string_view context);

// A line said after the next fatal stop's message, on standard error, for
// what the stop alone cannot tell (the board is left in its bootloader, at
// a rate the port cannot reach): set where the stop may come from, cleared
// (an empty text) once that has passed.
void set_stop_hint(std::string_view hint);

// report_error with a hint for this stop alone.
[[noreturn]] void report_error_hinted(const char* message, std::string_view hint);
// A stretch of the run that a failure need not end: a reflash from the
// terminal, which says why it failed and goes on with the terminal. While
// one lives, report_error (and report_error_hinted) throws TrappedFailure
// with its message, context included, and says nothing. Signals,
// and exit_program itself, still end the run.
struct TrappedFailure {
    std::string message;
};

class FailureTrap {
   public:
    FailureTrap();
    ~FailureTrap();
    FailureTrap(const FailureTrap&) = delete;
    FailureTrap& operator=(const FailureTrap&) = delete;
};

// What else a stretch of the run looks at whenever it looks for a stop:
// while set, check_pending_signal calls watch (not from within itself), so
// that the terminal's exit keys end the run at once during a reflash.
// nullptr for nothing.
void set_stop_watch(void (*watch)());

// Formats into a bounded work buffer, then report_error with it.
[[noreturn]] void report_error_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the process with the given status, once: the first call is the way
// out, in this order: a stop by a signal ends the line left open and an
// interrupt (Ctrl-C) says "Interrupted", standard output flushed, what was registered with
// let_go_at_exit let go (the port, its settings put back), the event stream
// ended with the status and the reason (when none is given, what the
// status implies), then whatever registered itself to run at exit (the
// keyboard's settings). A run whose event stream could not be written in
// full does not end with status 0: it ends with 1, and the `end` event says
// so. A call made while the way out runs (nothing should make one) ends the
// process at once with the first call's status.
[[noreturn]] void exit_program(int status, std::string_view reason = {});

// How the process itself ends once the run has let go of everything, one
// realization per platform (process_end_posix.cpp, process_end_win32.cpp):
// end_process runs what registered itself to run at exit and flushes and
// closes every stream first; end_process_at_once does not.
[[noreturn]] void end_process(int status);
[[noreturn]] void end_process_at_once(int status);

// Something the way out must let go of, in bounded time (the port): run by
// exit_program before the last event, the last registered first; at most
// kLetGoAtExitLimit of them, registered once each.
constexpr int kLetGoAtExitLimit = 4;
void let_go_at_exit(void (*let_go)());

// True once exit_program has begun: nothing more is acted on.
bool exiting();

// The console's way to end the line its output left open (registered once
// at start-up), and its use: a message of any layer, on standard output or
// standard error, starts on a line of its own, not after a received text
// or the progress dots.
void set_line_ender(void (*end_line)());
void end_open_line();

// Asks for the run to end with the given status at the next
// check_pending_signal. Safe in a signal handler and from another thread.
// false when a stop was asked for already (the first one holds).
bool request_exit(int status);

// If a stop was asked for (SIGINT, SIGTERM or SIGHUP arrived, or the
// console window closed), end the process now with its status through
// exit_program. Every wait of the program's main path passes through here
// when it ends, and request_exit ends a wait at once (wake_waits). Nothing
// once the way out has begun: it is not entered a second time.
void check_pending_signal();
