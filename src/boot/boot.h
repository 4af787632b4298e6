// Bootloader client: the download (run_download, its run order the same
// for every bootloader dialogue behind the seam of protocol.h), and the
// program's own dialogue's device catalogue and page programming with
// verification.
#pragma once

#include <cstdint>
#include <vector>

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

// A family's geometry, looked up quietly (nothing printed, nothing
// stored); all 0 for a family the catalogue does not have.
DeviceGeometry geometry_of(int family);

// ---- page programming ----

constexpr int kWriteMode = 0;
constexpr int kVerifyMode = 1;

// The message of an image that reaches past the family's flash word limit.
constexpr const char* kFlashAddressTooBig = "burn_flash() Flash address too big...";

// Words of the bundled bootloader's dialogue that its page commands
// (burn_flash) and its memory commands (the dialogue's EEPROM and read
// work) share: 'A' sets the address; a block is answered accepted, or
// "send it again".
constexpr uint8_t kSetAddressCommand = 'A';
constexpr uint8_t kAccepted = '\r';
constexpr uint8_t kSendAgain = 'N';

// What one burn_flash pass came to.
struct PassResult {
    // The whole range was gone through; false in verify mode when a
    // checksum byte did not come or there were too many errors.
    bool completed = false;
    // Serious errors (address retries, page resends, checksum mismatches),
    // as far as the pass went.
    int32_t error_count = 0;

    // A verify pass that ends like this said "SUCCESS".
    bool succeeded() const { return completed && error_count == 0; }
};

PassResult burn_flash(int family, int mode);

// The bootloader's device page: what its page hash covers, and what a page
// written at a multiple of it replaces whole.
constexpr uint32_t kDevicePageWords = 128;

// Write mode over the device pages of the application section, in order:
// a page that changed marks is written at its own start (the bootloader
// erases and programs that one device page), any other is passed over.
// One progress character a page: '.' written, '-' passed over. The same
// exchange, limits and fatal stops as burn_flash's write mode. Returns the
// number of pages written.
uint32_t burn_changed_pages(int family, const std::vector<bool>& changed);

// ---- the bootloader dialogues ----

// What a run needs of a dialogue before it speaks it: the dialogue's own
// name (an alias leads to it), and how a run reaches its bootloader unless
// the command line says otherwise.
struct ProtocolChoice {
    const char* name;
    int32_t download_rate;   // 0: the run's own default
    uint8_t reset_lines;     // kResetDtr, kResetRts: the lines reset by default
    bool wakes_application;  // -t: the bootloader is reached by the application's wake-up
};

// The dialogue a run speaks when it names none.
constexpr const char* kDefaultProtocol = "tamborvine";

// The dialogue --protocol names (or an alias of it); nullptr for none.
const ProtocolChoice* find_protocol(const char* name);

// Every name --protocol takes, for a message: "tamborvine, stk500v1 or arduino".
const char* protocol_names();

// ---- download sequence ----

// How a download ended: failed when its verify pass gave up or ended in
// FAILURE; not_written when an EEPROM pass found a bootloader that cannot
// write the EEPROM (a run asked to write it that wrote none has not
// succeeded).
enum class DownloadOutcome { succeeded, failed, not_written };

// One pass for the flash kind ('d') or the EEPROM kind ('e'): the file read
// into the image, then download_loaded_image.
DownloadOutcome run_download(int kind, const char* path);
DownloadOutcome download_loaded_image(int kind);

// ---- a reflash from the terminal ----

// How many pages the latest flash write wrote, of how many it looked at
// (the application section's with the page hash, the image's otherwise);
// whole: the erase and the write of the whole image.
struct PagesWritten {
    uint32_t written = 0;
    uint32_t of = 0;
    bool whole = false;
};
void note_pages_written(PagesWritten written);

// The flash file read, once, into an image blank before it (its "image"
// event written); a file that does not read ends with report_error.
void read_flash_file(const char* path);

// The image read last, written as a download with -w --incremental -E
// writes it: into the bootloader the way the command line says (the
// application's wake-up only when wake; a bootloader that answers where
// the application did not is taken), the pages that changed, verified,
// the application started unless the verify failed. Stops as any download
// stops (report_error).
struct ReflashOutcome {
    DownloadOutcome verified = DownloadOutcome::failed;
    PagesWritten pages;
};
ReflashOutcome reflash_target(bool wake);

// Whether the latest download left the target in its bootloader: from its
// way in (the wake-up, the reset) until 'E'; so after a verify that failed,
// a download without -E or -w, or one that stopped half way.
bool target_left_in_bootloader();

// A run without a file to download that reads the chip back: the session
// of a pass (its way into the bootloader, the identification, -E) with
// the reads alone.
DownloadOutcome run_read_back();
