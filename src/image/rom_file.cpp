// The one place a flash or EEPROM file is opened. Its first bytes decide
// the reader: the ELF magic sends it to the ELF reader, anything else is
// read as Intel HEX, as it always was. Either way a refused file ends the
// run with its ERROR line before anything is sent.
#include "image/rom_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/fatal.h"
#include "base/text.h"
#include "console/console.h"
#include "image/image.h"

namespace {

// An ELF of an AVR program, debugging information and all, is a few
// megabytes; a larger file is refused rather than read into memory.
constexpr std::size_t kElfFileLimit = std::size_t{64} << 20;

RomFile rom_file;  // one read at a time; the readers are not reentrant

[[noreturn]] void abort_elf_translation(const std::string& error_line) {
    console_print("%s", error_line.c_str());
    report_error("<<TRANSLATION ABORTED>>\r\n");
}

// Appends what the chunk holds and the rest of the file; false when the
// file is larger than the limit.
bool read_whole(RomFile& file, std::vector<uint8_t>& bytes) {
    for (;;) {
        bytes.insert(bytes.end(), file.chunk.begin() + file.next, file.chunk.begin() + file.end);
        file.next = file.end;
        if (bytes.size() > kElfFileLimit) return false;
        if (!refill_rom_file(file)) return true;
    }
}

int translate_elf_file(RomFile& file, int kind, MemoryImage image) {
    std::vector<uint8_t> bytes;
    bool whole = read_whole(file, bytes);
    int read_error = file.read_error;
    close_rom_file(file);
    if (!whole) abort_elf_translation("ERROR: ELF file larger than 64 MiB!\r\n");
    if (read_error != 0) {
        report_system_text(file, "reading", read_error);
        abort_elf_translation("ERROR: Could not read ELF file!\r\n");
    }
    ElfReading reading = read_elf_image(bytes, kind, image);
    if (!reading.error.empty()) abort_elf_translation(reading.error);
    if (!reading.left_out.empty())
        console_print("Not written (a bootloader cannot write them): %s\r\n", reading.left_out.c_str());
    console_print("LoAddr =  %x    HiAddr =  %x\r\n", *image.low_word, *image.high_word);
    console_print("Translation complete!\r\n");
    return 1;
}

}  // namespace

// Binary: the HEX reader itself drops the CRs and stops at Ctrl-Z, on every
// system alike, and an ELF is bytes.
bool open_rom_file(RomFile& file, const char* path) {
    check_pending_signal();
    errno = 0;
    file.path = path;
    file.stream = std::fopen(path, "rb");
    int open_error = errno;
    if (file.stream == nullptr && open_error == EINTR) check_pending_signal();
    file.next = file.end = 0;
    file.ended = false;
    file.read_error = 0;
    errno = open_error;
    return file.stream != nullptr;
}

void close_rom_file(RomFile& file) {
    if (file.stream != nullptr) std::fclose(file.stream);
    file.stream = nullptr;
}

bool refill_rom_file(RomFile& file) {
    if (file.ended) return false;
    for (;;) {
        errno = 0;
        std::size_t n = std::fread(file.chunk.data(), 1, file.chunk.size(), file.stream);
        if (n > 0) {
            file.next = 0;
            file.end = n;
            return true;
        }
        if (std::ferror(file.stream) && errno == EINTR) {
            std::clearerr(file.stream);
            check_pending_signal();
            continue;
        }
        if (std::ferror(file.stream)) file.read_error = errno != 0 ? errno : EIO;
        file.ended = true;
        return false;
    }
}

void report_system_text(const RomFile& file, const char* doing, int error) {
    end_open_line();
    std::fflush(stdout);
    std::fprintf(stderr, "tamborvine: %s %s: %s\n", doing, shown_target_bytes(file.path).c_str(),
                 std::strerror(error));
}

int read_rom_file(int kind, const char* path, MemoryImage image) {
    if (kind != kFlashKind && kind != kEepromKind)
        report_error_format("Error! read_rom_file: bad type (0x%x)!\r\n", static_cast<unsigned>(kind));
    RomFile& file = rom_file;
    if (!open_rom_file(file, path)) {
        // The system's reason tells a missing file from one that may not
        // be read, which the error line alone does not.
        report_system_text(file, "opening", errno);
        hex_error = kHexNotFound;
        abort_hex_translation();
    }
    refill_rom_file(file);  // the first bytes tell an ELF from a HEX file
    std::span<const uint8_t> start(reinterpret_cast<const uint8_t*>(file.chunk.data()), file.end);
    if (is_elf(start)) return translate_elf_file(file, kind, image);
    if (load_hex_records(file, image) != 1) abort_hex_translation();
    console_print("Translation complete!\r\n");
    return 1;
}
