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
    // does not say it did.
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

    // Verifies only the marked device pages.
    virtual Answer verify_pages(const std::vector<bool>& marked);

    // The EEPROM's bytes from address on.
    virtual Answer write_eeprom(uint32_t address, const std::vector<uint8_t>& bytes);
    virtual Answer read_eeprom(uint32_t address, uint32_t count, std::vector<uint8_t>& bytes);

    // Leaves the bootloader for the application.
    virtual void start_application() = 0;
};

// --incremental's write, after the identification: when the bootloader
// knows the page hash, writes the pages of the application section whose
// hash differs from the image's, without an erase, and returns true; else
// says so in one line and returns false with nothing written, for the
// erase and the full write to follow (incremental.cpp).
bool write_changed_pages(BootProtocol& protocol, const TargetIdentity& target);

// After write_changed_pages: the page hashes of the whole application
// section asked again and compared with the image's. true when every page
// holds the image ("Page hashes checked"); else the pages that differ are
// said and the pass ends in FAILURE, as a verify pass would (a list that
// does not come counts as every page differing).
bool written_pages_hold_the_image(BootProtocol& protocol, const TargetIdentity& target);

// The dialogue a run speaks when it names none.
constexpr const char* kDefaultProtocol = "tamborvine";

// The dialogue of that name; nullptr for a name no dialogue has.
std::unique_ptr<BootProtocol> make_protocol(const char* name);

// ---- the dialogues ----

// The program's own dialogue, as its bootloader (firmware/) answers it:
// p S v V t, e, pages with their checksums by 'A' and 'D', 'H', 'E'.
std::unique_ptr<BootProtocol> make_tamborvine_protocol();
