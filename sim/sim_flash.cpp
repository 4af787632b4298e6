// The simulated flash: loading and dumping it, the page checksum and the
// page hash, and page writes as the bootloader makes them.
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "sim/target.h"

bool Flash::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > 2 * kWords) return false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        uint16_t& w = words_[i / 2];
        uint8_t b = static_cast<uint8_t>(bytes[i]);
        w = (i % 2 == 0) ? static_cast<uint16_t>((w & 0xFF00) | b)
                         : static_cast<uint16_t>((w & 0x00FF) | (b << 8));
    }
    return true;
}

bool Flash::dump(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (uint16_t w : words_) {
        out.put(static_cast<char>(w & 0xFF));
        out.put(static_cast<char>(w >> 8));
    }
    return static_cast<bool>(out);
}

void Flash::erase_application() {
    for (uint32_t a = 0; a < kBootSectionWord; ++a) words_[a] = kBlank;
}

bool Flash::page_blank(uint32_t page) const {
    for (uint32_t i = 0; i < kPageWords; ++i)
        if (word(page * kPageWords + i) != kBlank) return false;
    return true;
}

// Seeding with the start address means a page that landed at the wrong
// address never checks out. Words past the application section, up to the
// end of the 128 words, count as blank.
std::array<uint8_t, 4> Flash::checksum(uint16_t start) const {
    uint16_t sum = start;
    uint16_t exclusive_or = start;
    for (uint32_t i = 0; i < kPageWords; ++i) {
        uint16_t w = word(uint32_t{start} + i);
        sum = static_cast<uint16_t>(sum + w);
        exclusive_or ^= w;
    }
    return {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum),
            static_cast<uint8_t>(exclusive_or >> 8), static_cast<uint8_t>(exclusive_or)};
}

uint32_t Flash::page_crc(uint32_t page) const {
    std::array<Bytef, 2 * kPageWords> bytes{};
    for (uint32_t i = 0; i < kPageWords; ++i) {
        uint16_t w = word(page * kPageWords + i);
        bytes[2 * i] = static_cast<Bytef>(w & 0xFF);  // flash holds the low byte first
        bytes[2 * i + 1] = static_cast<Bytef>(w >> 8);
    }
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes.data(), bytes.size()));
}

Flash::WriteCost Flash::write_host_page(uint16_t start, const std::array<uint16_t, kPageWords>& words) {
    WriteCost cost;
    uint32_t first_page = start / kPageWords;
    uint32_t last_page = (uint32_t{start} + kPageWords - 1) / kPageWords;
    for (uint32_t page = first_page; page <= last_page; ++page) {
        if (page >= kApplicationPages) break;
        bool was_blank = page_blank(page);
        bool changed = false;
        for (uint32_t i = 0; i < kPageWords; ++i) {
            uint32_t address = page * kPageWords + i;
            uint32_t offset = address - start;  // wraps for addresses below start
            if (offset >= kPageWords) continue;
            changed |= words_[address] != words[offset];
            words_[address] = words[offset];
        }
        if (!changed) continue;
        ++cost.programmed;
        if (!was_blank) ++cost.erased;
    }
    return cost;
}
