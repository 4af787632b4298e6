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
    std::array<char, kPathCapacity> port_name{};
    int32_t terminal_rate = 9600;
    int32_t download_rate = 19200;
    bool write_flash = false;
    bool incremental = false;  // --incremental: -w writes only the pages that changed
    bool wake_application = false;
    bool exit_bootloader = false;
    bool time_tags = false;
    bool verbose = false;
    bool quit_after_download = false;  // -q
    bool no_flash_file = true;
    bool no_eeprom_file = true;
    bool no_arguments = false;
};

extern RunOptions run_options;
