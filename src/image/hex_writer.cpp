// The Intel HEX writer: a memory as avr-objcopy writes an image, so that
// every tool that reads its files reads these.
#include <algorithm>

#include "base/files.h"
#include "image/image.h"

namespace {

constexpr std::size_t kRecordBytes = 16;
constexpr uint8_t kBlank = 0xFF;
constexpr uint8_t kDataRecord = 0x00;
constexpr uint8_t kEndOfFileRecord = 0x01;
constexpr uint8_t kLinearBaseRecord = 0x04;  // the upper 16 bits of the addresses after it
constexpr unsigned kOffsetBits = 16;         // a record's own offset

void append_byte(std::string& text, uint8_t value) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    text += kDigits[value >> 4];
    text += kDigits[value & 0x0F];
}

// ':' count, offset, type, data, checksum (the two's complement of the sum).
void append_record(std::string& text, uint8_t type, uint16_t offset, std::span<const uint8_t> data) {
    uint8_t head[] = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                      static_cast<uint8_t>(offset), type};
    uint8_t sum = 0;
    text += ':';
    for (uint8_t b : head) {
        append_byte(text, b);
        sum = static_cast<uint8_t>(sum + b);
    }
    for (uint8_t b : data) {
        append_byte(text, b);
        sum = static_cast<uint8_t>(sum + b);
    }
    append_byte(text, static_cast<uint8_t>(-sum));
    text += "\r\n";
}

}  // namespace

std::string hex_text(std::span<const uint8_t> memory) {
    std::size_t end = memory.size();
    while (end > 0 && memory[end - 1] == kBlank) --end;
    std::string text;
    uint32_t upper = 0;
    for (std::size_t address = 0; address < end; address += kRecordBytes) {
        if (address >> kOffsetBits != upper) {
            upper = static_cast<uint32_t>(address >> kOffsetBits);
            const uint8_t base[] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            append_record(text, kLinearBaseRecord, 0, base);
        }
        append_record(text, kDataRecord, static_cast<uint16_t>(address),
                      memory.subspan(address, std::min(kRecordBytes, end - address)));
    }
    append_record(text, kEndOfFileRecord, 0, {});
    return text;
}

bool write_hex_file(const char* path, std::span<const uint8_t> memory, int* error) {
    std::string text = hex_text(memory);
    return write_file_whole(path, text.data(), text.size(), error);
}
