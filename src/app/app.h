// Command line front end: run options, run order and the one fatal exit.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// File and port names are taken at any length a path may have, never cut.
constexpr std::size_t kPathCapacity = PATH_MAX;

struct RunOptions {
    // The flash file name, then the path of the file being downloaded, then
    // the file the terminal uploads (and the name typed at its prompt).
    std::array<char, kPathCapacity> current_file_name{};
    std::array<char, kPathCapacity> eeprom_file_name{};
    const char* upload_file = nullptr;  // the -d word, not copied
    std::array<char, kPathCapacity> port_name{};
    int32_t terminal_rate = 9600;
    int32_t download_rate = 19200;
    bool write_flash = false;
    bool wake_application = false;
    bool exit_bootloader = false;
    bool time_tags = false;
    bool verbose = false;
    bool quit_after_download = false;  // -q
    bool logging = false;
    std::FILE* log_file = nullptr;
    bool no_flash_file = true;
    bool no_eeprom_file = true;
    bool no_arguments = false;
};

extern RunOptions run_options;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

// Writes "\r\n%s\r\n\r\n" with the message to standard output and ends the
// process with status 1 (never returns).
[[noreturn]] void report_error(const char* message);

// Formats into a bounded work buffer, then report_error with it.
[[noreturn]] void report_error_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the process with the given status: streams flushed and closed,
// keyboard restored.
[[noreturn]] void exit_program(int status);

// Copy text into a fixed buffer; false when it does not fit (nothing is
// ever cut short silently).
template <std::size_t N>
bool copy_text(std::array<char, N>& to, const char* from) {
    std::size_t i = 0;
    for (; from[i] != '\0'; ++i) {
        if (i + 1 >= N) return false;
        to[i] = from[i];
    }
    to[i] = '\0';
    return true;
}

// Bytes the target sent, as a message shows them: every byte that could
// start or carry a control sequence on the user's terminal (ESC and the
// other C0 controls but CR, LF, TAB and BS; DEL; 0x80-0x9F) becomes "<hh>"
// with two lower-case hex digits; every other byte stays as it is.
std::string shown_target_bytes(std::string_view bytes);

// The whole program: start-up, options, port, downloads, terminal.
int tamborvine_main(int argc, char** argv);
