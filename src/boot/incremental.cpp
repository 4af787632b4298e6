// The incremental write (--incremental): tamborvine's own bootloader reports
// the CRC-32 of each device page ('H'), and only the pages of the
// application section whose hash differs from the image's are written, each
// as one whole device page that the bootloader erases and programs. Pages
// outside the image are blank in it, so a page of an older, longer image is
// written blank: the chip ends as the erase and the full write would leave
// it. A bootloader that does not know 'H' gets the erase and the full write.
#include <zlib.h>

#include <array>
#include <cstdint>
#include <vector>

#include "base/run_options.h"
#include "boot/boot.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"
#include "serial/serial.h"

namespace {

constexpr uint8_t kPageHashCommand = 'H';
constexpr uint8_t kHashListEnd = '\r';
constexpr int kHashBytes = 4;
// Stale bytes are dropped for this many polls before the question, as
// before the identification commands.
constexpr int kDrainPolls = 10;
// A bootloader without 'H' may still be answering the request's bytes: the
// line counts as quiet after this many empty polls; the drain ends after
// the longer limit of polls and bytes dropped together, whatever comes.
constexpr int kQuietPolls = 20;
constexpr int kQuietLimitPolls = 1000;

void say(const char* line) {
    if (run_options.verbose) console_print("%s", line);
}

// 'H', the first device page and the page count, both high byte first.
void send_page_hash_request(uint32_t first_page, uint32_t count) {
    send_byte(kPageHashCommand);
    send_byte(static_cast<uint8_t>((first_page >> 8) & 0xFF));
    send_byte(static_cast<uint8_t>(first_page & 0xFF));
    send_byte(static_cast<uint8_t>((count >> 8) & 0xFF));
    send_byte(static_cast<uint8_t>(count & 0xFF));
}

void drain_until_quiet() {
    int quiet = 0;
    for (int polls = 0; polls < kQuietLimitPolls && quiet < kQuietPolls; ++polls) {
        uint8_t dropped = 0;
        if (byte_waiting() && read_byte(&dropped) == 1) {
            quiet = 0;
            continue;
        }
        ++quiet;
        sleep_ms(1);
    }
}

// 'H' for no pages: a bootloader that knows the command answers the end of
// the list alone; one that does not answers '?', or nothing within the
// reply budget, and whatever else it sends is drained.
bool bootloader_knows_page_hash() {
    say("we say H for no pages (is the page hash known?)\r\n");
    drain_input(kDrainPolls);
    send_page_hash_request(0, 0);
    char reply[2] = {};
    if (read_bytes(1, reply) == 1 && static_cast<uint8_t>(reply[0]) == kHashListEnd) return true;
    drain_until_quiet();
    return false;
}

// The page hash of the image: zlib's CRC-32 (reflected, polynomial
// 0xEDB88320, initial and final value 0xFFFFFFFF) of a device page's words,
// each low byte first, the order they lie in the chip's flash. The image is
// 0xFFFF wherever the file put nothing, as erased flash is.
uint32_t image_page_hash(uint32_t page) {
    std::array<Bytef, 2 * kDevicePageWords> bytes{};
    for (uint32_t i = 0; i < kDevicePageWords; ++i) {
        uint16_t word = flash_word(page * kDevicePageWords + i);
        bytes[2 * i] = static_cast<Bytef>(word & 0xFF);
        bytes[2 * i + 1] = static_cast<Bytef>(word >> 8);
    }
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

// Four bytes, most significant first.
bool read_page_hash(uint32_t& hash) {
    hash = 0;
    for (int i = 0; i < kHashBytes; ++i) {
        uint8_t byte = 0;
        if (read_byte_timeout(&byte) == 0) return false;
        hash = (hash << 8) | byte;
    }
    return true;
}

// 'H' for every page of the application section: one hash a page, then the
// end of the list. false when the list broke off or did not end where it
// should. Nothing is drained first: the question before it left the line
// quiet, its answer being the end of the list alone.
bool ask_page_hashes(std::vector<uint32_t>& hashes) {
    if (run_options.verbose)
        console_print("we say H for pages 0 to %u\r\n", static_cast<unsigned>(hashes.size() - 1));
    send_page_hash_request(0, static_cast<uint32_t>(hashes.size()));
    for (uint32_t& hash : hashes) {
        if (!read_page_hash(hash)) return false;
    }
    uint8_t end = 0;
    return read_byte_timeout(&end) == 1 && end == kHashListEnd;
}

}  // namespace

bool write_changed_pages(int family) {
    if (!bootloader_knows_page_hash()) {
        console_print("Bootloader knows no page hash: erasing and writing the whole image\r\n");
        Event("page_hashes").with("result", "not known").write();
        return false;
    }
    std::vector<uint32_t> chip(flash_word_limit_of(family) / kDevicePageWords);
    if (!ask_page_hashes(chip)) {
        drain_until_quiet();
        console_print("Page hash list broke off: erasing and writing the whole image\r\n");
        Event("page_hashes").with("result", "broke off").write();
        return false;
    }
    console_print("Page hashes compared\r\n");
    std::vector<bool> changed(chip.size());
    uint32_t differ = 0;
    for (uint32_t page = 0; page < chip.size(); ++page) {
        changed[page] = chip[page] != image_page_hash(page);
        if (changed[page]) ++differ;
    }
    Event("page_hashes").with("result", "compared").with("pages", chip.size()).with("differ", differ).write();
    uint32_t written = burn_changed_pages(family, changed);
    console_print("\r\nFlash Download finished\r\n");
    console_print("Pages written: %u of %u\r\n", static_cast<unsigned>(written),
                  static_cast<unsigned>(chip.size()));
    return true;
}
