// Console operations on a POSIX terminal: ANSI sequences on standard output,
// keys from standard input in raw mode. This file owns the keyboard's
// terminal settings; nothing else touches them.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/fatal.h"
#include "console/console.h"
#include "console/key_queue.h"
#include "console/platform.h"
#include "console/prompt_input.h"

namespace {

bool stdout_is_terminal = false;
bool stdin_is_terminal = false;
volatile std::sig_atomic_t keyboard_raw = false;
termios saved_keyboard{};
termios raw_keyboard{};
bool line_input_on = false;  // echo and line editing on for a prompt
// The keyboard's settings the program has put in force (raw keys, or line
// input for a prompt): what a continued run takes again after a stop.
termios keyboard_in_force{};
int backspace_byte = -1;  // what the keyboard's Backspace key sends, when not 8
std::array<char, 1 << 16> stdout_buffer{};

// A key sequence that has not been completed within this time is taken as
// it stands: a lone ESC is the Esc key.
constexpr int kEscapeWaitMs = 40;

// Raw bytes read from standard input and not yet decoded into keys.
std::array<unsigned char, 512> key_bytes{};
std::size_t key_byte_count = 0;
bool key_input_ended = false;
Deadline key_bytes_decided;  // when the undecoded bytes are taken as they stand

// Decoded key codes waiting for read_key.
KeyQueue key_codes;

// What a prompt read beyond its word, kept for the next prompt.
PromptInput prompt_rest;

// The run ends at the next check_pending_signal, on the main path, where
// the log is closed and the keyboard restored.
void on_signal(int signal_number) {
    if (request_exit(kExitSignalBase + signal_number)) return;
    // A second signal while the first is being handled: leave at once, but
    // with the keyboard as the user had it.
    if (keyboard_raw) tcsetattr(STDIN_FILENO, TCSANOW, &saved_keyboard);
    _exit(kExitSignalBase + signal_number);
}

// Every change of the keyboard's settings goes through here, so that a
// stop and a continue know what to give back and what to take again.
bool set_keyboard(const termios& settings) {
    sigset_t stop_and_continue, before;
    sigemptyset(&stop_and_continue);
    sigaddset(&stop_and_continue, SIGTSTP);
    sigaddset(&stop_and_continue, SIGCONT);
    sigprocmask(SIG_BLOCK, &stop_and_continue, &before);
    keyboard_in_force = settings;
    bool set = tcsetattr(STDIN_FILENO, TCSANOW, &settings) == 0;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return set;
}

void on_continue(int) {
    int saved_errno = errno;
    if (keyboard_raw) tcsetattr(STDIN_FILENO, TCSANOW, &keyboard_in_force);
    errno = saved_errno;
}

// A stop (Ctrl-Z in a shell, kill -TSTP): the keyboard goes back to the
// user's settings, the process stops as the signal asks, and on continuing
// it takes its own settings again, so that fg resumes a working terminal.
void on_stop(int signal_number) {
    int saved_errno = errno;
    if (keyboard_raw) tcsetattr(STDIN_FILENO, TCSANOW, &saved_keyboard);
    struct sigaction stop {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    struct sigaction ours {};
    sigaction(signal_number, &stop, &ours);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    raise(signal_number);  // stops here until continued
    sigprocmask(SIG_BLOCK, &just_this, nullptr);
    sigaction(signal_number, &ours, nullptr);
    on_continue(SIGCONT);
    errno = saved_errno;
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR
    // The signals that end a run; each ends it through check_pending_signal
    // with the keyboard given back and 128 + the signal as the status.
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM})
        sigaction(s, &action, nullptr);
    // A reader that has gone (standard output into `head`, a log or event
    // pipe) fails the write that finds it gone; it never ends the run.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;  // a stop interrupts nothing
    sigaction(SIGTSTP, &stop, nullptr);
    struct sigaction resume = stop;
    resume.sa_handler = on_continue;
    sigaction(SIGCONT, &resume, nullptr);
}

// Read what standard input has, waiting up to timeout_ms (-1: forever).
// Returns false when nothing came.
bool fill_key_bytes(int timeout_ms) {
    if (key_input_ended || key_byte_count == key_bytes.size()) return false;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0) {
        if (errno == EINTR) check_pending_signal();
        return false;
    }
    if (r == 0) return false;
    ssize_t n = read(STDIN_FILENO, key_bytes.data() + key_byte_count, key_bytes.size() - key_byte_count);
    if (n < 0) {
        if (errno == EINTR) check_pending_signal();
        if (errno == EINTR || errno == EAGAIN) return false;
        key_input_ended = true;
        return false;
    }
    if (n == 0) {
        key_input_ended = true;
        return false;
    }
    if (key_byte_count == 0) key_bytes_decided = Deadline::in_ms(kEscapeWaitMs);
    key_byte_count += static_cast<std::size_t>(n);
    return true;
}

void drop_key_bytes(std::size_t count) {
    std::memmove(key_bytes.data(), key_bytes.data() + count, key_byte_count - count);
    key_byte_count -= count;
    if (key_byte_count > 0) key_bytes_decided = Deadline::in_ms(kEscapeWaitMs);
}

// Second codes of the cursor and function keys, as the PC keyboard gives
// them: the two-code form of the key read.
// clang-format off
int csi_tilde_code(int number) {
    switch (number) {
        case 1: case 7: return 71;   // Home
        case 2: return 82;           // Insert
        case 3: return 83;           // Delete
        case 4: case 8: return 79;   // End
        case 5: return 73;           // Page Up
        case 6: return 81;           // Page Down
        case 11: return 59; case 12: return 60; case 13: return 61; case 14: return 62;
        case 15: return 63; case 17: return 64; case 18: return 65; case 19: return 66;
        case 20: return 67; case 21: return 68; case 23: return 133; case 24: return 134;
        default: return -1;
    }
}
// clang-format on

int final_letter_code(unsigned char final) {
    switch (final) {
        case 'A': return 72;  // Up
        case 'B': return 80;  // Down
        case 'C': return 77;  // Right
        case 'D': return 75;  // Left
        case 'H': return 71;  // Home
        case 'F': return 79;  // End
        case 'P': return 59;  // F1
        case 'Q': return 60;  // F2
        case 'R': return 61;  // F3
        case 'S': return 62;  // F4
        default: return -1;
    }
}

// escape_sequence's answer when the bytes are no key sequence at all: the
// ESC is the Esc key and what follows it is read as ordinary keys.
constexpr std::size_t kNotAKey = SIZE_MAX;

// Length of the escape sequence at the start of key_bytes (which begins
// with ESC and has at least two bytes), or 0 when it is not complete yet.
// *code gets its second code, -1 for a sequence no key is known for.
std::size_t escape_sequence(int* code) {
    *code = -1;
    if (key_bytes[1] == 'O') {
        if (key_byte_count < 3) return 0;
        if (key_bytes[2] < 0x20) return kNotAKey;
        *code = final_letter_code(key_bytes[2]);
        return 3;
    }
    // ESC [ parameters intermediates final
    int number = 0;
    for (std::size_t i = 2; i < key_byte_count; ++i) {
        unsigned char c = key_bytes[i];
        if (c >= '0' && c <= '9') {
            if (number < 1000) number = number * 10 + (c - '0');
        } else if (c == ';') {
            // modifiers follow; the key is named by the first number
            for (std::size_t j = i + 1; j < key_byte_count; ++j) {
                unsigned char d = key_bytes[j];
                if (d >= 0x40 && d <= 0x7E) {
                    *code = d == '~' ? csi_tilde_code(number) : final_letter_code(d);
                    return j + 1;
                }
                if (d < 0x20) return kNotAKey;
                if (d > 0x3F) return j + 1;  // malformed: drop it
            }
            return 0;
        } else if (c >= 0x40 && c <= 0x7E) {
            *code = c == '~' ? csi_tilde_code(number) : final_letter_code(c);
            return i + 1;
        } else if (c < 0x20) {
            return kNotAKey;  // a control key (an Esc, say) cut the sequence short
        } else if (c > 0x3F) {
            return i + 1;  // not a key sequence: drop what was read
        }
        if (i >= 20) return i + 1;  // runaway sequence
    }
    return 0;
}

// Turn the bytes read so far into key codes. A sequence that is still open
// is left for later unless it has waited long enough or input has ended.
void decode_key_bytes() {
    // One key at a time: the bytes after it stay undecoded, so that a
    // prompt that this key opens reads them as its answer (keys typed ahead
    // or piped in: "Ctrl-F, a name, Enter, Ctrl-D").
    while (key_byte_count > 0 && key_codes.empty()) {
        unsigned char b = key_bytes[0];
        if (b != 27) {
            key_codes.push(b == backspace_byte ? 8 : b);
            drop_key_bytes(1);
            continue;
        }
        bool waited = key_input_ended || key_bytes_decided.passed();
        if (key_byte_count == 1) {
            if (!waited) return;
            key_codes.push(27);
            drop_key_bytes(1);
            continue;
        }
        if (key_bytes[1] != '[' && key_bytes[1] != 'O') {
            key_codes.push(27);
            drop_key_bytes(1);
            continue;
        }
        int code = -1;
        std::size_t length = escape_sequence(&code);
        if (length == kNotAKey || (length == 0 && waited)) {
            key_codes.push(27);  // Esc, then the rest as ordinary keys
            drop_key_bytes(1);
            continue;
        }
        if (length == 0) return;  // the rest of the sequence may still come
        if (code >= 0) push_extended_key(key_codes, code);
        drop_key_bytes(length);
    }
}

void emit(const char* text) { std::fputs(text, stdout); }

// The echo that the terminal's line input gives typed text, for answer
// bytes that were read before the line input was on: characters as they
// are, a line end as the start of the next line.
void echo_typed_ahead(const char* bytes, std::size_t count) {
    std::array<char, PromptInput::kCapacity> echo{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n' && i > 0 && bytes[i - 1] == '\r') continue;  // one line end for CR LF
        if (c == '\r' || c == '\n') {
            echo[n++] = '\n';  // the terminal's output processing adds the CR
        } else if (c >= 0x20 && c != 0x7f) {
            echo[n++] = static_cast<char>(c);
        }
    }
    // The echo goes where the line input's would: to the keyboard's terminal.
    if (n > 0 && write(STDIN_FILENO, echo.data(), n) < 0) {
    }
}

bool window_size(int* columns, int* rows) {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0) return false;
    *columns = ws.ws_col;
    *rows = ws.ws_row;
    return true;
}

}  // namespace

void console_init() {
    stdout_is_terminal = isatty(STDOUT_FILENO) != 0;
    stdin_is_terminal = isatty(STDIN_FILENO) != 0;
    // One buffer for everything the screen gets; flushed by console_print,
    // console_flush and at exit, so the order of all output is kept.
    std::setvbuf(stdout, stdout_buffer.data(), _IOFBF, stdout_buffer.size());
    install_signal_handlers();
    set_line_ender(console_end_line);
}

void console_take_keys() {
    if (keyboard_raw) return;
    if (stdin_is_terminal && tcgetattr(STDIN_FILENO, &saved_keyboard) == 0) {
        termios raw = saved_keyboard;
        raw.c_iflag &=
            ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT | PARMRK);
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        // Until the terminal reads keys, Ctrl-C is the one key that acts
        // (the interrupt); the quit and suspend keys are plain keys.
        raw.c_cc[VQUIT] = _POSIX_VDISABLE;
        raw.c_cc[VSUSP] = _POSIX_VDISABLE;
#ifdef VDSUSP
        raw.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
        // Output processing stays as the user had it: a line feed still
        // starts the next line at its left edge.
        if (set_keyboard(raw)) {
            raw_keyboard = raw;
            keyboard_raw = true;
            // Most terminals send DEL for the Backspace key; the terminal
            // gives the target 8 for Backspace, as a PC keyboard does.
            if (saved_keyboard.c_cc[VERASE] == 127) backspace_byte = 127;
            std::atexit(console_restore);
        }
    }
}

void console_ctrl_c_as_key() {
    if (!keyboard_raw || (raw_keyboard.c_lflag & ISIG) == 0) return;
    termios keys = raw_keyboard;
    keys.c_lflag &= ~static_cast<tcflag_t>(ISIG);
    if (set_keyboard(keys)) raw_keyboard = keys;
}

void console_restore() {
    std::fflush(stdout);
    if (keyboard_raw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_keyboard);
        keyboard_raw = false;
    }
}

void write_formatted(const char* format, std::va_list args) { std::vfprintf(stdout, format, args); }

void discard_output() {
    int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere < 0) return;
    dup2(nowhere, STDOUT_FILENO);
    close(nowhere);
}

void console_put_byte(char byte) {
    putc_unlocked(byte, stdout);
    note_shown(byte);
}

void stream_write(std::FILE* stream, const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) putc_unlocked(bytes[i], stream);
}

bool console_is_terminal() { return stdout_is_terminal; }

void console_clear() {
    if (stdout_is_terminal) emit("\x1b[H\x1b[2J");
    if (!output_batched()) console_flush();
}

void console_goto(int column, int row) {
    if (!stdout_is_terminal || column < 1 || row < 1) return;
    int columns = 0, rows = 0;
    if (window_size(&columns, &rows) && (column > columns || row > rows)) return;
    std::fprintf(stdout, "\x1b[%d;%dH", row, column);
}

void console_clear_eol() {
    if (stdout_is_terminal) emit("\x1b[K");
}

void console_set_rendition(const char* parameters, std::size_t length) {
    if (!stdout_is_terminal) return;
    emit("\x1b[");
    stream_write(stdout, parameters, length);
    putc_unlocked('m', stdout);
}

bool key_available() {
    if (!key_codes.empty()) return true;
    while (fill_key_bytes(0)) {
    }
    decode_key_bytes();
    return !key_codes.empty();
}

int console_key_wait(WaitSource* source) {
    *source = WaitSource{};
    if (key_available()) return 0;
    if (!key_input_ended && key_byte_count < key_bytes.size())
        *source = WaitSource{STDIN_FILENO, WaitSource::Kind::readable};
    if (key_byte_count == 0) return kWaitForever;
    // An escape sequence still open: its bytes are decided when its wait
    // is over, whether or not more come.
    return key_bytes_decided.left_ms();
}

int read_key() {
    for (;;) {
        check_pending_signal();
        if (!key_codes.empty()) return key_codes.pop();
        decode_key_bytes();
        if (!key_codes.empty()) continue;
        if (key_input_ended && key_byte_count == 0) return -1;
        // An open escape sequence waits only a moment for its rest.
        fill_key_bytes(key_byte_count > 0 ? 5 : 100);
    }
}

// The local time of a second is worked out once: a flood of tagged lines
// asks for it many times a second.
TimeOfDay time_of_day() {
    static time_t known_second = -1;
    static std::tm parts{};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != known_second) {
        localtime_r(&now.tv_sec, &parts);
        known_second = now.tv_sec;
    }
    constexpr long kNanosecondsPerMillisecond = 1000000;
    int milliseconds = static_cast<int>(now.tv_nsec / kNanosecondsPerMillisecond);
    return TimeOfDay{parts.tm_hour, parts.tm_min,         parts.tm_sec,     milliseconds / 10,
                     milliseconds,  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday};
}

void console_begin_line_input() {
    if (!keyboard_raw || line_input_on) return;
    termios line = saved_keyboard;
    line.c_lflag |= ICANON | ECHO;
    line.c_iflag |= ICRNL;
    line_input_on = set_keyboard(line);
}

int console_read_word(char* buffer, std::size_t capacity, std::size_t max_chars) {
    if (capacity == 0) return -1;
    if (max_chars >= capacity) max_chars = capacity - 1;
    std::fflush(stdout);
    console_begin_line_input();
    bool cooked = line_input_on;
    // Bytes typed before the prompt came are the start of the answer. They
    // were read without echo: the part of them that the answer's line takes
    // is echoed below, as the line input would have.
    std::size_t ahead_start = prompt_rest.size();
    prompt_rest.add(reinterpret_cast<const char*>(key_bytes.data()), key_byte_count);
    std::array<char, PromptInput::kCapacity> ahead{};
    std::size_t ahead_end = prompt_rest.size();
    std::memcpy(ahead.data(), prompt_rest.data(), ahead_end);
    key_byte_count = 0;

    // No more than the key buffer holds at a time: what follows the
    // answer's line goes back there as keys, none of it dropped.
    // Once input has ended (Ctrl-D at the prompt) this answer asks no more.
    bool ended = false;
    auto read_more = [&ended] {
        while (!ended) {
            ssize_t n =
                read(STDIN_FILENO, prompt_rest.free_space(), std::min(prompt_rest.room(), key_bytes.size()));
            if (n < 0 && errno == EINTR) {
                check_pending_signal();
                continue;
            }
            if (n <= 0) break;
            prompt_rest.added(static_cast<std::size_t>(n));
            return true;
        }
        ended = true;
        return false;
    };
    PromptInput::Word word = prompt_rest.take_word(buffer, max_chars, read_more);

    // The rest of the answer's line, its line end included, is dropped:
    // nothing of an overlong answer reaches the next prompt or the target.
    // Whatever input follows that line is keys again. Keys typed ahead of
    // the prompt were read raw, so their Enter is a CR.
    std::size_t dropped = word.length >= 0 ? prompt_rest.drop_line(true, read_more) : 0;
    std::size_t after = std::min(prompt_rest.size(), key_bytes.size());
    std::memcpy(key_bytes.data(), prompt_rest.data(), after);
    key_byte_count = after;
    if (after > 0) key_bytes_decided = Deadline::in_ms(kEscapeWaitMs);
    prompt_rest.keep(0);
    std::size_t line_length = word.used + dropped;
    if (cooked && line_length > ahead_start)
        echo_typed_ahead(ahead.data() + ahead_start, std::min(ahead_end, line_length) - ahead_start);
    if (cooked) set_keyboard(raw_keyboard);
    line_input_on = false;
    return word.length;
}
