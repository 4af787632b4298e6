// The FlashImage: 131,072 bytes of program memory, 0xFF where no file put
// data, read by the page work as little-endian words; and the EEPROM image
// beside it. Fixed storage, so creating them cannot fail.
#include <array>

#include "image/image.h"

namespace {
std::array<uint8_t, 2 * kFlashWords> flash_bytes;
std::array<uint8_t, kEepromSpaceBytes> eeprom_bytes;
std::array<uint8_t, kEepromSpaceBytes> eeprom_stored;
uint32_t eeprom_low_word = 0;
uint32_t eeprom_high_word = 0;
}  // namespace

uint32_t LoAddr = 0;
uint32_t HiAddr = 0;

void create_flash_image() {
    flash_bytes.fill(0xFF);
    eeprom_bytes.fill(0xFF);
    eeprom_stored.fill(0);
}

uint16_t flash_word(uint32_t word_address) {
    uint32_t low = 2 * (word_address % kFlashWords);
    return static_cast<uint16_t>(flash_bytes[low] | (flash_bytes[low + 1] << 8));
}

MemoryImage flash_memory() { return MemoryImage{flash_bytes, &LoAddr, &HiAddr}; }

MemoryImage eeprom_memory() {
    return MemoryImage{eeprom_bytes, &eeprom_low_word, &eeprom_high_word, eeprom_stored};
}

void set_image_range(MemoryImage image, uint32_t lowest, uint32_t highest) {
    *image.low_word = lowest >> 1;
    *image.high_word = (highest >> 1) + 1;
}
