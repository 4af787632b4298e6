// Console operations on Windows: the Win32 console when standard output and
// input are one, plain bytes through the standard handles when they are not
// (pipes and files, where every console call fails). This file owns the
// console's input mode; nothing else touches it. No escape sequences are
// written here: positioning and clearing work on the screen buffer itself.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/fatal.h"
#include "console/console.h"
#include "console/key_queue.h"
#include "console/platform.h"
#include "console/prompt_input.h"

namespace {

// Exit statuses of a run ended from outside, as on POSIX (128 + the
// signal number): the console window closed, the user logging off or the
// system shutting down count as a hang-up; Ctrl-C while the keys do not
// come from the console counts as an interrupt.
constexpr int kHangUpStatus = kExitSignalBase + 1;
constexpr int kInterruptStatus = kExitSignalBase + 2;

// How long read_key waits on the input handle before it looks at the
// Ctrl-C flag and the pending close again.
constexpr DWORD kKeyWaitMs = 20;

constexpr std::size_t kPrintCapacity = 4096;
// SGR codes beyond this are no colour: their digits are not summed further.
constexpr int kWordLimit = 10000;

HANDLE output_handle = INVALID_HANDLE_VALUE;
HANDLE input_handle = INVALID_HANDLE_VALUE;
bool output_is_console = false;
bool input_is_console = false;
bool input_is_pipe = false;
bool input_mode_changed = false;
DWORD saved_input_mode = 0;
DWORD key_input_mode = 0;
bool line_input_on = false;  // echo and line editing on for a prompt
std::array<char, 1 << 16> stdout_buffer{};

// Set by the console control handler, which runs on a thread of its own.
volatile LONG ctrl_c_pending = 0;
volatile LONG keys_taken = 0;  // Ctrl-C is a key only once the terminal reads keys

// Decoded key codes waiting for read_key (the second code of a two-code
// key, and the repeats of a held key).
KeyQueue key_codes;
bool key_input_ended = false;

// What a prompt read beyond its word, kept for the next prompt.
PromptInput prompt_rest;

// Ctrl-C and Ctrl-Break are the Ctrl-C key of the terminal when the keys
// come from the console (as a terminal in raw mode gives it); otherwise
// they interrupt the run. Closing the window ends the run as a hang-up.
BOOL WINAPI on_console_control(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            if (input_is_console && keys_taken != 0) {
                InterlockedExchange(&ctrl_c_pending, 1);
                wake_waits();  // the terminal's wait ends and finds the key
            } else
                request_exit(kInterruptStatus);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            request_exit(kHangUpStatus);
            // The process ends when this returns: give the main thread the
            // time to end the run itself (it checks every millisecond).
            Sleep(2000);
            return TRUE;
        default: return FALSE;
    }
}

bool is_modifier_key(WORD virtual_key) {
    switch (virtual_key) {
        case VK_SHIFT:
        case VK_CONTROL:
        case VK_MENU:
        case VK_CAPITAL:
        case VK_NUMLOCK:
        case VK_SCROLL:
        case VK_LSHIFT:
        case VK_RSHIFT:
        case VK_LCONTROL:
        case VK_RCONTROL:
        case VK_LMENU:
        case VK_RMENU:
        case VK_LWIN:
        case VK_RWIN:
        case VK_APPS: return true;
        default: return false;
    }
}

// A key press that the terminal sees: not a release, not a modifier alone.
bool is_key_press(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT) return false;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    return key.bKeyDown && !is_modifier_key(key.wVirtualKeyCode);
}

// The codes of one key press: its character; Esc as 27 (the console gives
// it no character); a key without a character as 0 and its scan code.
void push_key_press(const KEY_EVENT_RECORD& key) {
    WORD repeats = key.wRepeatCount == 0 ? 1 : key.wRepeatCount;
    for (WORD i = 0; i < repeats; ++i) {
        auto ch = static_cast<unsigned char>(key.uChar.AsciiChar);
        if (ch != 0) {
            key_codes.push(ch);
        } else if (key.wVirtualKeyCode == VK_ESCAPE) {
            key_codes.push(27);
        } else {
            WORD scan = key.wVirtualScanCode;
            if (scan == 0) scan = static_cast<WORD>(MapVirtualKeyA(key.wVirtualKeyCode, MAPVK_VK_TO_VSC));
            push_extended_key(key_codes, scan & 0xFF);
        }
    }
}

// Drops the input events in front that are not key presses; true when a
// key press is next. Only events nobody reads are removed.
bool console_key_waiting() {
    for (;;) {
        INPUT_RECORD record{};
        DWORD count = 0;
        if (!PeekConsoleInputA(input_handle, &record, 1, &count) || count == 0) return false;
        if (is_key_press(record)) return true;
        if (!ReadConsoleInputA(input_handle, &record, 1, &count) || count == 0) return false;
    }
}

// Takes the next key press from the console into key_codes.
void take_console_key() {
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!ReadConsoleInputA(input_handle, &record, 1, &count) || count == 0) return;
    if (is_key_press(record)) push_key_press(record.Event.KeyEvent);
}

// Bytes from a pipe or a file are the keys as they stand. A pipe is read
// by a thread of its own into piped_keys, so that looking for a key never
// blocks the one thread that serves the port, and a pipe (which cannot be
// waited on) ends that thread's waits when a key comes (wake_waits).
struct PipedKeys {
    CRITICAL_SECTION lock;
    std::array<unsigned char, 256> bytes{};
    std::size_t head = 0;
    std::size_t count = 0;
    bool ended = false;
};
PipedKeys piped_keys;
HANDLE pipe_reader = nullptr;  // the reader thread, once started

DWORD WINAPI read_piped_keys(void*) {
    for (;;) {
        unsigned char byte = 0;
        DWORD count = 0;
        bool ok = ReadFile(input_handle, &byte, 1, &count, nullptr) && count == 1;
        for (;;) {
            EnterCriticalSection(&piped_keys.lock);
            if (!ok) {
                piped_keys.ended = true;
                LeaveCriticalSection(&piped_keys.lock);
                wake_waits();
                return 0;
            }
            if (piped_keys.count < piped_keys.bytes.size()) {
                piped_keys.bytes[(piped_keys.head + piped_keys.count) % piped_keys.bytes.size()] = byte;
                ++piped_keys.count;
                LeaveCriticalSection(&piped_keys.lock);
                wake_waits();
                break;
            }
            LeaveCriticalSection(&piped_keys.lock);
            Sleep(1);  // full: wait for read_key to take some
        }
    }
}

// Run at exit: the reader is ended before the process is. Under wine its
// read is the host's own, which nothing cancels, and a process that ends
// while that thread is being torn down beside it is now and then ended by
// a segmentation fault instead of its status. Ended on its own, then
// given a moment to go (its handle is signalled as it is told to), it is
// gone when the process ends. Ending it is what the process's end would do
// to it anyway: it holds no lock while it reads, and nothing takes the
// keys after this.
void stop_pipe_reader() {
    TerminateThread(pipe_reader, 0);
    WaitForSingleObject(pipe_reader, 200);
    Sleep(10);
}

void start_pipe_reader() {
    InitializeCriticalSection(&piped_keys.lock);
    pipe_reader = CreateThread(nullptr, 0, read_piped_keys, nullptr, 0, nullptr);
    if (pipe_reader == nullptr) {
        key_input_ended = true;
        return;
    }
    std::atexit(stop_pipe_reader);
}

// Moves what the reader thread has into key_codes.
void take_piped_keys() {
    EnterCriticalSection(&piped_keys.lock);
    while (piped_keys.count > 0 && !key_codes.full()) {
        key_codes.push(piped_keys.bytes[piped_keys.head]);
        piped_keys.head = (piped_keys.head + 1) % piped_keys.bytes.size();
        --piped_keys.count;
    }
    if (piped_keys.ended && piped_keys.count == 0) key_input_ended = true;
    LeaveCriticalSection(&piped_keys.lock);
}

bool byte_key_waiting() {
    if (input_is_pipe && pipe_reader == nullptr && !key_input_ended) start_pipe_reader();
    if (pipe_reader != nullptr) {
        take_piped_keys();
        return !key_codes.empty();
    }
    // A file: the next read gives a byte or its end.
    return !key_input_ended;
}

void take_byte_key() {
    if (pipe_reader != nullptr) return;  // byte_key_waiting took them
    unsigned char byte = 0;
    DWORD count = 0;
    if (!ReadFile(input_handle, &byte, 1, &count, nullptr) || count == 0) {
        key_input_ended = true;
        return;
    }
    key_codes.push(byte);
}

// ---- colours: SGR parameters as the console's character attributes ----

WORD normal_attributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;  // as found at the start
WORD rendition = normal_attributes;

constexpr WORD kForeground = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY;
constexpr int kBackgroundShift = 4;  // BACKGROUND_RED is FOREGROUND_RED << 4, and so on
// The eight colours of SGR (black, red, green, yellow, blue, magenta,
// cyan, white) as the console's colour bits.
constexpr WORD kColours[] = {0,
                             FOREGROUND_RED,
                             FOREGROUND_GREEN,
                             FOREGROUND_RED | FOREGROUND_GREEN,
                             FOREGROUND_BLUE,
                             FOREGROUND_RED | FOREGROUND_BLUE,
                             FOREGROUND_GREEN | FOREGROUND_BLUE,
                             FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE};

WORD with_foreground(WORD attributes, WORD colour) {
    return static_cast<WORD>((attributes & ~kForeground) | colour);
}

WORD with_background(WORD attributes, WORD colour) {
    return static_cast<WORD>((attributes & ~(kForeground << kBackgroundShift)) |
                             (colour << kBackgroundShift));
}

// One SGR code; codes the console cannot show (underline, blink) change
// nothing.
WORD apply_sgr_code(WORD attributes, int code) {
    if (code == 0) return normal_attributes;
    if (code == 1) return static_cast<WORD>(attributes | FOREGROUND_INTENSITY);
    if (code == 22) return static_cast<WORD>(attributes & ~FOREGROUND_INTENSITY);
    if (code >= 30 && code <= 37) return with_foreground(attributes, kColours[code - 30]);
    if (code == 39) return with_foreground(attributes, normal_attributes & kForeground);
    if (code >= 40 && code <= 47) return with_background(attributes, kColours[code - 40]);
    if (code == 49) return with_background(attributes, (normal_attributes >> kBackgroundShift) & kForeground);
    if (code >= 90 && code <= 97)
        return with_foreground(attributes, kColours[code - 90] | FOREGROUND_INTENSITY);
    if (code >= 100 && code <= 107)
        return with_background(attributes, kColours[code - 100] | FOREGROUND_INTENSITY);
    return attributes;
}

// How many parameters after 38 or 48 name the colour: 5;N or 2;R;G;B.
int extended_colour_length(int selector) { return selector == 5 ? 1 : selector == 2 ? 3 : 0; }

bool screen_info(CONSOLE_SCREEN_BUFFER_INFO* info) {
    return output_is_console && GetConsoleScreenBufferInfo(output_handle, info) != 0;
}

// Blanks count cells from at, in the given colours.
void blank_cells(COORD at, DWORD count, WORD attributes) {
    DWORD done = 0;
    FillConsoleOutputCharacterA(output_handle, ' ', count, at, &done);
    FillConsoleOutputAttribute(output_handle, attributes, count, at, &done);
}

// Moves the window's rows up by one and blanks its bottom row.
void scroll_window_up(const CONSOLE_SCREEN_BUFFER_INFO& info) {
    const SMALL_RECT& window = info.srWindow;
    CHAR_INFO fill{};
    fill.Char.AsciiChar = ' ';
    fill.Attributes = info.wAttributes;
    // Rows 2 to the last move to row 1; the last row, left behind, gets
    // the fill.
    SMALL_RECT rows_below_top{window.Left, static_cast<SHORT>(window.Top + 1), window.Right, window.Bottom};
    COORD destination{window.Left, window.Top};
    ScrollConsoleScreenBufferA(output_handle, &rows_below_top, &window, destination, &fill);
}

// Text written straight into the screen buffer at the cursor: CR to the
// left edge, LF one row down in the same column, wrap at the right edge,
// the window scrolled up when the cursor passes its bottom row.
class ScreenWriter {
   public:
    explicit ScreenWriter(const CONSOLE_SCREEN_BUFFER_INFO& info)
        : info_(info), column_(info.dwCursorPosition.X), row_(info.dwCursorPosition.Y) {}

    void put(char c) {
        if (c == '\r') {
            flush_run();
            column_ = info_.srWindow.Left;
        } else if (c == '\n') {
            flush_run();
            next_row();
        } else {
            if (run_length_ == run_.size()) flush_run();
            if (run_length_ == 0) run_column_ = column_;
            run_[run_length_].Char.AsciiChar = c;
            run_[run_length_].Attributes = info_.wAttributes;
            ++run_length_;
            ++column_;
            if (column_ > info_.srWindow.Right) {
                flush_run();
                column_ = info_.srWindow.Left;
                next_row();
            }
        }
    }

    void finish() {
        flush_run();
        SetConsoleCursorPosition(output_handle, COORD{column_, row_});
    }

   private:
    void next_row() {
        if (row_ < info_.srWindow.Bottom) {
            ++row_;
        } else {
            scroll_window_up(info_);
        }
    }

    void flush_run() {
        if (run_length_ == 0) return;
        COORD size{static_cast<SHORT>(run_length_), 1};
        SMALL_RECT area{run_column_, row_,
                        static_cast<SHORT>(run_column_ + static_cast<SHORT>(run_length_) - 1), row_};
        WriteConsoleOutputA(output_handle, run_.data(), size, COORD{0, 0}, &area);
        run_length_ = 0;
    }

    CONSOLE_SCREEN_BUFFER_INFO info_;
    SHORT column_;
    SHORT row_;
    std::array<CHAR_INFO, 1024> run_{};  // wider than any console row
    std::size_t run_length_ = 0;
    SHORT run_column_ = 0;
};

void write_to_screen(const char* text, std::size_t length) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!screen_info(&info)) {
        std::fwrite(text, 1, length, stdout);
        return;
    }
    ScreenWriter writer(info);
    for (std::size_t i = 0; i < length; ++i) writer.put(text[i]);
    writer.finish();
}

void set_input_mode(DWORD mode) {
    if (input_is_console) SetConsoleMode(input_handle, mode);
}

// One byte of the answer from the pipe reader thread; false at the end
// of input.
bool take_piped_prompt_byte() {
    for (;;) {
        EnterCriticalSection(&piped_keys.lock);
        bool ended = piped_keys.ended;
        if (piped_keys.count > 0) {
            auto byte = static_cast<char>(piped_keys.bytes[piped_keys.head]);
            prompt_rest.add(&byte, 1);
            piped_keys.head = (piped_keys.head + 1) % piped_keys.bytes.size();
            --piped_keys.count;
            LeaveCriticalSection(&piped_keys.lock);
            return true;
        }
        LeaveCriticalSection(&piped_keys.lock);
        if (ended) return false;
        // The reader thread ends the wait when it has taken a byte.
        wait_for_any({}, kWaitForever);
        check_pending_signal();
    }
}

// One line of the prompt's answer into prompt_rest; false at the end of
// input.
bool read_prompt_line() {
    DWORD count = 0;
    auto room = static_cast<DWORD>(prompt_rest.room());
    if (room == 0) return false;
    if (pipe_reader != nullptr) return take_piped_prompt_byte();
    // From a pipe or file one byte at a time, so that nothing after the
    // answer's line is taken from the keys.
    if (!input_is_console) room = 1;
    BOOL ok = input_is_console ? ReadConsoleA(input_handle, prompt_rest.free_space(), room, &count, nullptr)
                               : ReadFile(input_handle, prompt_rest.free_space(), room, &count, nullptr);
    if (!ok || count == 0) return false;
    prompt_rest.added(count);
    return true;
}

}  // namespace

void console_init() {
    output_handle = GetStdHandle(STD_OUTPUT_HANDLE);
    input_handle = GetStdHandle(STD_INPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    output_is_console = GetConsoleScreenBufferInfo(output_handle, &info) != 0;
    if (output_is_console) normal_attributes = rendition = info.wAttributes;
    input_is_console = GetConsoleMode(input_handle, &saved_input_mode) != 0;
    input_is_pipe = !input_is_console && GetFileType(input_handle) == FILE_TYPE_PIPE;
    if (input_handle == nullptr || input_handle == INVALID_HANDLE_VALUE) key_input_ended = true;
    // One buffer for everything standard output gets, console or not: the
    // runtime writes an unbuffered stream one character per system call.
    // It is flushed by console_print, console_flush, before every direct
    // screen operation and at exit, so the order of all output is kept.
    std::setvbuf(stdout, stdout_buffer.data(), _IOFBF, stdout_buffer.size());
    SetConsoleCtrlHandler(on_console_control, TRUE);
    set_line_ender(console_end_line);
}

void console_take_keys() {
    if (input_mode_changed) return;
    if (input_is_console) {
        // Keys without echo or line editing for the whole run. Ctrl-C stays
        // a control event (some consoles deliver it only so) that the
        // control handler turns into the Ctrl-C key.
        key_input_mode = saved_input_mode &
                         ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_MOUSE_INPUT);
        key_input_mode |= ENABLE_PROCESSED_INPUT;
        if (SetConsoleMode(input_handle, key_input_mode)) {
            input_mode_changed = true;
            std::atexit(console_restore);
        }
    }
}

void console_ctrl_c_as_key() { InterlockedExchange(&keys_taken, 1); }

void console_restore() {
    std::fflush(stdout);
    if (input_mode_changed) {
        SetConsoleMode(input_handle, saved_input_mode);
        input_mode_changed = false;
    }
}

void write_formatted(const char* format, std::va_list args) {
    std::array<char, kPrintCapacity> text{};
    std::va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(text.data(), text.size(), format, args);
    if (length >= 0 && static_cast<std::size_t>(length) < text.size()) {
        std::fflush(stdout);  // what went through standard output comes first
        write_to_screen(text.data(), static_cast<std::size_t>(length));
    } else if (length >= 0) {
        // Longer than the work buffer (a long path): format it again into
        // one that fits, never cut.
        std::vector<char> longer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(longer.data(), longer.size(), format, again);
        std::fflush(stdout);
        write_to_screen(longer.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
}

void discard_output() {
    int nowhere = _open("NUL", _O_WRONLY);
    if (nowhere < 0) return;
    _dup2(nowhere, 1);
    _close(nowhere);
}

void console_put_byte(char byte) {
    _putc_nolock(byte, stdout);
    note_shown(byte);
}

void stream_write(std::FILE* stream, const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) _putc_nolock(bytes[i], stream);
}

bool console_is_terminal() { return output_is_console; }

void console_set_rendition(const char* parameters, std::size_t length) {
    if (!output_is_console) return;
    std::vector<int> codes{0};
    for (std::size_t i = 0; i < length; ++i) {
        if (parameters[i] == ';')
            codes.push_back(0);
        else if (codes.back() < kWordLimit)
            codes.back() = codes.back() * 10 + (parameters[i] - '0');
    }
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] == 38 || codes[i] == 48) {
            i +=
                i + 1 < codes.size() ? static_cast<std::size_t>(extended_colour_length(codes[i + 1])) + 1 : 0;
            continue;  // a palette colour the console has no bits for
        }
        rendition = apply_sgr_code(rendition, codes[i]);
    }
    std::fflush(stdout);  // what came before shows in the colours it came in
    SetConsoleTextAttribute(output_handle, rendition);
}

void console_clear() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!screen_info(&info)) return;
    std::fflush(stdout);
    const SMALL_RECT& window = info.srWindow;
    auto width = static_cast<DWORD>(info.dwSize.X);
    auto rows = static_cast<DWORD>(window.Bottom - window.Top + 1);
    blank_cells(COORD{0, window.Top}, width * rows, info.wAttributes);
    SetConsoleCursorPosition(output_handle, COORD{window.Left, window.Top});
}

void console_goto(int column, int row) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (column < 1 || row < 1 || !screen_info(&info)) return;
    const SMALL_RECT& window = info.srWindow;
    if (column > window.Right - window.Left + 1 || row > window.Bottom - window.Top + 1) return;
    std::fflush(stdout);
    SetConsoleCursorPosition(output_handle, COORD{static_cast<SHORT>(window.Left + column - 1),
                                                  static_cast<SHORT>(window.Top + row - 1)});
}

void console_clear_eol() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!screen_info(&info)) return;
    std::fflush(stdout);
    COORD at = info.dwCursorPosition;
    if (at.X > info.srWindow.Right) return;
    blank_cells(at, static_cast<DWORD>(info.srWindow.Right - at.X + 1), info.wAttributes);
}

bool key_available() {
    if (!key_codes.empty() || ctrl_c_pending != 0) return true;
    if (input_is_console) return console_key_waiting();
    return byte_key_waiting();
}

int console_key_wait(WaitSource* source) {
    *source = WaitSource{};
    if (key_available()) return 0;
    // The console's input handle is signalled while input events wait; a
    // pipe's reader thread ends waits itself; a file or an ended input has
    // nothing to wait for.
    if (input_is_console)
        *source = WaitSource{reinterpret_cast<std::intptr_t>(input_handle), WaitSource::Kind::readable};
    return kWaitForever;
}

int read_key() {
    for (;;) {
        check_pending_signal();
        if (!key_codes.empty()) return key_codes.pop();
        if (InterlockedExchange(&ctrl_c_pending, 0) != 0) return 3;
        if (input_is_console) {
            if (console_key_waiting())
                take_console_key();
            else
                WaitForSingleObject(input_handle, kKeyWaitMs);
        } else {
            if (key_input_ended) return -1;
            if (byte_key_waiting())
                take_byte_key();
            else
                Sleep(kKeyWaitMs);
        }
    }
}

TimeOfDay time_of_day() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return TimeOfDay{now.wHour,         now.wMinute, now.wSecond, now.wMilliseconds / 10,
                     now.wMilliseconds, now.wYear,   now.wMonth,  now.wDay};
}

void console_begin_line_input() {
    if (!input_mode_changed || line_input_on) return;
    set_input_mode(saved_input_mode | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    line_input_on = true;
}

int console_read_word(char* buffer, std::size_t capacity, std::size_t max_chars) {
    if (capacity == 0) return -1;
    if (max_chars >= capacity) max_chars = capacity - 1;
    std::fflush(stdout);
    // Bytes typed before the prompt came are the start of the answer.
    while (!input_is_console && !key_codes.empty() && prompt_rest.room() > 0) {
        auto byte = static_cast<char>(key_codes.pop());
        prompt_rest.add(&byte, 1);
    }
    // The answer is read as a line with echo and line editing, as typed.
    console_begin_line_input();
    PromptInput::Word word = prompt_rest.take_word(buffer, max_chars, read_prompt_line);
    // The rest of the answer's line, its line end included, is dropped:
    // nothing of an overlong answer reaches the next prompt or the target.
    if (word.length >= 0) prompt_rest.drop_line(false, read_prompt_line);
    // Piped keys taken ahead of the answer: those after its line are keys
    // again, in their order.
    if (!input_is_console) {
        for (std::size_t i = 0; i < prompt_rest.size(); ++i)
            key_codes.push(static_cast<unsigned char>(prompt_rest.data()[i]));
        prompt_rest.keep(0);
    }
    if (line_input_on) set_input_mode(key_input_mode);
    line_input_on = false;
    return word.length;
}
