// The file a reader takes its image from: opened once, read through a chunk
// of its own, and handed to the HEX reader (character by character) or the
// ELF reader (whole) by its first bytes. Shared by the readers of this
// folder only; the rest of the program uses image.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>

#include "image/image.h"

constexpr std::size_t kRomReadChunk = 16384;

struct RomFile {
    std::FILE* stream = nullptr;
    std::array<char, kRomReadChunk> chunk{};
    std::size_t next = 0;
    std::size_t end = 0;
    bool ended = false;  // end of file, or a read error: no more characters
    int read_error = 0;  // errno of a failed read, 0 if none
    std::string path;    // as given, for the messages
};

// Opened read-only, as an existing file, in binary. Opening a pipe waits
// for its writer; a signal during that wait ends the run. false with errno
// set when it does not open.
bool open_rom_file(RomFile& file, const char* path);
void close_rom_file(RomFile& file);

// Refills the chunk; false when the file gives no further character.
bool refill_rom_file(RomFile& file);

// The system's error text on standard error, after what the console shows,
// in one line with what was being done to which file: "tamborvine:
// opening app.hex: No such file or directory".
void report_system_text(const RomFile& file, const char* doing, int error);

// The HEX reader on an open file: load_hex_file after its open.
int load_hex_records(RomFile& file, MemoryImage image);

// The error line of hex_error, then the "<<TRANSLATION ABORTED>>" stop.
[[noreturn]] void abort_hex_translation();
