// The FlashImage: 65,536 words of program memory, 0xFFFF where no file put
// data. Fixed storage, so creating it cannot fail.
#include <array>

#include "image/image.h"

namespace {
std::array<uint16_t, kFlashWords> flash_words;
}

uint32_t LoAddr = 0;
uint32_t HiAddr = 0;

void create_flash_image() { flash_words.fill(0xFFFF); }

uint16_t flash_word(uint32_t word_address) { return flash_words[word_address % kFlashWords]; }

void store_flash_byte(uint32_t byte_address, uint8_t value) {
    uint16_t& word = flash_words[(byte_address >> 1) % kFlashWords];
    if ((byte_address & 1) == 0)
        word = static_cast<uint16_t>((word & 0xFF00) | value);
    else
        word = static_cast<uint16_t>((word & 0x00FF) | (value << 8));
}
