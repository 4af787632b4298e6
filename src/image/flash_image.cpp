// The FlashImage: 131,072 bytes of program memory, 0xFF where no file put
// data, read by the page work as little-endian words. Fixed storage, so
// creating it cannot fail.
#include <array>

#include "image/image.h"

namespace {
std::array<uint8_t, 2 * kFlashWords> flash_bytes;
}

uint32_t LoAddr = 0;
uint32_t HiAddr = 0;

void create_flash_image() { flash_bytes.fill(0xFF); }

uint16_t flash_word(uint32_t word_address) {
    uint32_t low = 2 * (word_address % kFlashWords);
    return static_cast<uint16_t>(flash_bytes[low] | (flash_bytes[low + 1] << 8));
}

MemoryImage flash_memory() { return MemoryImage{flash_bytes, &LoAddr, &HiAddr}; }

void set_image_range(MemoryImage image, uint32_t lowest, uint32_t highest) {
    *image.low_word = lowest >> 1;
    *image.high_word = (highest >> 1) + 1;
}
