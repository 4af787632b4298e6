// Firmware image: the in-memory picture of the target's program memory and
// the Intel HEX reader that fills it.
#pragma once

#include <cstdint>

constexpr uint32_t kFlashWords = 65536;        // 128 KiB
constexpr uint32_t kFlashTopByte = 0x1FFFF;    // highest byte address

// File kinds of read_rom_file ('d' and 'e').
constexpr int kFlashKind = 100;
constexpr int kEepromKind = 101;

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
