// Bootloader client: the download dialogue, the device catalogue and page
// programming with verification.
#pragma once

#include <cstdint>

// ---- device catalogue ----

struct DeviceLetters {
    char device_id;
    char flash_size;
    char page_size;
    char eeprom_size;
};

struct DeviceGeometry {
    uint32_t flash_word_limit;
    int32_t page_size;    // bytes
    int32_t eeprom_size;  // bytes
};

extern DeviceLetters device_letters;
extern DeviceGeometry device_geometry;

constexpr int kMega128Family = 128;

// Copies the 16-character name (and NUL) into name, which holds at least 17
// bytes; returns the family number (0 for none).
int lookup_device_code(int code, char* name);
void set_device_family(int family);
void decode_device_letters();

// The flash word limit of a family, looked up quietly (nothing printed,
// nothing stored); 0 for a family without one.
uint32_t flash_word_limit_of(int family);

// ---- page programming ----

constexpr int kWriteMode = 0;
constexpr int kVerifyMode = 1;

// The message of an image that reaches past the family's flash word limit.
constexpr const char* kFlashAddressTooBig = "burn_flash() Flash address too big...";

// 1 when the whole range was gone through; 0 in verify mode when a checksum
// byte did not come or there were too many errors.
int burn_flash(int family, int mode);

// Serious errors (address retries, page resends, checksum mismatches) of the
// last burn_flash pass, as far as it went.
extern int32_t burn_flash_error_count;

// ---- download sequence ----

// One pass for the flash kind (100) or the EEPROM kind (101).
void run_download(int kind, const char* path);

// Verify passes that did not end in SUCCESS, including those that gave up
// (for -q's exit status).
extern int failed_verify_passes;
