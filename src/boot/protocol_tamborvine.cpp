// The program's own bootloader dialogue: the identification letters p, S, v,
// V and t, 'e' for the erase, the pages with their checksums ('A', 'D',
// burn_flash.cpp), the page hash 'H', the memory commands ('G' reads flash
// pages, 'X' reads EEPROM blocks, 'W' after 'A' writes EEPROM bytes) and
// 'E' to start the application. One small function per command, named
// after what it asks; the messages and the verbose transcript are the
// dialogue's own.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
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

// The memory commands: 'G' and 'X' answer blocks of 256 bytes, each
// followed by its CRC-32; 'W' writes up to a block of EEPROM bytes from the
// address 'A' set.
constexpr uint8_t kFlashReadCommand = 'G';
constexpr uint8_t kEepromReadCommand = 'X';
constexpr uint8_t kEepromWriteCommand = 'W';
constexpr uint32_t kBlockBytes = 256;
// A block that comes damaged, or a range that breaks off, is asked for
// again from where it broke, this many times in one read.
constexpr int kReadRetryLimit = 5;
// An EEPROM block answered 'N' is sent again this many times.
constexpr int kEepromResendLimit = 5;
// A block read starts within this, and its bytes follow each other within
// the gap; the bootloader copies a page to SRAM (128 us) before it sends it,
// and a network port or a busy machine adds its own delays.
constexpr int kFirstByteMs = 1000;
constexpr int kByteGapMs = 1000;
// After a broken block the bootloader is still sending the rest of the
// range: the line must have been quiet this long before the rest is asked
// for, and the drain may take the rest's time on the wire twice over, and
// a second more.
constexpr int kReadQuietMs = 100;
constexpr int kReadDrainMarginMs = 1000;
constexpr int kBitsPerByte = 10;
// 'W' answers once its bytes are written: up to 8.5 ms each on the chip,
// then read back; the wait allows each more than twice that (a board whose
// clock is slower, a port on another machine), and the line's delay.
constexpr int kEepromByteMs = 20;
constexpr int kEepromAnswerMarginMs = 2000;

// A request for a range: the command, then the first block and the block
// count, both high byte first, in one write.
void send_range_request(uint8_t command, uint32_t first, uint32_t count) {
    const uint8_t request[] = {command, static_cast<uint8_t>((first >> 8) & 0xFF),
                               static_cast<uint8_t>(first & 0xFF), static_cast<uint8_t>((count >> 8) & 0xFF),
                               static_cast<uint8_t>(count & 0xFF)};
    send_bytes(request, sizeof request);
}

uint32_t big_endian(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

uint32_t crc_of(std::span<const uint8_t> bytes) {
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

// One block of a 'G' or 'X' answer, whole and as its CRC-32 says.
bool read_block(std::array<uint8_t, kBlockBytes + kHashBytes>& block) {
    if (read_bytes_within(block.data(), block.size(), kFirstByteMs, kByteGapMs) != block.size()) return false;
    return crc_of(std::span(block).first(kBlockBytes)) == big_endian(block.data() + kBlockBytes);
}

void show_progress() {
    console_print(".");
    console_flush();
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
    Capabilities capabilities() const override {
        return Capabilities{.chip_erase = true,
                            .page_hash = true,
                            .read_pages = true,
                            .write_eeprom = true,
                            .read_eeprom = true};
    }

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
        erase_in_place_ = true;
        return target;
    }

    // 'e': the erase takes long, so its reply gets the larger poll budget.
    // The bootloader takes it only right after the identification: after
    // the memory commands (a read-back) 'V' and 't' are asked again.
    void erase() override {
        if (!erase_in_place_) ask_again_for_the_erase();
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

    // 'G' for the device pages (a page is a block of 256 bytes).
    Answer read_pages(uint32_t first_page, uint32_t count, std::vector<uint8_t>& bytes) override {
        if (!bootloader_knows_memory()) return Answer::not_known;
        return read_blocks(kFlashReadCommand, first_page, count, bytes);
    }

    // 'X' for the blocks that hold the bytes.
    Answer read_eeprom(uint32_t address, uint32_t count, std::vector<uint8_t>& bytes) override {
        if (!bootloader_knows_memory()) return Answer::not_known;
        const uint32_t first = address / kBlockBytes;
        const uint32_t end = (address + count + kBlockBytes - 1) / kBlockBytes;
        return read_blocks(kEepromReadCommand, first, end - first, bytes);
    }

    // 'A' and 'W' for each block's worth of bytes.
    Answer write_eeprom(uint32_t address, std::span<const uint8_t> bytes) override {
        if (!bootloader_knows_memory()) return Answer::not_known;
        for (std::size_t done = 0; done < bytes.size(); done += kBlockBytes) {
            write_eeprom_block(address + static_cast<uint32_t>(done),
                               bytes.subspan(done, std::min<std::size_t>(kBlockBytes, bytes.size() - done)));
            show_progress();
        }
        return Answer::done;
    }

    const char* no_eeprom_reason(bool) const override {
        return "the bootloader does not know the memory commands (a build from before them)";
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
        send_range_request(kPageHashCommand, 0, 0);
        char answer[2] = {};
        if (read_bytes(1, answer) == 1 && static_cast<uint8_t>(answer[0]) == kHashListEnd) return true;
        drain_until_quiet(kQuietMs, kQuietLimitMs);
        return false;
    }

    void ask_again_for_the_erase() {
        ask_software_version();
        print_verbose_line("we say t\r\n");
        send_command('t');
        read_reply(kDeviceCodeReplyLength, reply_.data());
    }

    // 'X' for no blocks, asked once: a bootloader that knows the memory
    // commands answers the end of the list alone; an older one '?' (or
    // nothing), and what else it sends is drained.
    bool bootloader_knows_memory() {
        erase_in_place_ = false;
        if (memory_known_) return *memory_known_;
        print_verbose_line("we say X for no blocks (are the memory commands known?)\r\n");
        drain_input(kDrainPolls);
        send_range_request(kEepromReadCommand, 0, 0);
        char answer[2] = {};
        memory_known_ = read_bytes(1, answer) == 1 && static_cast<uint8_t>(answer[0]) == kAccepted;
        if (!*memory_known_) drain_until_quiet(kQuietMs, kQuietLimitMs);
        return *memory_known_;
    }

    // The blocks from first on, each checked by its CRC-32; where the
    // answer breaks off or a block comes damaged, the line is left to fall
    // quiet and the rest is asked for again.
    Answer read_blocks(uint8_t command, uint32_t first, uint32_t count, std::vector<uint8_t>& bytes) {
        bytes.clear();
        const uint32_t end = first + count;
        for (int retries = 0;; ++retries) {
            const uint32_t from = first + static_cast<uint32_t>(bytes.size() / kBlockBytes);
            if (run_options.verbose)
                console_print("we say %c for blocks %u to %u\r\n", command, static_cast<unsigned>(from),
                              static_cast<unsigned>(end - 1));
            send_range_request(command, from, end - from);
            if (read_block_list(from, end, bytes)) return Answer::done;
            drain_the_rest(end - from);
            if (retries == kReadRetryLimit) return Answer::broke_off;
            console_print("\r\nread again from block %u\r\n",
                          static_cast<unsigned>(first + bytes.size() / kBlockBytes));
        }
    }

    void drain_the_rest(uint32_t blocks) {
        const int64_t wire_ms = int64_t{blocks} * (kBlockBytes + kHashBytes) * kBitsPerByte * 1000 /
                                std::max<int32_t>(run_options.download_rate, 1);
        drain_until_quiet(kReadQuietMs, static_cast<int>(2 * wire_ms + kReadDrainMarginMs));
    }

    // Appends each good block; true when all came and the list ended.
    bool read_block_list(uint32_t from, uint32_t end, std::vector<uint8_t>& bytes) {
        std::array<uint8_t, kBlockBytes + kHashBytes> block{};
        for (uint32_t b = from; b < end; ++b) {
            if (!read_block(block)) return false;
            bytes.insert(bytes.end(), block.begin(), block.begin() + kBlockBytes);
            show_progress();
        }
        uint8_t list_end = 0;
        return read_bytes_within(&list_end, 1, kFirstByteMs, kByteGapMs) == 1 && list_end == kHashListEnd;
    }

    // 'A' with the EEPROM byte address, then right after it 'W', the count,
    // the bytes and the CRC-32 of the address, the count and the bytes; 'N'
    // has the block sent again, from its 'A'.
    void write_eeprom_block(uint32_t address, std::span<const uint8_t> bytes) {
        for (int resends = 0;; ++resends) {
            set_eeprom_address(address);
            const uint8_t answer = send_eeprom_block(address, bytes);
            if (answer == kAccepted) return;
            if (answer != kSendAgain)
                report_error_format("\r\nabort: EEPROM block at 0x%03X answered 0x%02X instead of 0x0d",
                                    static_cast<unsigned>(address), static_cast<unsigned>(answer));
            if (resends == kEepromResendLimit)
                report_error("\r\nabort: EEPROM programming retry count exhausted");
            console_print("retry count =%d \r\n", resends + 1);
        }
    }

    void set_eeprom_address(uint32_t address) {
        const uint8_t request[] = {kSetAddressCommand, static_cast<uint8_t>((address >> 8) & 0xFF),
                                   static_cast<uint8_t>(address & 0xFF)};
        send_bytes(request, sizeof request);
        uint8_t answer = 0;
        if (read_byte_timeout(&answer) == 0 || answer != kAccepted)
            report_error_format("\r\nabort: EEPROM address 0x%03X not taken", static_cast<unsigned>(address));
    }

    // Returns the bootloader's answer once it has written the bytes.
    uint8_t send_eeprom_block(uint32_t address, std::span<const uint8_t> bytes) {
        std::vector<uint8_t> out = {
            static_cast<uint8_t>((address >> 8) & 0xFF), static_cast<uint8_t>(address & 0xFF),
            static_cast<uint8_t>(bytes.size() >> 8), static_cast<uint8_t>(bytes.size() & 0xFF)};
        out.insert(out.end(), bytes.begin(), bytes.end());
        const uint32_t crc = crc_of(out);
        out.erase(out.begin(), out.begin() + 2);  // the address went with 'A'
        out.insert(out.begin(), kEepromWriteCommand);
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>((crc >> shift) & 0xFF));
        send_bytes(out.data(), out.size());
        if (run_options.verbose)
            console_print("sent EEPROM block: 0x%03X, %u bytes\r\n", static_cast<unsigned>(address),
                          static_cast<unsigned>(bytes.size()));
        const int wait_ms = static_cast<int>(bytes.size()) * kEepromByteMs + kEepromAnswerMarginMs;
        uint8_t answer = 0;
        if (read_bytes_within(&answer, 1, wait_ms, wait_ms) == 0)
            report_error("\r\nabort: read char time-out EEPROM block program completion");
        return answer;
    }

    // Nothing is drained first: the question before it left the line quiet,
    // its answer being the end of the list alone.
    bool ask_page_hashes(uint32_t first_page, std::vector<uint32_t>& hashes) {
        if (run_options.verbose)
            console_print("we say H for pages %u to %u\r\n", static_cast<unsigned>(first_page),
                          static_cast<unsigned>(first_page + hashes.size() - 1));
        send_range_request(kPageHashCommand, first_page, static_cast<uint32_t>(hashes.size()));
        for (uint32_t& hash : hashes) {
            if (!read_page_hash(hash)) return false;
        }
        uint8_t end = 0;
        return read_byte_timeout(&end) == 1 && end == kHashListEnd;
    }

    ReplyBuffer reply_{};
    int family_ = 0;
    std::optional<bool> memory_known_;
    bool erase_in_place_ = false;  // nothing came between the identification and the erase
    bool hash_known_ = false;      // the bootloader answered 'H' before: not asked again
};

}  // namespace

std::unique_ptr<BootProtocol> make_tamborvine_protocol() { return std::make_unique<TamborvineProtocol>(); }
