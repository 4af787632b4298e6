// The terminal loop: received bytes first, then at most one key per idle
// pass, and one key every few milliseconds while bytes keep coming (a line
// that is never idle must not lock the user in); the control keys, the DTR
// pulse and the two exits (the text upload and the file-name prompt are
// upload.cpp). A port that goes away (an adapter pulled out) is reported
// once and re-opened about once a second while the keys still work.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/fatal.h"
#include "base/text.h"
#include "console/console.h"
#include "serial/serial.h"
#include "term/term.h"
#include "term/upload.h"

namespace {

constexpr int kKeyCtrlA = 1;
constexpr int kKeyCtrlB = 2;
constexpr int kKeyCtrlD = 4;
constexpr int kKeyCtrlR = 18;

constexpr int kDtrPulseMs = 50;
// While received bytes keep the loop busy, the keys are looked at (and the
// screen brought up to date) at least this often.
constexpr int kKeysAmidBytesMs = 5;
// Between two tries to re-open a lost port.
constexpr int kReopenEveryMs = 1000;

ReflashHooks reflash_hooks;

// Said once when the port goes, once when it is back.
bool gone_reported = false;
Deadline next_reopen_try;

// A log that could not be written ends the run with status 1.
[[noreturn]] void exit_terminal(const char* message) {
    vt_end_colors();
    console_flush();
    bool log_written = log_close();
    close_port();
    std::fputs(message, stdout);
    exit_program(log_written ? kExitOk : kExitFailure,
                 log_written ? message : "the log could not be written");
}

void next_display_mode() {
    static constexpr const char* kModeMessages[] = {
        "\r\n hex mode = VT_MODE\r\n",
        "\r\n hex mode = ASCII_HEX\r\n",
        "\r\n hex mode = HEX_ONLY\r\n",
    };
    // A character begun in VT_MODE cannot be finished by bytes shown in
    // another mode.
    vt_end_character();
    vt_end_colors();
    int mode = (static_cast<int>(display_mode) + 1) % 3;
    display_mode = static_cast<DisplayMode>(mode);
    console_print("%s", kModeMessages[mode]);
}

void pulse_dtr() {
    console_flush();
    set_dtr(1);
    sleep_ms(kDtrPulseMs);
    set_dtr(0);
}

bool port_usable() { return !port_is_gone(); }

[[noreturn]] void exit_by_key(int code) {
    exit_terminal(code == kKeyCtrlC ? "\r\nControl-C Exit\r\n" : "\r\nNormal Exit\r\n");
}

// During a reflash: an exit key ends the run at once; every other key,
// both codes of a two-code key included, is dropped.
void exit_keys_only() {
    while (key_available()) {
        int code = read_key();
        if (is_exit_key(code)) exit_by_key(code);
        if (code == 0 && key_available()) read_key();
    }
}

// The exit keys are looked for whenever the download looks for a stop; no
// key cuts a wait of the download short (a network port's settings being
// answered), as it does a lost port's re-open.
void reflash(bool by_key) {
    console_flush();
    set_wait_interrupter(nullptr);
    set_stop_watch(exit_keys_only);
    reflash_hooks.run(by_key);
    set_stop_watch(nullptr);
    set_wait_interrupter(console_key_wait);
    console_flush();
}

bool reflash_due() {
    WaitSource source;
    return reflash_hooks.change_wait != nullptr && port_usable() && reflash_hooks.change_wait(&source) == 0;
}

// Keys that would use the line do nothing while it is gone; the message
// that it is gone has been shown already.
void act_on_key(int code) {
    if (is_exit_key(code)) exit_by_key(code);
    if (code == reflash_hooks.key && code >= 0) {
        if (port_usable()) reflash(true);
        return;
    }
    switch (code) {
        case kKeyCtrlA: next_display_mode(); break;
        case kKeyCtrlB: console_clear(); break;
        case kKeyCtrlD:
            if (port_usable()) upload_text_file();
            break;
        case kKeyCtrlF: prompt_file_name(); break;
        case kKeyCtrlR:
            if (port_usable()) pulse_dtr();
            break;
        default:
            if (code >= 0 && port_usable()) send_key(code);
            break;
    }
}

// While the port is gone: say so once, then try to re-open it by its name
// about once a second and say when it is back. Returns the time until the
// next try, kWaitForever while the port is there.
int watch_lost_port() {
    if (!port_is_gone()) return kWaitForever;
    if (!gone_reported) {
        console_print("\r\n*** Port %s is gone: re-opening it every second (Esc to exit) ***\r\n",
                      shown_target_bytes(port_name()).c_str());
        gone_reported = true;
        next_reopen_try = Deadline::in_ms(kReopenEveryMs);
    }
    if (next_reopen_try.passed()) {
        next_reopen_try = Deadline::in_ms(kReopenEveryMs);
        if (reopen_port() == 1) {
            console_print("\r\n*** Port %s is back ***\r\n", shown_target_bytes(port_name()).c_str());
            gone_reported = false;
            return kWaitForever;
        }
    }
    return next_reopen_try.left_ms();
}

// Sleeps until a byte comes, a key is there, or due_ms pass; the port and
// the keyboard say how long they may be left alone (a lone ESC is decided
// when its wait is over).
void wait_for_line_or_keys(int due_ms) {
    std::array<WaitSource, 3> sources{};
    int limit = shorter_wait(due_ms, port_wait_source(WaitSource::Kind::readable, &sources[0]));
    limit = shorter_wait(limit, console_key_wait(&sources[1]));
    if (reflash_hooks.change_wait != nullptr && port_usable())
        limit = shorter_wait(limit, reflash_hooks.change_wait(&sources[2]));
    if (limit != 0) wait_for_any(sources, limit);
    check_pending_signal();
}

// A key held from an upload is the next key, and needs no wait.
bool act_on_held_key() {
    int held = 0;
    if (!take_held_key(&held)) return false;
    act_on_key(held);
    return true;
}

// One idle pass: the screen is brought up to date, then a wait that lasts
// until a byte or a key comes or the next thing is due, then at most one
// key.
void idle_pass() {
    int due_ms = watch_lost_port();
    console_flush();
    if (act_on_held_key()) return;
    wait_for_line_or_keys(due_ms);
    if (reflash_due()) {
        reflash(false);
        return;
    }
    if (key_available()) act_on_key(read_key());
}

// Cursor and function keys as one code each, for their VT100 sequences.
void take_keys_as_asked() {
    if (terminal_options.vt100_keys) console_keys_as_one_code();
}

// Between received bytes: the screen brought up to date, a reflash that is
// due, or at most one key taken, as an idle pass does, without waiting.
void keys_amid_bytes() {
    console_flush();
    if (reflash_due()) {
        reflash(false);
        return;
    }
    if (!act_on_held_key() && key_available()) act_on_key(read_key());
}

}  // namespace

void set_reflash_hooks(const ReflashHooks& hooks) { reflash_hooks = hooks; }

void terminal_own_line(std::string_view text) {
    vt_end_character();
    vt_end_colors();
    console_end_line();
    std::string line = "\r\n" + std::string(text) + "\r\n";
    // The screen's line is ended only where it was left open; the log's
    // always, so that the line stands on its own there too.
    console_write(line.data() + 2, line.size() - 2);
    log_write(line.data(), line.size());
    console_flush();
}

void terminal_write(std::string_view text) {
    vt_end_character();
    console_write(text.data(), text.size());
    console_flush();
}

void run_terminal() {
    take_keys_as_asked();
    // A lost port's re-open (its name looked up, its connection made, its
    // settings answered) gives up for a key: the key is acted on at once,
    // and the re-open tried again when it is due.
    set_wait_interrupter(console_key_wait);
    console_print("Start terminal emulation - ESC to exit\r\n");
    display_mode = DisplayMode::VT_MODE;
    console_set_batching(true);
    Deadline keys_due = Deadline::in_ms(kKeysAmidBytesMs);
    for (;;) {
        check_pending_signal();
        if (byte_waiting()) {
            uint8_t byte = 0;
            // A read that failed (and re-opened the port) brings no byte.
            if (read_byte(&byte) == 1) show_received_byte(byte);
            if (keys_due.passed()) {
                keys_amid_bytes();
                keys_due = Deadline::in_ms(kKeysAmidBytesMs);
            }
            continue;
        }
        idle_pass();
        keys_due = Deadline::in_ms(kKeysAmidBytesMs);
    }
}

void run_terminal_after_upload(const char* text_file) {
    take_keys_as_asked();
    set_wait_interrupter(console_key_wait);
    upload_named_file(text_file, true);
    drain_input(kDrainAfterUpload);
    run_terminal();
}
