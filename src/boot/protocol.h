// The seam between the download's run order (download.cpp) and a
// bootloader's dialogue: one object per dialogue, its state its own, behind
// one interface. The run order reads the same whatever the dialogue:
// identify, erase, write, verify, start; the optional parts (a page hash,
// reading pages back, the EEPROM) are asked for by what the dialogue says
// it can do, up front. A dialogue is one file (protocol_NAME.cpp) and one
// row of the table that chooses it (protocols.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "boot/boot.h"

// What the target is, as its bootloader told it.
struct TargetIdentity {
    std::string device;              // its name, as the catalogue gives it
    int family = 0;                  // the catalogue's family number
    uint32_t flash_bytes = 0;        // the whole flash
    uint32_t page_bytes = 0;         // the device page: what one page write replaces whole
    uint32_t eeprom_bytes = 0;       //
    uint32_t application_bytes = 0;  // the flash an image may fill; the bootloader's section lies above
};

// What a dialogue can ask of its bootloader, known before anything is asked.
// A bootloader may still turn a question down (an older build of it).
struct Capabilities {
    bool chip_erase = false;    // erase; without it each page is erased as it is written
    bool page_hash = false;     // hash_pages
    bool read_pages = false;    // read_pages
    bool verify_pages = false;  // verify_pages
    bool write_eeprom = false;  // write_eeprom
    bool read_eeprom = false;   // read_eeprom
};

// How an optional question went.
enum class Answer : uint8_t {
    done,
    not_supported,  // the dialogue has no such question (Capabilities says so too)
    not_known,      // this bootloader does not know it
    broke_off,      // the answer stopped short or did not end where it should
};

class BootProtocol {
   public:
    BootProtocol() = default;
    BootProtocol(const BootProtocol&) = delete;
    BootProtocol& operator=(const BootProtocol&) = delete;
    virtual ~BootProtocol() = default;

    virtual Capabilities capabilities() const = 0;

    // Gets the bootloader's attention (it is listening at the download rate)
    // and asks what the target is. A target this program cannot write, or a
    // bootloader out of sync, ends the run with the dialogue's own message.
    virtual TargetIdentity identify() = 0;

    // Erases the application's flash; ends the run when the bootloader
    // does not say it did. Only asked of a dialogue that has chip_erase.
    virtual void erase() = 0;

    // Writes the image's range, in the dialogue's own paging.
    virtual void write_image() = 0;

    // Writes the marked device pages (page p: bytes p * page_bytes on),
    // each whole, over what they hold; the others are passed over. Returns
    // the number of pages written.
    virtual uint32_t write_pages(const std::vector<bool>& marked) = 0;

    // Verifies the image's range against the target's flash: SUCCESS or
    // FAILURE said, or the pass given up.
    virtual PassResult verify_image() = 0;

    // The CRC-32 (zlib's) of each device page from first_page on, one per
    // entry of hashes.
    virtual Answer hash_pages(uint32_t first_page, std::vector<uint32_t>& hashes);

    // The bytes of count device pages from first_page on.
    virtual Answer read_pages(uint32_t first_page, uint32_t count, std::vector<uint8_t>& bytes);

    // Verifies only the marked device pages, as verify_image does the
    // range: SUCCESS or FAILURE said, or the pass given up. Only asked of a
    // dialogue that has verify_pages.
    virtual PassResult verify_pages(const std::vector<bool>& marked);

    // Writes the bytes into the EEPROM from address on, each cell only where
    // it does not hold its byte already; a block damaged on the line is
    // sent again within the dialogue's limits. One progress mark a block.
    virtual Answer write_eeprom(uint32_t address, std::span<const uint8_t> bytes);

    // The EEPROM's count bytes from address on (whole blocks of the
    // dialogue's own size). One progress mark a block.
    virtual Answer read_eeprom(uint32_t address, uint32_t count, std::vector<uint8_t>& bytes);

    // Whether a bootloader answers at the rate the port is at, asked
    // quietly (nothing shown) after the application did not answer the
    // wake-up: a board left in its bootloader is told apart from one that
    // does not answer at all. false for a dialogue that cannot tell.
    virtual bool bootloader_answers();

    // Leaves the bootloader for the application.
    virtual void start_application() = 0;

    // Why this dialogue cannot write (or read) the EEPROM, for the line
    // that says nothing was written (or read): asked of a dialogue without
    // write_eeprom (or read_eeprom).
    virtual const char* no_eeprom_reason(bool writing) const;

    // After a verify that failed, instead of start_application: says that
    // the application is not started and what becomes of the board (the
    // program's own bootloader stays, ready for another download).
    virtual void hold_application();

    // Stops the run for an image that reaches past the application section
    // (asked before anything is erased or written), in the dialogue's own
    // words.
    [[noreturn]] virtual void refuse_image(const TargetIdentity& target);
};

// --incremental's write, after the identification: when the bootloader
// knows the page hash, writes the pages of the application section whose
// hash differs from the image's; when it can read pages back instead,
// reads the image's pages and writes those that differ. Either way without
// an erase, marking in written the pages it wrote, and returns true; else
// says so in one line and returns false with nothing written, for the
// erase and the full write to follow (incremental.cpp).
bool write_changed_pages(BootProtocol& protocol, const TargetIdentity& target, std::vector<bool>& written);

// After write_changed_pages by page hashes: the hashes of the whole
// application section asked again and compared with the image's. true when
// every page holds the image ("Page hashes checked"); else the pages that
// differ are said and the pass ends in FAILURE, as a verify pass would (a
// list that does not come counts as every page differing). A dialogue
// without page hashes compared pages read back, which its verify reads
// again: nothing is asked, true.
bool written_pages_hold_the_image(BootProtocol& protocol, const TargetIdentity& target);

// The device pages the image's range touches, from first to one past the
// last; none for an empty image.
struct PageSpan {
    uint32_t first = 0;
    uint32_t end = 0;
};
PageSpan image_pages(uint32_t page_bytes);

// ---- the memories beyond the flash write (memories.cpp) ----

// The EEPROM pass after its identification: the EEPROM image written where
// its file has data, then verified (SUCCESS or FAILURE); a file with data
// beyond the target's EEPROM is refused before anything is written. A
// bootloader that cannot write the EEPROM gets nothing: one line says so
// and why, and the pass counts as not written.
DownloadOutcome write_eeprom_image(BootProtocol& protocol, const TargetIdentity& target);

// --read-flash and --read-eeprom, after the first identification of the
// run and before anything is written: what the chip holds (the flash's
// application section, the whole EEPROM) into Intel HEX files, each whole
// or not at all. A memory the bootloader cannot read, or a file that cannot
// be written, ends the run before anything is written.
void read_memories_into_files(BootProtocol& protocol, const TargetIdentity& target);

// The dialogue of that name (the dialogue's own, from find_protocol);
// nullptr for a name no dialogue has.
std::unique_ptr<BootProtocol> make_protocol(const char* name);

// The pulse of --reset on the lines the run resets by (download.cpp), and
// its event: a dialogue whose bootloader lost sync resets it again.
void reset_into_bootloader();

// ---- the dialogues ----

// The program's own dialogue, as its bootloader (firmware/) answers it:
// p S v V t, e, pages with their checksums by 'A' and 'D', 'H', 'E'.
std::unique_ptr<BootProtocol> make_tamborvine_protocol();

// The STK500 version 1 subset that the small bootloaders of Arduino-class
// boards answer: get-sync, the signature, load address, program and read
// page, leave programming mode.
std::unique_ptr<BootProtocol> make_stk500v1_protocol();
