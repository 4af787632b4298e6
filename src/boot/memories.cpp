// The memories beyond the flash write: the EEPROM pass (the EEPROM image
// written where its file has data, then read back and compared) and the
// read-back of the flash and the EEPROM into Intel HEX files. The dialogue
// does the exchanges (protocol.h); what is written, compared and said is
// decided here, the same for every dialogue.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/fatal.h"
#include "base/files.h"
#include "base/run_options.h"
#include "boot/protocol.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"

namespace {

// The EEPROM goes in pieces of at most a block, each within one block of
// the EEPROM, so that a progress mark is a block and a piece never spans
// two blocks' read-back.
constexpr uint32_t kEepromBlockBytes = 256;
// A verify pass gives up at the first block with a difference that takes
// its error count above this, as the flash verify does.
constexpr int32_t kVerifyErrorLimit = 5;

// A stretch of addresses the EEPROM file put bytes at, one past its end.
struct Stretch {
    uint32_t first = 0;
    uint32_t end = 0;
};

// The stretches of the file's data, in address order, each cut where a
// block of the EEPROM ends.
std::vector<Stretch> stored_pieces(const MemoryImage& image) {
    std::vector<Stretch> pieces;
    const std::span<const uint8_t> stored = image.stored;
    for (uint32_t a = 0; a < stored.size(); ++a) {
        if (stored[a] == 0) continue;
        const bool continues = !pieces.empty() && pieces.back().end == a && a % kEepromBlockBytes != 0;
        if (continues)
            ++pieces.back().end;
        else
            pieces.push_back({a, a + 1});
    }
    return pieces;
}

void eeprom_not_written(const char* reason) {
    console_print("EEPROM not written: %s\r\n", reason);
    Event("eeprom").with("pass", "write").with("result", "not written").with("reason", reason).write();
}

// A file with data the target's EEPROM cannot hold is refused before any
// of it is written.
void refuse_beyond_the_eeprom(const std::vector<Stretch>& pieces, const TargetIdentity& target) {
    const uint32_t end = pieces.back().end;
    if (end <= target.eeprom_bytes) return;
    report_error_format(
        "EEPROM file has data up to byte 0x%X, past the %u bytes of EEPROM of the %s: nothing was written to "
        "the EEPROM",
        static_cast<unsigned>(end - 1), static_cast<unsigned>(target.eeprom_bytes), target.device.c_str());
}

// false when the bootloader turned out not to know the EEPROM commands
// (said); any other failure ends the run in the dialogue.
bool write_pieces(BootProtocol& protocol, const std::vector<Stretch>& pieces, uint32_t& bytes) {
    const std::span<const uint8_t> image = eeprom_memory().bytes;
    bytes = 0;
    for (const Stretch& piece : pieces) {
        const Answer answer =
            protocol.write_eeprom(piece.first, image.subspan(piece.first, piece.end - piece.first));
        if (answer != Answer::done) {
            eeprom_not_written(protocol.no_eeprom_reason(true));
            return false;
        }
        bytes += piece.end - piece.first;
    }
    return true;
}

// The blocks that hold the pieces read back, each piece compared.
struct EepromVerify {
    int32_t errors = 0;
    bool completed = false;
};

EepromVerify compare_pieces(const std::vector<Stretch>& pieces, uint32_t first_block,
                            const std::vector<uint8_t>& chip) {
    EepromVerify verify{0, true};
    const std::span<const uint8_t> image = eeprom_memory().bytes;
    for (const Stretch& piece : pieces) {
        const uint32_t at = first_block * kEepromBlockBytes;
        const auto on_chip = chip.begin() + (piece.first - at);
        const auto differs = std::mismatch(image.begin() + piece.first, image.begin() + piece.end, on_chip);
        if (differs.first == image.begin() + piece.end) continue;
        ++verify.errors;
        const auto address = static_cast<unsigned>(differs.first - image.begin());
        console_print("\r\nerror at EEPROM byte: 0x%03X (chip %02X, file %02X)\r\n", address, *differs.second,
                      *differs.first);
        if (verify.errors > kVerifyErrorLimit) {
            console_print("too many errors, bailing out\r\n");
            verify.completed = false;
            return verify;
        }
    }
    return verify;
}

DownloadOutcome verify_eeprom(BootProtocol& protocol, const std::vector<Stretch>& pieces) {
    console_print("Verify EEPROM.\r\n");
    const uint32_t first_block = pieces.front().first / kEepromBlockBytes;
    const uint32_t end_block = (pieces.back().end + kEepromBlockBytes - 1) / kEepromBlockBytes;
    std::vector<uint8_t> chip;
    EepromVerify verify;
    const Answer read = protocol.read_eeprom(first_block * kEepromBlockBytes,
                                             (end_block - first_block) * kEepromBlockBytes, chip);
    if (read == Answer::done && chip.size() >= (end_block - first_block) * kEepromBlockBytes)
        verify = compare_pieces(pieces, first_block, chip);
    else
        console_print("\r\nabort: EEPROM read-back broke off\r\n");
    const char* result = !verify.completed ? "gave up" : verify.errors == 0 ? "SUCCESS" : "FAILURE";
    if (verify.completed) console_print(verify.errors == 0 ? "\r\nSUCCESS\r\n" : "\r\nFAILURE\r\n");
    Event("eeprom")
        .with("pass", "verify")
        .with("blocks", end_block - first_block)
        .with("errors", verify.errors)
        .with("result", result)
        .write();
    return verify.completed && verify.errors == 0 ? DownloadOutcome::succeeded : DownloadOutcome::failed;
}

// ---- read-back ----

constexpr const char* kReadsNotKnown =
    "the bootloader does not know the memory commands (a build from before them)";

// A memory as the console and the events name it.
struct Memory {
    const char* shown;
    const char* event;
};
constexpr Memory kFlash{"Flash", "flash"};
constexpr Memory kEeprom{"EEPROM", "eeprom"};

[[noreturn]] void memory_not_read(Memory memory, const char* reason) {
    report_error_format("%s not read: %s; nothing was written", memory.shown, reason);
}

void write_read_back(Memory memory, const char* path, std::span<const uint8_t> bytes) {
    int error = 0;
    if (!write_hex_file(path, bytes, &error))
        report_error_format("Cannot write %s: %s; nothing was written to the chip", path,
                            file_error_text(error));
    console_print("\r\n%s read into %s\r\n", memory.shown, path);
    Event("read")
        .with("memory", memory.event)
        .with("file", path)
        .with("bytes", bytes.size())
        .with("result", "written")
        .write();
}

void read_flash_into(BootProtocol& protocol, const TargetIdentity& target, const char* path) {
    if (!protocol.capabilities().read_pages || target.page_bytes == 0)
        memory_not_read(kFlash, "this bootloader's dialogue cannot read pages back");
    const uint32_t pages = target.application_bytes / target.page_bytes;
    console_print("Reading flash: %u pages\r\n", static_cast<unsigned>(pages));
    std::vector<uint8_t> bytes;
    const Answer answer = protocol.read_pages(0, pages, bytes);
    if (answer == Answer::not_known) memory_not_read(kFlash, kReadsNotKnown);
    if (answer != Answer::done || bytes.size() != pages * target.page_bytes)
        memory_not_read(kFlash, "the read-back broke off");
    write_read_back(kFlash, path, bytes);
}

void read_eeprom_into(BootProtocol& protocol, const TargetIdentity& target, const char* path) {
    if (!protocol.capabilities().read_eeprom) memory_not_read(kEeprom, protocol.no_eeprom_reason(false));
    console_print("Reading EEPROM: %u bytes\r\n", static_cast<unsigned>(target.eeprom_bytes));
    std::vector<uint8_t> bytes;
    const Answer answer = protocol.read_eeprom(0, target.eeprom_bytes, bytes);
    if (answer == Answer::not_known) memory_not_read(kEeprom, kReadsNotKnown);
    if (answer != Answer::done || bytes.size() < target.eeprom_bytes)
        memory_not_read(kEeprom, "the read-back broke off");
    write_read_back(kEeprom, path, std::span(bytes).first(target.eeprom_bytes));
}

}  // namespace

DownloadOutcome write_eeprom_image(BootProtocol& protocol, const TargetIdentity& target) {
    const std::vector<Stretch> pieces = stored_pieces(eeprom_memory());
    if (pieces.empty()) return DownloadOutcome::succeeded;  // the readers refuse a file without data
    refuse_beyond_the_eeprom(pieces, target);
    if (!protocol.capabilities().write_eeprom) {
        eeprom_not_written(protocol.no_eeprom_reason(true));
        return DownloadOutcome::not_written;
    }
    uint32_t bytes = 0;
    if (!write_pieces(protocol, pieces, bytes)) return DownloadOutcome::not_written;
    console_print("\r\nEEPROM Download finished\r\n");
    Event("eeprom")
        .with("pass", "write")
        .with("bytes", bytes)
        .with("blocks", pieces.size())
        .with("result", "written")
        .write();
    return verify_eeprom(protocol, pieces);
}

void read_memories_into_files(BootProtocol& protocol, const TargetIdentity& target) {
    if (run_options.read_flash_file != nullptr)
        read_flash_into(protocol, target, run_options.read_flash_file);
    if (run_options.read_eeprom_file != nullptr)
        read_eeprom_into(protocol, target, run_options.read_eeprom_file);
}
