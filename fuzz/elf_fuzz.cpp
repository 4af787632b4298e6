// Fuzz target for the ELF reader: any bytes as an ELF file, read for both
// kinds. The reader must not crash or read past the file; a refused file
// stores nothing, and a file it takes leaves a range that holds what it
// stored. What it took is then written as Intel HEX and parsed back by the
// HEX reader's record parser, which must give the same memory.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "image/image.h"

namespace {

std::vector<uint8_t> memory(2 * kFlashWords);

void check_written_hex(std::span<const uint8_t> image) {
    std::string text = hex_text(image);
    std::vector<uint8_t> back(image.size(), 0xFF);
    hex_base_address = 0;
    hex_error = kHexOk;
    HexRecordData data{};
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) std::abort();
        uint32_t address = 0;
        uint8_t count = parse_hex_record(std::string_view(text).substr(start, end - start), data, &address);
        if (hex_error != kHexOk || address + count > back.size()) std::abort();
        std::copy(data.begin(), data.begin() + count, back.begin() + address);
        start = end + 2;
    }
    if (!std::equal(back.begin(), back.end(), image.begin())) std::abort();
}

}  // namespace

// The record parser's warnings are not wanted on the fuzzer's screen;
// libFuzzer reports on standard error.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int kind : {kFlashKind, kEepromKind}) {
        std::fill(memory.begin(), memory.end(), 0xFF);
        uint32_t low = 0;
        uint32_t high = 0;
        ElfReading reading = read_elf_image({data, size}, kind, MemoryImage{memory, &low, &high});
        auto first = std::find_if(memory.begin(), memory.end(), [](uint8_t b) { return b != 0xFF; });
        if (!reading.error.empty()) {
            if (low != 0 || high != 0 || !reading.left_out.empty() || !reading.error.ends_with("!\r\n"))
                std::abort();
            continue;
        }
        if (low >= high || high > kFlashWords) std::abort();
        if (first != memory.end() && static_cast<uint32_t>(first - memory.begin()) >> 1 < low) std::abort();
        check_written_hex(memory);
    }
    return 0;
}
