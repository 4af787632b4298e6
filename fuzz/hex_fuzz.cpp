// Fuzz target for the HEX reader: any bytes as a HEX file, read through the
// same path as a real file. The reader must not crash, read past a buffer
// or hang, and what it reports must be consistent with what it stored.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "image/image.h"

namespace {
int hex_fd = -1;
char hex_path[64];
}  // namespace

// The reader's own lines (the range, its warnings) are not wanted on the
// fuzzer's screen; libFuzzer reports on standard error. A fatal stop of the
// reader ends the process, which libFuzzer reports as a failure.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    hex_fd = memfd_create("hex", 0);
    if (hex_fd < 0) std::abort();
    std::snprintf(hex_path, sizeof hex_path, "/proc/self/fd/%d", hex_fd);
    create_flash_image();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (ftruncate(hex_fd, 0) != 0) std::abort();
    if (size > 0 && pwrite(hex_fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

    hex_error = kHexOk;
    LoAddr = HiAddr = 0;
    int result = load_hex_file(hex_path, flash_memory());
    if ((result == 1) != (hex_error == kHexOk)) std::abort();
    if (HiAddr != 0 && (LoAddr >= HiAddr || HiAddr > kFlashWords)) std::abort();

    // The parser alone, on a line that need not end in a line feed.
    hex_error = kHexOk;
    HexRecordData record{};
    uint32_t address = 0;
    std::string_view line(reinterpret_cast<const char*>(data),
                          size < kHexLineCapacity ? size : kHexLineCapacity - 1);
    uint8_t count = parse_hex_record(line, record, &address);
    if (count != 0 && hex_error != kHexOk) std::abort();
    if (2u * count + 11 > line.size()) {
        if (count != 0) std::abort();
    }
    return 0;
}
