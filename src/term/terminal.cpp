// The terminal loop: received bytes first, then at most one key per idle
// pass; the control keys, the text upload, the file-name prompt, the DTR
// pulse and the two exits. A port that goes away (an adapter pulled out) is
// reported once and re-opened about once a second while the keys still work.
#include <array>
#include <cstdint>
#include <cstdio>

#include "base/fatal.h"
#include "base/run_options.h"
#include "console/console.h"
#include "serial/serial.h"
#include "term/term.h"

namespace {

constexpr int kKeyCtrlA = 1;
constexpr int kKeyCtrlB = 2;
constexpr int kKeyCtrlC = 3;
constexpr int kKeyCtrlD = 4;
constexpr int kKeyCtrlF = 6;
constexpr int kKeyCtrlR = 18;
constexpr int kKeyEsc = 27;

constexpr int kIdleSleepMs = 1;
constexpr int kDtrPulseMs = 50;
constexpr int kDrainBeforeUpload = 10;
constexpr int kDrainAfterUpload = 20;
constexpr long kDotEvery = 1000;          // upload bytes per progress dot
constexpr std::size_t kPromptChars = 30;  // the longest name the prompt takes
constexpr int kUploadFailureLimit = 5;    // failed sends in a row that stop an upload
// Idle passes (about 1 ms each) between two tries to re-open a lost port.
constexpr int kReopenEveryPasses = 1000;

long upload_count = 0;

// Said once when the port goes, once when it is back.
bool gone_reported = false;
int passes_since_reopen_try = 0;

[[noreturn]] void exit_terminal(const char* message) {
    console_flush();
    log_close();
    close_port();
    std::fputs(message, stdout);
    exit_program(kExitOk);
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

// Keys that would use the line do nothing while it is gone; the message
// that it is gone has been shown already.
void act_on_key(int code) {
    switch (code) {
        case kKeyCtrlA: next_display_mode(); break;
        case kKeyCtrlB: console_clear(); break;
        case kKeyCtrlC: exit_terminal("\r\nControl-C Exit\r\n");
        case kKeyCtrlD:
            if (port_usable()) upload_text_file();
            break;
        case kKeyCtrlF: prompt_file_name(); break;
        case kKeyCtrlR:
            if (port_usable()) pulse_dtr();
            break;
        case kKeyEsc: exit_terminal("\r\nNormal Exit\r\n");
        default:
            if (code >= 0 && port_usable()) send_byte_checked(static_cast<uint8_t>(code & 0xFF));
            break;
    }
}

// While the port is gone: say so once, then try to re-open it by its name
// about once a second and say when it is back.
void watch_lost_port() {
    if (!port_is_gone()) return;
    if (!gone_reported) {
        console_print("\r\n*** Port %s is gone: re-opening it every second (Esc to exit) ***\r\n",
                      port_name());
        gone_reported = true;
        passes_since_reopen_try = 0;
    }
    if (++passes_since_reopen_try < kReopenEveryPasses) return;
    passes_since_reopen_try = 0;
    if (reopen_port() == 1) {
        console_print("\r\n*** Port %s is back ***\r\n", port_name());
        gone_reported = false;
    }
}

// One idle pass: the screen is brought up to date, then a short wait that
// ends early when a byte comes, then at most one key.
void idle_pass() {
    console_flush();
    watch_lost_port();
    wait_for_byte_ms(kIdleSleepMs);
    if (key_available()) act_on_key(read_key());
}

// Sends the file byte by byte with a dot per thousand. A line that keeps
// refusing bytes (the adapter was pulled out) stops the upload rather than
// report every remaining byte. False when the upload did not reach the end.
bool upload_file_bytes(std::FILE* file) {
    upload_count = 0;
    int failed_in_a_row = 0;
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        check_pending_signal();
        if (send_byte(static_cast<uint8_t>(c)) != 0) {
            if (++failed_in_a_row >= kUploadFailureLimit) {
                console_print("\r\nUpload stopped: the port takes no more bytes.\r\n");
                return false;
            }
        } else {
            failed_in_a_row = 0;
        }
        ++upload_count;
        if (upload_count % kDotEvery == 0) {
            console_print(".");
            console_flush();
        }
    }
    if (std::ferror(file) != 0) {
        console_print("\r\nCannot read input file.\r\n");
        return false;
    }
    return true;
}

// Opens the file to upload in binary mode. A name that opens but cannot be
// read at all (a directory) counts as one that does not open.
std::FILE* open_upload_file(const char* name) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return nullptr;
    int c = std::fgetc(file);
    if (std::ferror(file) != 0) {
        std::fclose(file);
        return nullptr;
    }
    if (c != EOF) std::ungetc(c, file);
    return file;
}

}  // namespace

void run_terminal() {
    console_print("Start terminal emulation - ESC to exit\r\n");
    display_mode = DisplayMode::VT_MODE;
    console_set_batching(true);
    for (;;) {
        check_pending_signal();
        if (byte_waiting()) {
            uint8_t byte = 0;
            // A read that failed (and re-opened the port) brings no byte.
            if (read_byte(&byte) == 1) show_received_byte(byte);
            continue;
        }
        idle_pass();
    }
}

void run_terminal_after_upload(const char* text_file) {
    drain_input(kDrainBeforeUpload);
    if (!copy_text(run_options.current_file_name, text_file)) report_error("File Name Bad Argument");
    console_print("\r\nsend text file = %s  ", run_options.current_file_name.data());
    upload_text_file();
    run_terminal();
}

int upload_text_file() {
    console_flush();
    std::FILE* file = open_upload_file(run_options.current_file_name.data());
    if (file == nullptr) {
        console_print("Cannot open input file.\r\r\n");
        prompt_file_name();
        file = open_upload_file(run_options.current_file_name.data());
        if (file == nullptr) report_error("Cannot open input file.");
    }
    upload_file_bytes(file);
    console_print("\r\n\r*** %li Chars Sent *** \r\r\n", upload_count);
    console_flush();
    drain_input(kDrainAfterUpload);
    std::fclose(file);
    return 0;
}

int prompt_file_name() {
    console_begin_line_input();
    console_print("\r\r\n\r\nPlease enter an file name : ");
    console_flush();
    // Input that ends before a word (Ctrl-D at the prompt) keeps the name.
    std::array<char, kPromptChars + 1> word{};
    if (console_read_word(word.data(), word.size(), kPromptChars) >= 0)
        copy_text(run_options.current_file_name, word.data());
    return 0;
}
