// The ELF reader: an AVR program as avr-gcc links it, read from the file's
// bytes in memory. Every field is read only after the bytes it lies in were
// found inside the file, and every segment is placed only after all of
// them were found to fit the image, so a refused file stores nothing.
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "image/image.h"

namespace {

// ELF header: identification bytes, then fields at fixed offsets.
constexpr std::array<uint8_t, 4> kMagic = {0x7F, 'E', 'L', 'F'};
constexpr std::size_t kIdentSize = 16;
constexpr std::size_t kClassAt = 4;
constexpr std::size_t kDataAt = 5;
constexpr std::size_t kIdentVersionAt = 6;
constexpr std::size_t kTypeAt = 16;
constexpr std::size_t kMachineAt = 18;
constexpr std::size_t kVersionAt = 20;
constexpr std::size_t kSegmentTableAt = 28;
constexpr std::size_t kSectionTableAt = 32;
constexpr std::size_t kSegmentEntrySizeAt = 42;
constexpr std::size_t kSegmentCountAt = 44;
constexpr std::size_t kSectionEntrySizeAt = 46;
constexpr std::size_t kSectionCountAt = 48;
constexpr std::size_t kHeaderSize = 52;
constexpr uint8_t kClass32 = 1;
constexpr uint8_t kClass64 = 2;
constexpr uint8_t kLittleEndian = 1;
constexpr uint8_t kBigEndian = 2;
constexpr uint32_t kCurrentVersion = 1;
constexpr uint32_t kExecutable = 2;
constexpr uint32_t kMachineAvr = 83;

// Program header (segment) and section header entries.
constexpr std::size_t kSegmentEntrySize = 32;
constexpr std::size_t kSegmentOffsetAt = 4;
constexpr std::size_t kSegmentLoadAddressAt = 12;  // the physical address
constexpr std::size_t kSegmentFileSizeAt = 16;
constexpr uint32_t kLoadSegment = 1;
constexpr std::size_t kSectionEntrySize = 40;
constexpr std::size_t kSectionTypeAt = 4;
constexpr std::size_t kSectionOffsetAt = 16;
constexpr std::size_t kSectionSizeAt = 20;
constexpr uint32_t kNullSection = 0;
constexpr uint32_t kNoBitsSection = 8;  // takes memory, not file bytes (.bss)

// avr-gcc's memories in the ELF's address space: flash from 0, the EEPROM
// from 0x810000, and spaces that only a programmer on the chip's pins
// writes. A segment's load address names its memory.
constexpr uint32_t kEepromBase = 0x810000;
constexpr uint32_t kSpaceSize = 0x10000;
struct Space {
    uint32_t base;
    const char* name;
};
constexpr std::array<Space, 4> kNotWrittenSpaces = {{
    {0x820000, ".fuse"},
    {0x830000, ".lock"},
    {0x840000, ".signature"},
    {0x850000, ".user_signatures"},
}};

const char* const kCutShort = "ERROR: ELF file cut short!\r\n";

// The file's bytes, little-endian fields read at offsets that holds() has
// found inside it.
struct ElfBytes {
    std::span<const uint8_t> file;

    bool holds(uint64_t offset, uint64_t size) const {
        return offset <= file.size() && size <= file.size() - offset;
    }
    uint32_t u16(std::size_t at) const { return file[at] | (file[at + 1] << 8); }
    uint32_t u32(std::size_t at) const { return u16(at) | (u16(at + 2) << 16); }
};

// A loadable segment's file bytes and where they load.
struct Segment {
    uint32_t offset;
    uint32_t load_address;
    uint32_t size;
};

std::string error_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string error_line(const char* format, ...) {
    std::array<char, 160> text{};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    return text.data();
}

std::string damaged(const char* what, unsigned value) {
    std::string detail = error_line(what, value);
    return error_line("ERROR: ELF file damaged (%s)!\r\n", detail.c_str());
}

// The identification bytes: a 32-bit little-endian ELF of the current version.
std::string check_identity(const ElfBytes& elf) {
    if (!elf.holds(0, kIdentSize)) return kCutShort;
    uint8_t elf_class = elf.file[kClassAt];
    uint8_t data = elf.file[kDataAt];
    if (elf_class == kClass64) return "ERROR: ELF file is 64-bit; an AVR program is a 32-bit ELF!\r\n";
    if (elf_class != kClass32) return damaged("class %u", elf_class);
    if (data == kBigEndian) return "ERROR: ELF file is big-endian; an AVR program is little-endian!\r\n";
    if (data != kLittleEndian) return damaged("byte order %u", data);
    if (elf.file[kIdentVersionAt] != kCurrentVersion) return damaged("version %u", elf.file[kIdentVersionAt]);
    return {};
}

// The header: a linked AVR program whose tables have the entry sizes of
// this format and lie inside the file.
std::string check_header(const ElfBytes& elf) {
    if (!elf.holds(0, kHeaderSize)) return kCutShort;
    if (elf.u32(kVersionAt) != kCurrentVersion) return damaged("version %u", elf.u32(kVersionAt));
    uint32_t machine = elf.u16(kMachineAt);
    if (machine != kMachineAvr)
        return error_line("ERROR: ELF file is for another machine (%u), not AVR (%u)!\r\n", machine,
                          kMachineAvr);
    if (elf.u16(kTypeAt) != kExecutable)
        return error_line("ERROR: ELF file is not a linked program (type %u)!\r\n", elf.u16(kTypeAt));
    uint32_t segments = elf.u16(kSegmentCountAt);
    uint32_t sections = elf.u16(kSectionCountAt);
    if (segments > 0 && elf.u16(kSegmentEntrySizeAt) != kSegmentEntrySize)
        return damaged("program header size %u", elf.u16(kSegmentEntrySizeAt));
    if (sections > 0 && elf.u16(kSectionEntrySizeAt) != kSectionEntrySize)
        return damaged("section header size %u", elf.u16(kSectionEntrySizeAt));
    if (!elf.holds(elf.u32(kSegmentTableAt), uint64_t{segments} * kSegmentEntrySize)) return kCutShort;
    if (!elf.holds(elf.u32(kSectionTableAt), uint64_t{sections} * kSectionEntrySize)) return kCutShort;
    return {};
}

// Every section that has file bytes has all of them in the file: the
// sections behind the loadable ones (debugging information, the symbols)
// and the section table at the end are what a cut file loses first.
std::string check_sections(const ElfBytes& elf) {
    uint32_t table = elf.u32(kSectionTableAt);
    for (uint32_t i = 0; i < elf.u16(kSectionCountAt); ++i) {
        std::size_t entry = table + i * kSectionEntrySize;
        uint32_t type = elf.u32(entry + kSectionTypeAt);
        if (type == kNullSection || type == kNoBitsSection) continue;
        if (!elf.holds(elf.u32(entry + kSectionOffsetAt), elf.u32(entry + kSectionSizeAt))) return kCutShort;
    }
    return {};
}

// The loadable segments that have file bytes, each found inside the file.
std::string collect_segments(const ElfBytes& elf, std::vector<Segment>& segments) {
    uint32_t table = elf.u32(kSegmentTableAt);
    for (uint32_t i = 0; i < elf.u16(kSegmentCountAt); ++i) {
        std::size_t entry = table + i * kSegmentEntrySize;
        Segment segment{elf.u32(entry + kSegmentOffsetAt), elf.u32(entry + kSegmentLoadAddressAt),
                        elf.u32(entry + kSegmentFileSizeAt)};
        if (elf.u32(entry) != kLoadSegment || segment.size == 0) continue;
        if (!elf.holds(segment.offset, segment.size)) return kCutShort;
        segments.push_back(segment);
    }
    return {};
}

// The index of the space not written that holds the address, or -1.
int not_written_space(uint32_t load_address) {
    for (std::size_t i = 0; i < kNotWrittenSpaces.size(); ++i)
        if (load_address - kNotWrittenSpaces[i].base < kSpaceSize) return static_cast<int>(i);
    return -1;
}

// The names of the spaces seen, in address order: ".fuse .lock".
std::string space_names(const std::array<bool, kNotWrittenSpaces.size()>& seen) {
    std::string names;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i]) continue;
        if (!names.empty()) names += ' ';
        names += kNotWrittenSpaces[i].name;
    }
    return names;
}

bool in_eeprom_space(uint32_t load_address) { return load_address - kEepromBase < kSpaceSize; }

// A segment placed in the image: its file bytes and their image address.
struct Placement {
    Segment segment;
    uint32_t address;
};

// Where the segments of the kind go in the image, and what is left out.
// Flash: every segment outside the EEPROM and the spaces not written, at
// its load address. EEPROM: the segments of the EEPROM space, from 0.
std::string place_segments(const std::vector<Segment>& segments, int kind, std::size_t image_size,
                           std::vector<Placement>& placements, std::string& left_out) {
    std::array<bool, kNotWrittenSpaces.size()> seen{};
    for (const Segment& segment : segments) {
        uint32_t address = segment.load_address;
        int space = not_written_space(address);
        if (kind == kEepromKind) {
            if (!in_eeprom_space(address)) continue;
            address -= kEepromBase;
        } else if (in_eeprom_space(address)) {
            continue;
        } else if (space >= 0) {
            seen[static_cast<std::size_t>(space)] = true;
            continue;
        }
        if (uint64_t{address} + segment.size > image_size)
            return error_line("ERROR: ELF file has data at 0x%x, beyond the %u KiB image!\r\n",
                              address >= image_size ? address : static_cast<uint32_t>(image_size),
                              static_cast<unsigned>(image_size / 1024));
        placements.push_back(Placement{segment, address});
    }
    if (placements.empty())
        return kind == kEepromKind ? "ERROR: ELF file has no EEPROM data (.eeprom section)!\r\n"
                                   : "ERROR: ELF file has no data for the flash!\r\n";
    left_out = space_names(seen);
    return {};
}

void store_placements(const ElfBytes& elf, const std::vector<Placement>& placements, MemoryImage image) {
    uint32_t lowest = UINT32_MAX;
    uint32_t highest = 0;
    for (const Placement& placement : placements) {
        auto bytes = elf.file.subspan(placement.segment.offset, placement.segment.size);
        std::copy(bytes.begin(), bytes.end(), image.bytes.begin() + placement.address);
        for (uint32_t i = 0; i < placement.segment.size; ++i) mark_stored(image, placement.address + i);
        lowest = std::min(lowest, placement.address);
        highest = std::max(highest, placement.address + placement.segment.size - 1);
    }
    set_image_range(image, lowest, highest);
}

}  // namespace

bool is_elf(std::span<const uint8_t> start) {
    return start.size() >= kMagic.size() && std::equal(kMagic.begin(), kMagic.end(), start.begin());
}

ElfReading read_elf_image(std::span<const uint8_t> file, int kind, MemoryImage image) {
    ElfBytes elf{file};
    ElfReading reading;
    std::vector<Segment> segments;
    std::vector<Placement> placements;
    reading.error = is_elf(file) ? check_identity(elf) : "ERROR: not an ELF file!\r\n";
    if (reading.error.empty()) reading.error = check_header(elf);
    if (reading.error.empty()) reading.error = check_sections(elf);
    if (reading.error.empty()) reading.error = collect_segments(elf, segments);
    if (reading.error.empty())
        reading.error = place_segments(segments, kind, image.bytes.size(), placements, reading.left_out);
    if (reading.error.empty()) store_placements(elf, placements, image);
    return reading;
}
