// Firmware image: the in-memory picture of the target's program memory and
// the Intel HEX reader that fills it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr uint32_t kFlashWords = 65536;      // 128 KiB
constexpr uint32_t kFlashTopByte = 0x1FFFF;  // highest byte address

// File kinds of read_rom_file: 'd' (100) and 'e' (101).
constexpr int kFlashKind = 'd';
constexpr int kEepromKind = 'e';

// Every word 0xFFFF. Called once at start-up.
void create_flash_image();

// Word view (reading), w < kFlashWords.
uint16_t flash_word(uint32_t word_address);

// Byte view (storing), a <= kFlashTopByte: even a is the low byte of word
// a >> 1, odd a its high byte.
void store_flash_byte(uint32_t byte_address, uint8_t value);

// ImageRange: word address of the first data word and one past the last.
extern uint32_t LoAddr;
extern uint32_t HiAddr;

// Reads a HEX file of the given kind into the image; prints the range line
// and "Translation complete!\r\n". Every failure ends the run. Returns 1.
int read_rom_file(int kind, const char* path);

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
constexpr uint8_t kHexTooLarge = 3;  // a data byte above kFlashTopByte
// The file holds no whole image, so nothing may be erased for it:
constexpr uint8_t kHexNoEndRecord = 4;  // no end-of-file record (empty, or cut short)
constexpr uint8_t kHexNoData = 5;       // no data record before the end-of-file record
constexpr uint8_t kHexNotHex = 255;     // line too long, or no ':' in front

extern uint8_t hex_error;          // 0 whenever a read begins
extern uint32_t hex_base_address;  // extended address base of types 02 and 04

using HexRecordData = std::array<uint8_t, kHexRecordCapacity>;

// load_hex_file, then "Translation complete!\r\n" (returns 1), or the
// error line of hex_error and the "<<TRANSLATION ABORTED>>" stop.
int translate_hex_file(const char* path);

// Reads the whole file into the image and prints the range line. 1 = done,
// 0 = failed with hex_error set (warning lines printed, file closed). A file
// is done only when an end-of-file record was read with data before it; the
// records after it are read as well.
int load_hex_file(const char* path);

// Takes apart one stored line (its line feed included, when it has one).
// Writes the data bytes and the record's first byte address; returns the
// number of bytes to store (N for a data record, else 0). Failure shows in
// hex_error, not in the result.
uint8_t parse_hex_record(std::string_view line, HexRecordData& data, uint32_t* address);

// Value of one hex digit character; nothing is rejected ('G' is 16).
uint8_t hex_digit_value(char c);
