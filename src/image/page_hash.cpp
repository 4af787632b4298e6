// Page hashes of the image: the CRC-32 of a run of image words as the chip's
// flash holds them, to compare with what the bootloader reports of its own
// pages. The image is 0xFFFF wherever the file put nothing, as erased flash
// is, so a page outside the file's data hashes as a blank page.
#include <zlib.h>

#include <algorithm>
#include <array>

#include "image/image.h"

namespace {
// Words converted to bytes per call of the library's CRC.
constexpr uint32_t kChunkWords = 128;
}  // namespace

uint32_t image_words_crc32(uint32_t first_word, uint32_t word_count) {
    uLong crc = crc32(0L, Z_NULL, 0);
    std::array<Bytef, 2 * kChunkWords> bytes{};
    for (uint32_t done = 0; done < word_count;) {
        uint32_t n = std::min(kChunkWords, word_count - done);
        for (uint32_t i = 0; i < n; ++i) {
            uint16_t word = flash_word(first_word + done + i);
            bytes[2 * i] = static_cast<Bytef>(word & 0xFF);  // low byte at the lower address
            bytes[2 * i + 1] = static_cast<Bytef>(word >> 8);
        }
        crc = crc32(crc, bytes.data(), static_cast<uInt>(2 * n));
        done += n;
    }
    return static_cast<uint32_t>(crc);
}
