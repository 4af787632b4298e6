// The boards the emulator can be: each chip with the boot section and the
// lock bits its board's fuses set, and its USART0's registers.
#include "emulator.h"

namespace emulator {

namespace {

// clang-format off
constexpr UsartRegisters kMega128Usart{.data = 0x2C, .status = 0x2B, .control = 0x2A,
                                       .rate_low = 0x29, .rate_high = 0x90};
// The ATmega328P and ATmega1284P keep USART0 in the extended I/O space.
constexpr UsartRegisters kMegaX8Usart{.data = 0xC6, .status = 0xC0, .control = 0xC1,
                                      .rate_low = 0xC4, .rate_high = 0xC5};

// ATmega128: tamborvine's own board, a 1,024-word boot section, no
// auto-reset. ATmega328P and ATmega1284P: the boards these bootloaders ship
// on, high fuse 0xDE (BOOTRST, the smallest boot section: 256 and 512
// words) and lock bits 0x0F (the boot section cannot be written by SPM).
constexpr ChipModel kChips[] = {
    {.name = "atmega128",   .boot_start = 0x1F800, .boot_locked = false, .reset_on_open = false,
     .usart = kMega128Usart, .eeprom_write_seconds = 8.5e-3},
    {.name = "atmega328p",  .boot_start = 0x7E00,  .boot_locked = true,  .reset_on_open = true,
     .usart = kMegaX8Usart, .eeprom_write_seconds = 0},
    {.name = "atmega1284p", .boot_start = 0x1FC00, .boot_locked = true,  .reset_on_open = true,
     .usart = kMegaX8Usart, .eeprom_write_seconds = 0},
};
// clang-format on

}  // namespace

const ChipModel* find_chip(const std::string& name) {
    for (const ChipModel& chip : kChips)
        if (name == chip.name) return &chip;
    return nullptr;
}

std::string chip_names() {
    std::string names;
    for (const ChipModel& chip : kChips) names += (names.empty() ? "" : ", ") + std::string(chip.name);
    return names;
}

}  // namespace emulator
