// The run options: what the command line asked for, read by every part of
// the run. The front end fills them in before anything else runs.
#pragma once

#include <array>
#include <cstdint>

#include "base/text.h"

struct RunOptions {
    // The flash file name, then the path of the file being downloaded, then
    // the file the terminal uploads (and the name typed at its prompt).
    std::array<char, kPathCapacity> current_file_name{};
    std::array<char, kPathCapacity> eeprom_file_name{};
    const char* upload_file = nullptr;  // the -d word, not copied
    const char* log_file = nullptr;     // the last -l word, not copied; opened once the run is sure
    bool log_append = false;            // --log-append: the log is written on at its end, not emptied
    std::array<char, kPathCapacity> port_name{};
    int32_t terminal_rate = 9600;
    int32_t download_rate = 19200;
    bool download_rate_any = false;  // the rate came from --download-rate, not -r
    bool write_flash = false;
    bool incremental = false;  // --incremental: -w writes only the pages that changed
    bool wake_application = false;
    bool exit_bootloader = false;
    bool time_tags = false;
    bool verbose = false;
    bool quit_after_download = false;  // -q
    // --reset: the modem lines pulsed (kResetDtr, kResetRts) to reset the
    // target into its bootloader before each download, how long they are
    // held (--reset-ms) and how long the bootloader takes to start
    // (--boot-wait-ms).
    uint8_t reset_lines = 0;
    int32_t reset_ms = 50;
    int32_t boot_wait_ms = 100;
    // --protocol: the bootloader dialogue, by its own name (set by the
    // command line, its default too).
    const char* protocol = nullptr;
    // --read-flash, --read-eeprom: the Intel HEX files the chip's memories
    // are read into before anything is written (the words, not copied).
    const char* read_flash_file = nullptr;
    const char* read_eeprom_file = nullptr;
    // --wait-port: how long the first open of the port is tried again.
    int32_t wait_port_seconds = 0;
    bool no_flash_file = true;
    bool no_eeprom_file = true;
    bool no_arguments = false;
};

constexpr uint8_t kResetDtr = 1;
constexpr uint8_t kResetRts = 2;

// The lines of --reset as the option names them: "dtr", "rts", "dtr,rts";
// nullptr for none.
constexpr const char* reset_lines_name(uint8_t lines) {
    constexpr const char* kNames[] = {nullptr, "dtr", "rts", "dtr,rts"};
    return kNames[lines & (kResetDtr | kResetRts)];
}

extern RunOptions run_options;
