// The Intel HEX reader: fills a memory image from a HEX file and records
// its range. Every failure ends the run through report_error after the
// warning and error lines the user knows; the caller never sees a half-read
// image.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/fatal.h"
#include "console/console.h"
#include "image/image.h"
#include "image/rom_file.h"

uint8_t hex_error = kHexOk;
uint32_t hex_base_address = 0;

namespace {

constexpr char kEndOfText = 0x1A;  // Ctrl-Z: the file's content ends here

// Record layout: ':' NN AAAA TT data... CC, positions counted on the stored
// characters of the line.
constexpr std::size_t kCountPosition = 1;
constexpr std::size_t kOffsetPosition = 3;
constexpr std::size_t kTypePosition = 7;
constexpr std::size_t kDataPosition = 9;
constexpr std::size_t kRecordOverhead = 11;    // ':' NN AAAA TT CC
constexpr std::size_t kBaseRecordLength = 13;  // positions 9-12 hold the base
constexpr uint8_t kDataRecord = 0x00;
constexpr uint8_t kEndOfFileRecord = 0x01;
constexpr uint8_t kSegmentBaseRecord = 0x02;
constexpr uint8_t kLinearBaseRecord = 0x04;

struct HexLine {
    std::array<char, kHexLineCapacity> text{};
    std::size_t length = 0;
};

HexLine hex_line;
HexRecordData record_data;

// Next line into line.text: 1 = a line, ending in a line feed or, the
// last of the file, at the end of the file's text (it is a record like any
// other: a record cut in the middle fails as a damaged one does); 0 = no
// further line; -1 = the line reached the buffer's capacity (hex_error 255).
int read_hex_line(RomFile& file, HexLine& line) {
    line.length = 0;
    for (;;) {
        if (file.next == file.end && !refill_rom_file(file)) return line.length > 0 ? 1 : 0;
        char c = file.chunk[file.next++];
        if (c == kEndOfText) {
            file.ended = true;
            file.next = file.end;
            return line.length > 0 ? 1 : 0;
        }
        if (c == '\r' || c == ' ') continue;
        line.text[line.length++] = c;
        if (line.length == kHexLineCapacity) {
            console_print("WARNING: file not HEX format!\n\r");
            hex_error = kHexNotHex;
            return -1;
        }
        if (c == '\n') return 1;
    }
}

uint8_t byte_at(std::string_view text, std::size_t position) {
    return static_cast<uint8_t>(hex_digit_value(text[position]) * 16 + hex_digit_value(text[position + 1]));
}

// Digit by digit without reduction to 16 bits, as stray digits may give.
uint32_t four_digit_value(std::string_view text, std::size_t position) {
    uint32_t value = 0;
    for (std::size_t i = position; i < position + 4; ++i) value = value * 16 + hex_digit_value(text[i]);
    return value;
}

uint8_t corrupt_record() {
    console_print("WARNING: HEX file corrupt!\r\n");
    hex_error = kHexCorrupt;
    return 0;
}

// A record whose fields run past the end of its line is cut short: it is
// refused as corrupt before any field is used, so nothing beyond the stored
// characters is ever read and no more bytes are stored than the line holds.
bool record_fits(std::string_view text) {
    if (text.size() < kRecordOverhead) return false;
    std::size_t count = byte_at(text, kCountPosition);
    if (text.size() < kRecordOverhead + 2 * count) return false;
    uint8_t type = byte_at(text, kTypePosition);
    if ((type == kSegmentBaseRecord || type == kLinearBaseRecord) && text.size() < kBaseRecordLength)
        return false;
    return true;
}

// Store one record's bytes and widen this read's range; false when a byte
// lies beyond the image (the bytes before it are stored).
bool store_record(const HexRecordData& data, uint8_t count, uint32_t address, MemoryImage image,
                  uint32_t& lowest, uint32_t& highest) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t a = address + i;
        if (a >= image.bytes.size()) return false;
        image.bytes[a] = data[i];
        mark_stored(image, a);
        if (a > highest) highest = a;
        if (a < lowest) lowest = a;
        set_image_range(image, lowest, highest);
    }
    return true;
}

int fail_load(RomFile& file) {
    close_rom_file(file);
    return 0;
}

// What makes a file a whole image: an end-of-file record with data before
// it. A file cut short (or empty) has no end-of-file record; one without
// data holds no image. Either would have the chip erased for nothing.
struct Completeness {
    bool data_seen = false;
    bool end_record_seen = false;
    bool whole = false;

    void record(std::string_view line, uint8_t stored_bytes) {
        if (stored_bytes > 0) data_seen = true;
        if (byte_at(line, kTypePosition) != kEndOfFileRecord) return;
        end_record_seen = true;
        if (data_seen) whole = true;
    }

    uint8_t error() const {
        if (whole) return kHexOk;
        return end_record_seen ? kHexNoData : kHexNoEndRecord;
    }
};

}  // namespace

uint8_t hex_digit_value(char c) {
    auto code = static_cast<uint8_t>(c);
    if (code >= 'a' && code <= 'z') code = static_cast<uint8_t>(code - ('a' - 'A'));
    return static_cast<uint8_t>(code <= '9' ? code - 0x30 : code - 0x37);
}

uint8_t parse_hex_record(std::string_view line, HexRecordData& data, uint32_t* address) {
    if (line.empty() || line[0] != ':') {
        console_print("WARNING: file not HEX format!\r\n");
        hex_error = kHexNotHex;
        return 0;
    }
    // Fields are read from the record's text only, never from its line feed.
    std::string_view text = line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
    if (!record_fits(text)) return corrupt_record();

    uint8_t count = byte_at(text, kCountPosition);
    uint8_t sum = count;
    uint32_t offset = four_digit_value(text, kOffsetPosition);
    sum = static_cast<uint8_t>(sum + byte_at(text, kOffsetPosition) + byte_at(text, kOffsetPosition + 2));
    *address = hex_base_address + offset;  // the base in force before this record

    uint8_t type = byte_at(text, kTypePosition);
    sum = static_cast<uint8_t>(sum + type);
    if (type == kSegmentBaseRecord) hex_base_address = four_digit_value(text, kDataPosition) << 4;
    if (type == kLinearBaseRecord) hex_base_address = four_digit_value(text, kDataPosition) << 16;

    for (std::size_t i = 0; i < count; ++i) {
        data[i] = byte_at(text, kDataPosition + 2 * i);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    sum = static_cast<uint8_t>(sum + byte_at(text, kDataPosition + 2 * count));
    if (sum != 0) return corrupt_record();
    return type == kDataRecord ? count : 0;
}

int load_hex_records(RomFile& file, MemoryImage image) {
    hex_error = kHexOk;  // a file read again after a refused one starts clean
    hex_base_address = 0;
    uint32_t lowest = UINT32_MAX;
    uint32_t highest = 0;
    Completeness completeness;
    for (;;) {
        int got = read_hex_line(file, hex_line);
        if (hex_error != kHexOk) return fail_load(file);
        if (got != 1) break;
        uint32_t address = 0;
        std::string_view line(hex_line.text.data(), hex_line.length);
        uint8_t count = parse_hex_record(line, record_data, &address);
        if (hex_error != kHexOk) return fail_load(file);
        if (!store_record(record_data, count, address, image, lowest, highest)) {
            hex_error = kHexTooLarge;
            return fail_load(file);
        }
        completeness.record(line, count);
    }
    // A file that cannot be read to its end is not taken as a short image.
    if (file.read_error != 0) {
        report_system_text(file, "reading", file.read_error);
        hex_error = kHexNotFound;
        return fail_load(file);
    }
    hex_error = completeness.error();
    if (hex_error != kHexOk) return fail_load(file);
    console_print("LoAddr =  %x    HiAddr =  %x\r\n", *image.low_word, *image.high_word);
    close_rom_file(file);
    return 1;
}

int load_hex_file(const char* path, MemoryImage image) {
    RomFile file;
    if (!open_rom_file(file, path)) {
        // The system's reason tells a missing file from one that may not
        // be read, which the error line alone does not.
        report_system_text(file, "opening", errno);
        hex_error = kHexNotFound;
        return 0;
    }
    return load_hex_records(file, image);
}

void abort_hex_translation() {
    if (hex_error == kHexTooLarge)
        console_print("ERROR: HEX file too large!\r\n");
    else if (hex_error == kHexCorrupt)
        console_print("ERROR: HEX file corrupt!\r\n");
    else if (hex_error == kHexNotHex)
        console_print("ERROR: Cannot translate file!\r\n");
    else if (hex_error == kHexNotFound)
        console_print("ERROR: Could not find HEX file!\r\n");
    else if (hex_error == kHexNoEndRecord)
        console_print("ERROR: HEX file has no end-of-file record (empty or cut short)!\r\n");
    else if (hex_error == kHexNoData)
        console_print("ERROR: HEX file has no data before its end-of-file record!\r\n");
    report_error("<<TRANSLATION ABORTED>>\r\n");
}
