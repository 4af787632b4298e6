// The incremental write (--incremental): the bootloader reports the CRC-32
// of each device page (a dialogue that can: Capabilities::page_hash), and
// only the pages of the application section whose hash differs from the
// image's are written, each as one whole device page that the bootloader
// erases and programs. Pages outside the image are blank in it, so a page
// of an older, longer image is written blank: the chip ends as the erase
// and the full write would leave it. A bootloader that does not know the
// page hash gets the erase and the full write.
#include <zlib.h>

#include <array>
#include <cstdint>
#include <vector>

#include "boot/protocol.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"

namespace {

// The page hash of the image: zlib's CRC-32 (reflected, polynomial
// 0xEDB88320, initial and final value 0xFFFFFFFF) of a device page's words,
// each low byte first, the order they lie in the chip's flash. The image is
// 0xFFFF wherever the file put nothing, as erased flash is.
uint32_t image_page_hash(uint32_t page, uint32_t page_words) {
    std::vector<Bytef> bytes(2 * page_words);
    for (uint32_t i = 0; i < page_words; ++i) {
        uint16_t word = flash_word(page * page_words + i);
        bytes[2 * i] = static_cast<Bytef>(word & 0xFF);
        bytes[2 * i + 1] = static_cast<Bytef>(word >> 8);
    }
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

// Why the chip's page hashes cannot be had: said, and the erase and the
// full write follow.
bool no_page_hashes(Answer answer) {
    const bool broke_off = answer == Answer::broke_off;
    console_print(broke_off ? "Page hash list broke off: erasing and writing the whole image\r\n"
                            : "Bootloader knows no page hash: erasing and writing the whole image\r\n");
    Event("page_hashes").with("result", broke_off ? "broke off" : "not known").write();
    return false;
}

// The pages whose hash in the chip differs from the image's.
std::vector<bool> pages_that_differ(const std::vector<uint32_t>& chip, const TargetIdentity& target,
                                    uint32_t* differ) {
    std::vector<bool> changed(chip.size());
    *differ = 0;
    for (uint32_t page = 0; page < chip.size(); ++page) {
        changed[page] = chip[page] != image_page_hash(page, target.page_bytes / 2);
        if (changed[page]) ++*differ;
    }
    return changed;
}

uint32_t first_marked(const std::vector<bool>& marked) {
    uint32_t page = 0;
    while (page < marked.size() && !marked[page]) ++page;
    return page;
}

}  // namespace

bool write_changed_pages(BootProtocol& protocol, const TargetIdentity& target) {
    if (!protocol.capabilities().page_hash || target.page_bytes == 0)
        return no_page_hashes(Answer::not_supported);
    std::vector<uint32_t> chip(target.application_bytes / target.page_bytes);
    Answer answer = protocol.hash_pages(0, chip);
    if (answer != Answer::done) return no_page_hashes(answer);
    console_print("Page hashes compared\r\n");
    uint32_t differ = 0;
    std::vector<bool> changed = pages_that_differ(chip, target, &differ);
    Event("page_hashes").with("result", "compared").with("pages", chip.size()).with("differ", differ).write();
    uint32_t written = protocol.write_pages(changed);
    console_print("\r\nFlash Download finished\r\n");
    console_print("Pages written: %u of %u\r\n", static_cast<unsigned>(written),
                  static_cast<unsigned>(chip.size()));
    return true;
}

bool written_pages_hold_the_image(BootProtocol& protocol, const TargetIdentity& target) {
    std::vector<uint32_t> chip(target.application_bytes / target.page_bytes);
    uint32_t differ = static_cast<uint32_t>(chip.size());
    std::vector<bool> wrong(chip.size(), true);
    if (protocol.hash_pages(0, chip) == Answer::done) wrong = pages_that_differ(chip, target, &differ);
    Event("page_hashes").with("result", "checked").with("pages", chip.size()).with("differ", differ).write();
    if (differ == 0) {
        console_print("Page hashes checked\r\n");
        return true;
    }
    console_print(
        "Page hashes after the write: %u of %u pages differ from the image (the first: page %u)\r\n",
        static_cast<unsigned>(differ), static_cast<unsigned>(chip.size()),
        static_cast<unsigned>(first_marked(wrong)));
    console_print("\r\nFAILURE\r\n");
    Event("pass")
        .with("pass", "verify")
        .with("pages", chip.size())
        .with("errors", differ)
        .with("result", "FAILURE")
        .write();
    return false;
}
