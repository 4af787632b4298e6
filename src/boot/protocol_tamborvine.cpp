// The program's own bootloader dialogue: the identification letters p, S, v,
// V and t, 'e' for the erase, the pages with their checksums ('A', 'D',
// burn_flash.cpp), the page hash 'H' and 'E' to start the application. One
// small function per command, named after what it asks; the messages and
// the verbose transcript are the dialogue's own.
#include <array>
#include <cstring>
#include <string_view>

#include "base/fatal.h"
#include "base/run_options.h"
#include "base/text.h"
#include "boot/protocol.h"
#include "console/console.h"
#include "events/events.h"
#include "serial/serial.h"

namespace {

constexpr std::size_t kReplyCapacity = 40;
using ReplyBuffer = std::array<char, kReplyCapacity>;

// Stale bytes are dropped for this many polls before most commands.
constexpr int kDrainPolls = 10;
// 'p' is sent once; its answer may take this many one-byte reads.
constexpr int kProgrammerTypeReads = 5;
constexpr int kSoftwareIdLength = 7;
constexpr int kVersionLength = 2;
constexpr int kDeviceCodeReplyLength = 2;

// The one family this dialogue writes: an ATmega128, 128 KiB of flash.
constexpr uint32_t kMega128FlashBytes = 128 * 1024;

constexpr uint8_t kPageHashCommand = 'H';
constexpr uint8_t kHashListEnd = '\r';
constexpr int kHashBytes = 4;
// A bootloader without 'H' may still be answering the request's bytes: the
// line counts as quiet after this many empty polls; the drain ends after
// the longer limit of polls and bytes dropped together, whatever comes.
constexpr int kQuietMs = 20;
constexpr int kQuietLimitMs = 1000;

void print_verbose_line(const char* line) {
    if (run_options.verbose) console_print("%s", line);
}

// The catalogue's names are padded with blanks to 16 characters.
std::string_view trimmed(std::string_view name) {
    std::size_t end = name.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view{} : name.substr(0, end + 1);
}

void send_command(uint8_t letter) {
    drain_input(kDrainPolls);
    send_byte(letter);
}

// 'H', the first device page and the page count, both high byte first.
void send_page_hash_request(uint32_t first_page, uint32_t count) {
    send_byte(kPageHashCommand);
    send_byte(static_cast<uint8_t>((first_page >> 8) & 0xFF));
    send_byte(static_cast<uint8_t>(first_page & 0xFF));
    send_byte(static_cast<uint8_t>((count >> 8) & 0xFF));
    send_byte(static_cast<uint8_t>(count & 0xFF));
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

class TamborvineProtocol final : public BootProtocol {
   public:
    Capabilities capabilities() const override { return Capabilities{.chip_erase = true, .page_hash = true}; }

    TargetIdentity identify() override {
        ask_programmer_type();
        ask_software_identifier();
        ask_hardware_version();
        ask_software_version();
        family_ = ask_device_code();
        insist_on_mega128();
        const DeviceGeometry geometry = geometry_of(family_);
        TargetIdentity target;
        target.device = trimmed(reply_.data());
        target.family = family_;
        target.flash_bytes = kMega128FlashBytes;
        target.page_bytes = 2 * kDevicePageWords;
        target.eeprom_bytes = static_cast<uint32_t>(geometry.eeprom_size);
        target.application_bytes = 2 * geometry.flash_word_limit;
        return target;
    }

    // 'e': the erase takes long, so its reply gets the larger poll budget.
    void erase() override {
        print_verbose_line("we are writing too, not only verify! Now say e (erase)\r\n");
        send_byte('e');
        reply_[0] = '\0';
        read_reply(1, reply_.data(), kEraseReplyPollLimit);
        if (reply_[0] != '\r') report_error("Sorry, device is not erased");
    }

    void write_image() override { burn_flash(family_, kWriteMode); }

    uint32_t write_pages(const std::vector<bool>& marked) override {
        return burn_changed_pages(family_, marked);
    }

    PassResult verify_image() override { return burn_flash(family_, kVerifyMode); }

    // 'H' for no pages first (once): a bootloader that knows the command
    // answers the end of the list alone; one that does not answers '?', or
    // nothing within the reply budget, and whatever else it sends is
    // drained. Then 'H' for the pages: one hash a page, then the end of
    // the list.
    Answer hash_pages(uint32_t first_page, std::vector<uint32_t>& hashes) override {
        if (!hash_known_ && !bootloader_knows_page_hash()) return Answer::not_known;
        hash_known_ = true;
        if (ask_page_hashes(first_page, hashes)) return Answer::done;
        drain_until_quiet(kQuietMs, kQuietLimitMs);
        return Answer::broke_off;
    }

    // 'p' once the line is quiet: the programmer type 'S' is the bootloader's
    // answer alone (an application echoes the 'p').
    bool bootloader_answers() override {
        drain_until_quiet(kQuietMs, kQuietLimitMs);
        send_byte('p');
        char answer[2] = {};
        return read_bytes(1, answer) == 1 && answer[0] == 'S';
    }

    // 'E': the bootloader starts the application; the reply is not examined.
    void start_application() override {
        print_verbose_line("we say E\r\n");
        send_byte('E');
        read_reply(1, reply_.data());
    }

   private:
    // 'p': the programmer type must come back as 'S' within five reads.
    void ask_programmer_type() {
        print_verbose_line("we say p\r\n");
        send_command('p');
        for (int read = 0; read < kProgrammerTypeReads; ++read) {
            int count = read_reply(1, reply_.data());
            if (run_options.verbose)
                console_print("srl cnt = %u buf[0] = %s\r\n", static_cast<unsigned>(count),
                              shown_target_bytes(std::string_view(reply_.data(), 1)).c_str());
            if (reply_[0] == 'S') return;
        }
        report_error("didn't get reply from AVR, out of sync");
    }

    // 'S': the software identifier must begin with "AVR".
    void ask_software_identifier() {
        print_verbose_line("we say S\r\n");
        send_command('S');
        read_reply(kSoftwareIdLength, reply_.data());
        if (std::strncmp(reply_.data(), "AVR", 3) != 0)
            report_error_format("Sorry, device does not reply AVR... to S, instead:%s\r\n",
                                shown_target_bytes(reply_.data()).c_str());
    }

    // 'v' and 'V': read, not examined.
    void ask_hardware_version() {
        print_verbose_line("we say v\r\n");
        send_command('v');
        read_reply(kVersionLength, reply_.data());
    }

    void ask_software_version() {
        print_verbose_line("we say V\r\n");
        send_command('V');
        read_reply(kVersionLength, reply_.data());
    }

    // 't': the first supported device code names the part; its family comes
    // back and the catalogue name replaces the reply text.
    int ask_device_code() {
        print_verbose_line("we say t\r\n");
        send_command('t');
        read_reply(kDeviceCodeReplyLength, reply_.data());
        const int code = static_cast<unsigned char>(reply_[0]);
        int family = lookup_device_code(code, reply_.data());
        Event("identify")
            .with("device_code", code)
            .with("device", trimmed(reply_.data()))
            .with("family", family)
            .write();
        return family;
    }

    void insist_on_mega128() {
        if (family_ != kMega128Family)
            report_error_format("Sorry, device is not Mega128, instead:%s\r\n",
                                shown_target_bytes(reply_.data()).c_str());
        print_verbose_line("device is Mega128\r\n");
    }

    bool bootloader_knows_page_hash() {
        print_verbose_line("we say H for no pages (is the page hash known?)\r\n");
        drain_input(kDrainPolls);
        send_page_hash_request(0, 0);
        char answer[2] = {};
        if (read_bytes(1, answer) == 1 && static_cast<uint8_t>(answer[0]) == kHashListEnd) return true;
        drain_until_quiet(kQuietMs, kQuietLimitMs);
        return false;
    }

    // Nothing is drained first: the question before it left the line quiet,
    // its answer being the end of the list alone.
    bool ask_page_hashes(uint32_t first_page, std::vector<uint32_t>& hashes) {
        if (run_options.verbose)
            console_print("we say H for pages %u to %u\r\n", static_cast<unsigned>(first_page),
                          static_cast<unsigned>(first_page + hashes.size() - 1));
        send_page_hash_request(first_page, static_cast<uint32_t>(hashes.size()));
        for (uint32_t& hash : hashes) {
            if (!read_page_hash(hash)) return false;
        }
        uint8_t end = 0;
        return read_byte_timeout(&end) == 1 && end == kHashListEnd;
    }

    ReplyBuffer reply_{};
    int family_ = 0;
    bool hash_known_ = false;  // the bootloader answered 'H' before: not asked again
};

}  // namespace

std::unique_ptr<BootProtocol> make_tamborvine_protocol() { return std::make_unique<TamborvineProtocol>(); }
