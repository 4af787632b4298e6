// Console screen: the one place that writes to the user's screen and reads
// the keyboard. Everything the program shows goes through standard output in
// the order written; when standard output is a terminal the positioning and
// clearing operations emit ANSI sequences, otherwise they write nothing.
// The shared half (output batching, the key queue, the prompt's word
// scanner) is console.cpp and the headers it shares with the platform
// files console_posix.cpp and console_win32.cpp (platform.h).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "base/wait.h"

// Sets up standard output and the signals for the run (SIGINT, SIGTERM and
// SIGHUP end it through check_pending_signal). Call once at start-up.
void console_init();

// Raw keys for the rest of the run when standard input is a terminal (no
// echo, no line editing), the saved settings restored on every way out
// (exit, fatal stop, signal). Ctrl-C still interrupts the run until
// console_ctrl_c_as_key. Called once the command line has been read: a run
// that only prints (the usage, the version, a bad option) leaves the
// terminal alone, so a pager reading that output and setting the same
// terminal is not disturbed.
void console_take_keys();

// From here on Ctrl-C is the key of code 3, not the interrupt: called when
// the terminal starts reading keys. Before that (the downloads) Ctrl-C ends
// the run at once with status 130.
void console_ctrl_c_as_key();

// Formatted text at the cursor, through standard output, then flushed
// (unless batching is on, see console_set_batching).
void console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While into is set, console_print appends its text there instead of
// showing it: a reflash from the terminal keeps the download's lines off
// the screen and says in its own line what they came to. nullptr shows
// again.
void console_capture(std::string* into);

// Blank the whole window and put the cursor at column 1, row 1.
void console_clear();

// Put the cursor at a 1-based column and row of the window. A position
// outside the window (or below 1) is ignored: the cursor stays.
void console_goto(int column, int row);

// Blank from the cursor to the right edge; the cursor stays.
void console_clear_eol();

// Ends the line that what was shown last left open (after the progress
// dots, a received text), so that a message starts on a line of its own;
// nothing when the last byte shown was a line feed. Registered at
// console_init as the program's line ender (end_open_line).
void console_end_line();

// Raw bytes to standard output, unformatted (the terminal's characters,
// report_error, usage). Not flushed by itself.
void console_write(const char* bytes, std::size_t count);

// One raw byte to standard output; the cheapest way to show a received
// byte (no per-call stream locking: the program has one thread).
void console_put_byte(char byte);

// Bytes to an open stream of the caller's (the log file), without the
// per-call stream locking, in the order written.
void stream_write(std::FILE* stream, const char* bytes, std::size_t count);

// Push everything written so far to the screen.
void console_flush();

// While batching is on, console_print does not flush after every call; the
// terminal loop turns it on and flushes whenever the line goes idle, which
// keeps the screen identical and saves one system call per received byte.
void console_set_batching(bool on);

// True when standard output is a terminal.
bool console_is_terminal();

// Select graphic rendition: the parameters of an SGR sequence (digits and
// ';', "1;31", empty for a reset), as a VT100 takes them: colours, bold,
// underline, reverse, and back to normal. Nothing when standard output is
// no terminal. On a console without escape sequences the colours become
// the console's own.
void console_set_rendition(const char* parameters, std::size_t length);

// From here on read_key gives a cursor or function key as one code,
// kExtendedKey plus its second code, instead of the two-code form.
constexpr int kExtendedKey = 0x100;
void console_keys_as_one_code();

// True when a key press is waiting (or the second code of a two-code key).
bool key_available();

// For a wait on the keyboard beside other things (the terminal waits on
// the port and the keyboard together): *source is what becomes ready when
// key input comes; nothing when no more keys will come, or when they come
// by a way that ends waits itself (wake_waits). Returns the longest such a
// wait may last before the console must look at its keys again although
// nothing came: 0 when a key is waiting already, the time left before a
// lone ESC counts as the Esc key, or kWaitForever.
int console_key_wait(WaitSource* source);

// The next key code, waiting for it. Cursor and function keys come as 0 and
// then a second code on the next call; a lone ESC is 27. Returns -1 when the
// key source has ended (standard input closed) and no key will ever come.
int read_key();

// Switch the keyboard to echo and line editing before a prompt is shown,
// so that nothing typed at the prompt misses its echo. console_read_word
// switches back to raw keys when its read is done.
void console_begin_line_input();

// Read one word of at most max_chars characters from standard input with
// echo and line editing on for this read only (the file-name prompt).
// Leading white space is skipped; the word ends at white space. Stores at
// most max_chars characters and a NUL into buffer (capacity bytes, which must
// exceed max_chars). Returns the number of characters stored, or -1 when
// input ended before a word began.
int console_read_word(char* buffer, std::size_t capacity, std::size_t max_chars);

// Give the keyboard its saved settings back. Safe to call more than once.
void console_restore();

// A local time of day to the hundredth of a second (the time tags' form),
// with the date and the milliseconds for a full timestamp.
struct TimeOfDay {
    int hours;             // 0..23
    int minutes;           // 0..59
    int seconds;           // 0..60 (a leap second)
    int hundredths;        // 0..99
    int milliseconds = 0;  // 0..999
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
};

// The local time of day, read afresh from the platform clock.
TimeOfDay time_of_day();
