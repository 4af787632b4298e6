// The incremental write (--incremental): the bootloader reports the CRC-32
// of each device page (a dialogue that can: Capabilities::page_hash), and
// only the pages of the application section whose hash differs from the
// image's are written, each as one whole device page that the bootloader
// erases and programs. Pages outside the image are blank in it, so a page
// of an older, longer image is written blank: the chip ends as the erase
// and the full write would leave it. After the write the hashes of the
// whole section are asked again: a page the first list misjudged is covered
// by nothing else. A bootloader that does not know the page hash gets the
// erase and the full write.
//
// A dialogue without a page hash that reads pages back (read_pages) has
// the image's own pages read once and compared byte for byte: reading the
// whole application section would cost more than writing a small image.
// Those pages are written as they differ; what lies beyond the image stays
// as it is, as the full write of such a dialogue leaves it.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "boot/protocol.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"

namespace {

// The image's bytes of one device page, in the order they lie in the
// chip's flash.
std::vector<uint8_t> image_page_bytes(uint32_t page, uint32_t page_bytes) {
    std::vector<uint8_t> bytes(page_bytes);
    for (uint32_t i = 0; i < page_bytes / 2; ++i) {
        uint16_t word = flash_word(page * page_bytes / 2 + i);
        bytes[2 * i] = static_cast<uint8_t>(word & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(word >> 8);
    }
    return bytes;
}

// The page hash of the image: zlib's CRC-32 (reflected, polynomial
// 0xEDB88320, initial and final value 0xFFFFFFFF) of a device page's bytes.
// The image is 0xFFFF wherever the file put nothing, as erased flash is.
uint32_t image_page_hash(uint32_t page, uint32_t page_bytes) {
    const std::vector<uint8_t> bytes = image_page_bytes(page, page_bytes);
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
        changed[page] = chip[page] != image_page_hash(page, target.page_bytes);
        if (changed[page]) ++*differ;
    }
    return changed;
}

uint32_t first_marked(const std::vector<bool>& marked) {
    uint32_t page = 0;
    while (page < marked.size() && !marked[page]) ++page;
    return page;
}

void report_written(uint32_t written, uint32_t of) {
    note_pages_written({written, of, false});
    console_print("\r\nFlash Download finished\r\n");
    console_print("Pages written: %u of %u\r\n", static_cast<unsigned>(written), static_cast<unsigned>(of));
}

// Marks the pages of the span whose bytes on the chip (read from the
// span's first page on) differ from the image's; returns how many do.
uint32_t mark_differing_pages(PageSpan span, const std::vector<uint8_t>& chip, uint32_t page_bytes,
                              std::vector<bool>& marked) {
    marked.assign(span.end, false);
    uint32_t differ = 0;
    for (uint32_t page = span.first; page < span.end; ++page) {
        const std::vector<uint8_t> image = image_page_bytes(page, page_bytes);
        marked[page] =
            !std::equal(image.begin(), image.end(),
                        chip.begin() + static_cast<std::ptrdiff_t>((page - span.first) * page_bytes));
        if (marked[page]) ++differ;
    }
    return differ;
}

// The image's pages read back, compared, and those that differ written.
bool write_pages_read_back(BootProtocol& protocol, const TargetIdentity& target, std::vector<bool>& written) {
    const PageSpan span = image_pages(target.page_bytes);
    std::vector<uint8_t> chip;
    console_print("Reading back %u pages\r\n", static_cast<unsigned>(span.end - span.first));
    if (protocol.read_pages(span.first, span.end - span.first, chip) != Answer::done) {
        console_print("\r\nRead-back broke off: writing the whole image\r\n");
        Event("pages_read").with("result", "broke off").write();
        return false;
    }
    const uint32_t differ = mark_differing_pages(span, chip, target.page_bytes, written);
    console_print("\r\nPages compared: %u of %u differ\r\n", static_cast<unsigned>(differ),
                  static_cast<unsigned>(span.end - span.first));
    Event("pages_read")
        .with("result", "compared")
        .with("pages", span.end - span.first)
        .with("differ", differ)
        .write();
    report_written(protocol.write_pages(written), span.end - span.first);
    return true;
}

}  // namespace

PageSpan image_pages(uint32_t page_bytes) {
    if (HiAddr <= LoAddr || page_bytes == 0) return {};
    return {2 * LoAddr / page_bytes, (2 * HiAddr + page_bytes - 1) / page_bytes};
}

bool write_changed_pages(BootProtocol& protocol, const TargetIdentity& target, std::vector<bool>& written) {
    const Capabilities can = protocol.capabilities();
    if (!can.page_hash && can.read_pages && target.page_bytes != 0)
        return write_pages_read_back(protocol, target, written);
    if (!can.page_hash || target.page_bytes == 0) return no_page_hashes(Answer::not_supported);
    std::vector<uint32_t> chip(target.application_bytes / target.page_bytes);
    Answer answer = protocol.hash_pages(0, chip);
    if (answer != Answer::done) return no_page_hashes(answer);
    console_print("Page hashes compared\r\n");
    uint32_t differ = 0;
    std::vector<bool> changed = pages_that_differ(chip, target, &differ);
    Event("page_hashes").with("result", "compared").with("pages", chip.size()).with("differ", differ).write();
    report_written(protocol.write_pages(changed), static_cast<uint32_t>(chip.size()));
    written = std::move(changed);
    return true;
}

bool written_pages_hold_the_image(BootProtocol& protocol, const TargetIdentity& target) {
    if (!protocol.capabilities().page_hash || target.page_bytes == 0) return true;
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
