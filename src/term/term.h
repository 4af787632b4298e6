// Terminal emulator: the interactive loop and its keys, the text upload and
// its file-name prompt, the display of received bytes with time tags and
// log, and the VT100 subset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/wait.h"
#include "console/console.h"  // TimeOfDay

enum class DisplayMode { VT_MODE = 0, ASCII_HEX = 1, HEX_ONLY = 2 };

extern DisplayMode display_mode;

// ---- what the long options ask of the terminal ------------------------------

// The form of the time tags (-T, --log-time): " 9:05:03.07 =" as -T always
// had it, or ISO 8601 local time with milliseconds, "2025-05-01T09:05:03.075 ".
enum class TimeFormat : uint8_t { clock, iso };

struct TerminalOptions {
    bool vt100_keys = false;  // --keys vt100: cursor and function keys as an xterm sends them
    int exit_key = -1;        // --exit-key: the one key that ends the run; -1: Esc and Ctrl-C
    bool colors = false;      // --colors: the target's SGR reaches the screen in VT_MODE
    uint16_t map_in = 0;      // --map-in: received bytes, before the text modes show them
    uint16_t map_out = 0;     // --map-out: typed keys, before they are sent
    bool echo = false;        // --echo: what a key sends is shown as well
    bool log_time = false;    // --log-time: a time tag at the start of every log line
    TimeFormat time_format = TimeFormat::clock;
};

extern TerminalOptions terminal_options;

// ---- byte maps (--map-in, --map-out) -----------------------------------------

// Each byte is mapped once, by the one map that names it.
// clang-format off
enum ByteMap : uint16_t {
    kMapCrLf   = 1 << 0,  // CR to LF
    kMapCrCrLf = 1 << 1,  // CR to CR LF
    kMapIgnCr  = 1 << 2,  // CR dropped
    kMapLfCr   = 1 << 3,  // LF to CR
    kMapLfCrLf = 1 << 4,  // LF to CR LF
    kMapIgnLf  = 1 << 5,  // LF dropped
    kMapBsDel  = 1 << 6,  // BS to DEL
    kMapDelBs  = 1 << 7,  // DEL to BS
};
// clang-format on

enum class MapDirection : uint8_t { in, out };

// Names separated by commas ("crlf,delbs") into maps; false with *error
// saying which name is wrong, or which two map one byte.
bool parse_byte_maps(std::string_view names, MapDirection direction, uint16_t* maps, std::string* error);

// What one byte becomes: none, one or two bytes.
struct MappedBytes {
    std::array<uint8_t, 2> bytes{};
    std::size_t length = 0;
};
MappedBytes map_byte(uint16_t maps, uint8_t byte);

// ---- keys --------------------------------------------------------------------

// The code of a key by its name ("ctrl-]", "ctrl-x", "esc"); -1 when the
// name names no key the terminal can take as its exit.
int exit_key_code(std::string_view name);

// The sequence an xterm sends for a cursor or function key, by the second
// code of its two-code form; empty for a key it has none for.
std::string_view vt100_key_sequence(int second_code);

// Whether the key ends the run: Esc and Ctrl-C, or the --exit-key alone.
bool is_exit_key(int code);

// A key that is no command, to the target: mapped, as its VT100 sequence,
// echoed, as the options say.
void send_key(int code);

// The terminal's own way of showing what a key sent (--echo).
void show_echo(const uint8_t* bytes, std::size_t count);

// Back to the screen's normal colours, when the target's colours were
// shown: before the terminal writes text of its own, and at the end.
void vt_end_colors();

// ---- a reflash from the terminal (--watch, --reflash-key) -------------------

// What the terminal asks of the reflash the run asked for. The terminal
// looks for one only between received bytes and keys, never during an
// upload or a prompt; while one runs, the exit keys end the run at once and
// every other key is dropped (nothing typed reaches the bootloader).
struct ReflashHooks {
    int key = -1;  // the key that asks for one; -1: none
    // The change notification, beside the port and the keyboard: *source,
    // and the time until a change has settled (0: a reflash is due now),
    // as console_key_wait says it; nullptr when nothing is watched.
    int (*change_wait)(WaitSource* source) = nullptr;
    // Runs one; by_key: asked for by the key, else a change is due.
    void (*run)(bool by_key) = nullptr;
};
void set_reflash_hooks(const ReflashHooks& hooks);

// A line of the terminal's own among what the target sends (the reflash's):
// on a line of its own, on the screen and in the log; the display mode, the
// time tags and the VT100 state carry on.
void terminal_own_line(std::string_view text);
// Text of the terminal's own as it comes (a build's output), on the
// screen only.
void terminal_write(std::string_view text);

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
bool log_open(const char* path, bool append = false);
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

// "%2d:%02d:%02d.%02d =" (or the ISO 8601 form) into a buffer of at least
// kTimeTagCapacity bytes; returns the length.
constexpr std::size_t kTimeTagCapacity = 32;
std::size_t format_time_tag(const TimeOfDay& time, char* buffer, std::size_t capacity,
                            TimeFormat format = TimeFormat::clock);
