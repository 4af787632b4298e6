// The device catalogue: what the bootloader's device code means, and what a
// family of parts looks like (flash word limit, page size, EEPROM size).
// Three fixed tables, one operation each.
#include <array>
#include <cstring>
#include <string_view>

#include "base/fatal.h"
#include "base/run_options.h"
#include "boot/boot.h"
#include "console/console.h"

DeviceLetters device_letters{};
DeviceGeometry device_geometry{};

namespace {

constexpr std::size_t kDeviceNameLength = 16;

struct DeviceCodeEntry {
    uint8_t code;
    const char* name;
    int family;
};

// Every name is exactly 16 characters, blank-filled on the right.
constexpr std::array<DeviceCodeEntry, 47> kDeviceCodes{{
    {0x10, "AT90S1200 rev. A", 0},    {0x11, "AT90S1200 rev. B", 0},    {0x12, "AT90S1200 rev. C", 0},
    {0x13, "AT90S1200       ", 0},    {0x20, "AT90S2313       ", 0},    {0x28, "AT90S4414       ", 0},
    {0x30, "AT90S4433       ", 0},    {0x34, "AT90S2333       ", 0},    {0x38, "AT90S8515       ", 0},
    {0x3A, "ATmega8515      ", 8515}, {0x3B, "ATmega8515 BOOT ", 8515}, {0x41, "ATmega103       ", 0},
    {0x42, "ATmega603       ", 0},    {0x43, "ATmega128       ", 128},  {0x44, "ATmega128 BOOT  ", 128},
    {0x48, "AT90S2323       ", 0},    {0x4C, "AT90S2343       ", 0},    {0x50, "ATtiny11        ", 0},
    {0x51, "ATtiny10        ", 0},    {0x55, "ATtiny12        ", 0},    {0x56, "ATtiny15        ", 0},
    {0x58, "ATtiny19        ", 0},    {0x5C, "ATtiny28        ", 0},    {0x5E, "ATtiny26        ", 0},
    {0x60, "ATmega161       ", 161},  {0x61, "ATmega161 BOOT  ", 161},  {0x64, "ATmega163       ", 163},
    {0x65, "ATmega83        ", 83},   {0x66, "ATmega163 BOOT  ", 163},  {0x67, "ATmega83 BOOT   ", 83},
    {0x68, "AT90S8535       ", 0},    {0x6A, "ATmega8535??    ", 8535}, {0x6B, "ATmega8535 BOOT?", 8535},
    {0x6C, "AT90S4434       ", 0},    {0x70, "AT90C8534       ", 0},    {0x71, "AT90C8544       ", 0},
    {0x72, "ATmega32        ", 32},   {0x73, "ATmega32 BOOT   ", 32},   {0x74, "ATmega16        ", 16},
    {0x75, "ATmega16 BOOT   ", 16},   {0x76, "ATmega8         ", 8},    {0x77, "ATmega8 BOOT    ", 8},
    {0x79, "ATmega169 BOOT  ", 169},  {0x80, "AT89C1051       ", 0},    {0x81, "AT89C2051       ", 0},
    {0x86, "AT89S8252       ", 0},    {0x87, "AT89S53         ", 0},
}};

constexpr const char* kUnknownDeviceName = "Unknown         ";

constexpr bool all_names_full_length() {
    for (const DeviceCodeEntry& entry : kDeviceCodes)
        if (std::string_view(entry.name).size() != kDeviceNameLength) return false;
    return std::string_view(kUnknownDeviceName).size() == kDeviceNameLength;
}
static_assert(all_names_full_length(), "device names are 16 characters");

struct FamilyEntry {
    int family;
    DeviceLetters letters;
};

constexpr std::array<FamilyEntry, 9> kFamilies{{
    {8, {'A', 'l', 'R', '1'}},
    {16, {'B', 'm', 'S', '1'}},
    {32, {'E', 'n', 'S', '2'}},
    {64, {'C', 'o', 'T', '3'}},
    {128, {'D', 'p', 'T', '4'}},
    {162, {'F', 'm', 'S', '1'}},
    {169, {'G', 'm', 'S', '1'}},
    {8515, {'H', 'l', 'R', '1'}},
    {8535, {'I', 'l', 'R', '1'}},
}};

// Each letter of DeviceLetters has its own table: the line shown under -V
// and the value it stands for.
struct LetterEntry {
    char letter;
    const char* verbose_line;
    uint32_t value;
};

constexpr std::array<LetterEntry, 9> kDeviceIdLetters{{
    {'A', "DeviceID = Mega8\r\n", 0},
    {'B', "DeviceID = Mega16\r\n", 0},
    {'C', "DeviceID = Mega64\r\n", 0},
    {'D', "DeviceID = Mega128\r\n", 0},
    {'E', "DeviceID = Mega32\r\n", 0},
    {'F', "DeviceID = Mega162\r\n", 0},
    {'G', "DeviceID = Mega169\r\n", 0},
    {'H', "DeviceID = Mega8515\r\n", 0},
    {'I', "DeviceID = Mega8535\r\n", 0},
}};

// Flash word limits keep the boot section out of reach of an image.
constexpr std::array<LetterEntry, 5> kFlashSizeLetters{{
    {'l', "FlashSize = 8k\r\n", 0x1C00},
    {'m', "FlashSize = 16k\r\n", 0x3C00},
    {'n', "FlashSize = 32k\r\n", 0x7C00},
    {'o', "FlashSize = 64k\r\n", 0xFC00},
    {'p', "FlashSize = 64k\r\n", 0xFC00},
}};

constexpr std::array<LetterEntry, 3> kPageSizeLetters{{
    {'R', "PageSize = 64 bytes\r\n", 64},
    {'S', "PageSize = 128 bytes\r\n", 128},
    {'T', "PageSize = 256 bytes\r\n", 256},
}};

constexpr std::array<LetterEntry, 4> kEepromSizeLetters{{
    {'1', "EEpromSize = 512 bytes\r\n", 512},
    {'2', "EEpromSize = 1024 bytes\r\n", 1024},
    {'3', "EEpromSize = 2048 bytes\r\n", 2048},
    {'4', "EEpromSize = 4096 bytes\r\n", 4096},
}};

// The value of one letter, its line printed under -V; a letter outside the
// table stops the run with the table's own message.
template <std::size_t N>
uint32_t decode_letter(const std::array<LetterEntry, N>& table, char letter, const char* unknown_message) {
    for (const LetterEntry& entry : table) {
        if (entry.letter != letter) continue;
        if (run_options.verbose) console_print("%s", entry.verbose_line);
        return entry.value;
    }
    report_error(unknown_message);
}

// The value of one letter, quietly; 0 for a letter outside the table.
template <std::size_t N>
uint32_t value_of(const std::array<LetterEntry, N>& table, char letter) {
    for (const LetterEntry& entry : table)
        if (entry.letter == letter) return entry.value;
    return 0;
}

}  // namespace

int lookup_device_code(int code, char* name) {
    const uint8_t low_byte = static_cast<uint8_t>(code & 0xFF);
    const char* found = kUnknownDeviceName;
    int family = 0;
    for (const DeviceCodeEntry& entry : kDeviceCodes) {
        if (entry.code != low_byte) continue;
        found = entry.name;
        family = entry.family;
        break;
    }
    std::memcpy(name, found, kDeviceNameLength + 1);
    return family;
}

void set_device_family(int family) {
    for (const FamilyEntry& entry : kFamilies) {
        if (entry.family != family) continue;
        device_letters = entry.letters;
        return;
    }
    report_error(" Invalid Mega Type\r\n");
}

void decode_device_letters() {
    decode_letter(kDeviceIdLetters, device_letters.device_id, "DeviceID unknown");
    device_geometry.flash_word_limit =
        decode_letter(kFlashSizeLetters, device_letters.flash_size, "FlashSize unknown");
    device_geometry.page_size = static_cast<int32_t>(
        decode_letter(kPageSizeLetters, device_letters.page_size, "PageSize unknown\r\n"));
    device_geometry.eeprom_size = static_cast<int32_t>(
        decode_letter(kEepromSizeLetters, device_letters.eeprom_size, "EEpromSize unknown\r\n"));
}

DeviceGeometry geometry_of(int family) {
    DeviceGeometry geometry{};
    for (const FamilyEntry& entry : kFamilies) {
        if (entry.family != family) continue;
        geometry.flash_word_limit = value_of(kFlashSizeLetters, entry.letters.flash_size);
        geometry.page_size = static_cast<int32_t>(value_of(kPageSizeLetters, entry.letters.page_size));
        geometry.eeprom_size = static_cast<int32_t>(value_of(kEepromSizeLetters, entry.letters.eeprom_size));
    }
    return geometry;
}
