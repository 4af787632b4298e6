// Firmware image: the in-memory pictures of the target's memories, the
// readers that fill them from an Intel HEX or an ELF file, and the Intel HEX
// writer that puts a memory into a file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

constexpr uint32_t kFlashWords = 65536;      // 128 KiB
constexpr uint32_t kFlashTopByte = 0x1FFFF;  // highest byte address

// File kinds of read_rom_file: 'd' (100) and 'e' (101).
constexpr int kFlashKind = 'd';
constexpr int kEepromKind = 'e';

// Every word 0xFFFF, and the EEPROM image blank. Called once at start-up.
void create_flash_image();

// Word view (reading), w < kFlashWords. The readers store bytes (see
// MemoryImage): byte 2w is the low byte of word w, byte 2w + 1 its high byte.
uint16_t flash_word(uint32_t word_address);

// ImageRange: word address of the first data word and one past the last.
extern uint32_t LoAddr;
extern uint32_t HiAddr;

// A memory as the readers fill it: every byte by its address (0xFF where no
// file put data) and the range of the latest read that stored anything, in
// words as LoAddr and HiAddr are. A byte beyond bytes is beyond the image.
// Where stored is given (as long as bytes), the readers set 1 at each
// address the file put a byte: an 0xFF the file holds is told from a gap.
struct MemoryImage {
    std::span<uint8_t> bytes;
    uint32_t* low_word;
    uint32_t* high_word;
    std::span<uint8_t> stored = {};
};

// The FlashImage with LoAddr and HiAddr as its range.
MemoryImage flash_memory();

// The EEPROM image, a memory of its own: the EEPROM's address space as
// avr-gcc has it (64 KiB, so that a file for too large an EEPROM is read
// and then refused by the chip's own size), blank at start, with the
// addresses its file stored marked.
constexpr uint32_t kEepromSpaceBytes = 0x10000;
MemoryImage eeprom_memory();

// Marks an address a reader stored a byte at, where the image keeps marks.
inline void mark_stored(MemoryImage image, uint32_t address) {
    if (address < image.stored.size()) image.stored[address] = 1;
}

// Sets the image's range to the words that hold the bytes lowest to
// highest: lowest >> 1 and one past highest >> 1.
void set_image_range(MemoryImage image, uint32_t lowest, uint32_t highest);

// Reads a flash (kFlashKind) or EEPROM (kEepromKind) file into the image:
// an ELF file by its magic bytes, whatever its name, anything else as
// Intel HEX. Prints the range line and "Translation complete!\r\n"; every
// failure ends the run before anything is sent. Returns 1.
int read_rom_file(int kind, const char* path, MemoryImage image);

// ---- ELF input ----------------------------------------------------------
// The 32-bit little-endian AVR ELF as avr-gcc links it. For the flash kind
// the loadable segments at their load addresses (so the .data initial
// values after .text are there); for the EEPROM kind the .eeprom section
// (0x810000 in the ELF) from EEPROM address 0. Fuses, lock bits and the
// signature are never stored.

// True when the bytes begin with the ELF magic.
bool is_elf(std::span<const uint8_t> start);

struct ElfReading {
    std::string error;     // the "ERROR: ..." line of a refused file; empty when read
    std::string left_out;  // the sections a bootloader cannot write (".fuse .lock"), flash kind
};

// Checks the whole file, then stores its data for the kind into the image
// and sets the image's range. A refused file stores nothing.
ElfReading read_elf_image(std::span<const uint8_t> file, int kind, MemoryImage image);

// ---- Intel HEX output ---------------------------------------------------
// The memory as Intel HEX, as avr-objcopy writes it: 16 data bytes a record
// from address 0 up to the last byte that is not blank (0xFF; the blank
// bytes after it are left out), a type 04 record where the upper 16 bits
// of the address change, the end-of-file record; CR LF line ends.
std::string hex_text(std::span<const uint8_t> memory);

// Writes hex_text into the file, which appears whole or not at all (see
// write_file_whole in base/files.h). false with the code in *error, whose
// text is file_error_text's.
bool write_hex_file(const char* path, std::span<const uint8_t> memory, int* error);

// ---- the reader's steps -------------------------------------------------
// read_rom_file is what the rest of the program uses; the steps below are
// open so that tests and the fuzzer can drive them one by one.

// A line stores at most 99 characters, its line feed included (blanks and
// carriage returns are dropped before they are stored); the 100th stored
// character makes the line "not HEX".
constexpr std::size_t kHexLineCapacity = 100;
// Data bytes one record can carry: any count a record may state.
constexpr std::size_t kHexRecordCapacity = 255;

// Reader error codes (hex_error). Any non-zero code ends the run.
constexpr uint8_t kHexOk = 0;
constexpr uint8_t kHexCorrupt = 1;   // checksum wrong, or the record is cut short
constexpr uint8_t kHexNotFound = 2;  // cannot open (or read) the file
constexpr uint8_t kHexTooLarge = 3;  // a data byte beyond the image
// The file holds no whole image, so nothing may be erased for it:
constexpr uint8_t kHexNoEndRecord = 4;  // no end-of-file record (empty, or cut short)
constexpr uint8_t kHexNoData = 5;       // no data record before the end-of-file record
constexpr uint8_t kHexNotHex = 255;     // line too long, or no ':' in front

extern uint8_t hex_error;          // 0 whenever a read begins
extern uint32_t hex_base_address;  // extended address base of types 02 and 04

using HexRecordData = std::array<uint8_t, kHexRecordCapacity>;

// Reads the whole HEX file into the image and prints the range line. 1 =
// done, 0 = failed with hex_error set (warning lines printed, file closed).
// A file is done only when an end-of-file record was read with data before
// it; the records after it are read as well. A byte beyond the image is
// kHexTooLarge.
int load_hex_file(const char* path, MemoryImage image);

// Takes apart one stored line (its line feed included, when it has one).
// Writes the data bytes and the record's first byte address; returns the
// number of bytes to store (N for a data record, else 0). Failure shows in
// hex_error, not in the result.
uint8_t parse_hex_record(std::string_view line, HexRecordData& data, uint32_t* address);

// Value of one hex digit character; nothing is rejected ('G' is 16).
uint8_t hex_digit_value(char c);
