// Terminal emulator: the interactive loop and its keys, the text upload and
// its file-name prompt, the display of received bytes with time tags and
// log, and the VT100 subset.
#pragma once

#include <array>
#include <cstddef>

#include "console/console.h"  // TimeOfDay

enum class DisplayMode { VT_MODE = 0, ASCII_HEX = 1, HEX_ONLY = 2 };

extern DisplayMode display_mode;

// Never return: the process ends in them.
[[noreturn]] void run_terminal();
[[noreturn]] void run_terminal_after_upload(const char* text_file);

// The -d upload: the file sent as Ctrl-D sends it. Without the prompt (a
// scripted run reads no keys) a file that does not open ends the run with
// "Cannot open input file.", and no key is read during the upload: Esc
// does not stop it. What the target answers after it is kept for the
// caller (the terminal's uploads drop the first of it).
void upload_named_file(const char* text_file, bool prompt_when_missing);

int upload_text_file();
int prompt_file_name();

// One received byte, 0..255: shown, tagged, logged and, in VT_MODE,
// interpreted.
int show_received_byte(int byte);

// One byte through the VT100 subset.
int vt_feed(int byte);

// Ends a UTF-8 character that VT_MODE has begun and not completed, as a
// character cut short: called before the terminal writes text of its own
// into the received stream (a time tag, a mode change), so that what came
// before that text is shown before it.
void vt_end_character();

// ---- the log file (-l) ------------------------------------------------------

// Opens the log at path (created or truncated), closing one that is open;
// false when it cannot be opened. Received bytes go to it from then on, as
// the display writes them.
bool log_open(const char* path);
// Bytes to the log; nothing while none is open or once it has failed. A
// write that fails (a full disk, a pipe whose reader stalls) is said once on
// standard error with the system's reason; the terminal goes on without it.
void log_write(const char* bytes, std::size_t count);
// Writes out and closes the log; harmless when none is open. false when the
// log failed at any time in the run, its close included.
bool log_close();

// ---- display forms (pure: no screen, no file) -----------------------------

// A short piece of text that one received byte turns into.
struct ByteText {
    std::array<char, 8> bytes{};
    std::size_t length = 0;
};

// What a byte outside a line shows and logs in each mode, and what a line
// byte logs.
ByteText hex_only_form(int byte);         // " %02x", console and log alike
ByteText escaped_console_form(int byte);  // " <%02x>"
ByteText escaped_log_form(int byte);      // " <%02x>\r\n"
ByteText line_byte_log_form(int byte);    // LF: "\r\n", CR: nothing, else the byte

// "%2d:%02d:%02d.%02d =" into a buffer of at least kTimeTagCapacity bytes;
// returns the length.
constexpr std::size_t kTimeTagCapacity = 32;
std::size_t format_time_tag(const TimeOfDay& time, char* buffer, std::size_t capacity);
