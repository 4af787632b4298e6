// The STK500 version 1 subset that the small bootloaders of Arduino-class
// boards answer: every command ends with ' ' and every answer is framed by
// 0x14 (in sync) and 0x10 (done). Get-sync ("0 ") until the bootloader
// answers, with a new reset when it does not; the signature ('u'), looked up
// in the chips these bootloaders run on; load address ('U', in words, with
// the extended address byte above 128 KiB); program page and read page
// ('d', 't', memory 'F'); leave programming mode ('Q'), which starts the
// application. These bootloaders have no chip erase (each page is erased as
// it is written) and no page hash: the verify and --incremental read the
// pages back.
//
// A page goes out with its load address in one write, and the answers to
// both are read in one turn; reads take up to 256 bytes (these bootloaders
// count a read's length in one byte). Nothing more is sent ahead: while a
// page is being programmed the chip does not read its USART, which holds
// two bytes.
#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "base/fatal.h"
#include "base/run_options.h"
#include "base/wait.h"
#include "boot/protocol.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"
#include "serial/serial.h"

namespace {

// ---- the chips ----------------------------------------------------------

using Signature = std::array<uint8_t, 3>;

struct Chip {
    Signature signature;
    const char* name;
    uint32_t flash_bytes;
    uint32_t page_bytes;
    uint32_t eeprom_bytes;
    // The bootloader's section as the chip's usual board has its fuses set
    // (the smallest one its boards use): the application section lies below.
    uint32_t boot_bytes;
};

constexpr uint32_t kKiB = 1024;
// A load address carries a word address of 16 bits; above it, the
// extended address byte.
constexpr uint32_t kPlainAddressBytes = 128 * kKiB;

// clang-format off
constexpr Chip kChips[] = {
    {{0x1E, 0x93, 0x07}, "ATmega8",       8 * kKiB,  64,  512, 1 * kKiB},
    {{0x1E, 0x94, 0x06}, "ATmega168",    16 * kKiB, 128,  512, 2 * kKiB},
    {{0x1E, 0x94, 0x0B}, "ATmega168P",   16 * kKiB, 128,  512, 2 * kKiB},
    {{0x1E, 0x95, 0x14}, "ATmega328",    32 * kKiB, 128, 1024,      512},
    {{0x1E, 0x95, 0x0F}, "ATmega328P",   32 * kKiB, 128, 1024,      512},
    {{0x1E, 0x96, 0x0A}, "ATmega644P",   64 * kKiB, 256, 2048, 1 * kKiB},
    {{0x1E, 0x97, 0x02}, "ATmega128",   128 * kKiB, 256, 4096, 1 * kKiB},
    {{0x1E, 0x97, 0x03}, "ATmega1280",  128 * kKiB, 256, 4096, 4 * kKiB},
    {{0x1E, 0x97, 0x05}, "ATmega1284P", 128 * kKiB, 256, 4096, 1 * kKiB},
    {{0x1E, 0x98, 0x01}, "ATmega2560",  256 * kKiB, 256, 4096, 1 * kKiB},
};
// clang-format on

// A read asks for at most this many bytes: its length travels in one byte
// to these bootloaders (0 standing for 256).
constexpr uint32_t kLargestRead = 256;

constexpr bool chips_are_consistent() {
    for (const Chip& chip : kChips) {
        if (chip.page_bytes == 0 || chip.page_bytes > kLargestRead || kLargestRead % chip.page_bytes != 0)
            return false;
        if (chip.flash_bytes % chip.page_bytes != 0 || chip.boot_bytes % chip.page_bytes != 0) return false;
        if (chip.boot_bytes >= chip.flash_bytes) return false;
    }
    return true;
}
static_assert(chips_are_consistent(), "pages divide the flash, the boot section and a read");

const Chip* find_chip(const Signature& signature) {
    for (const Chip& chip : kChips)
        if (chip.signature == signature) return &chip;
    return nullptr;
}

std::string chip_names() {
    std::string names;
    for (const Chip& chip : kChips) {
        if (!names.empty()) names += ", ";
        names += chip.name;
    }
    return names;
}

std::string hex_bytes(std::span<const uint8_t> bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", byte);
        if (!text.empty()) text += ' ';
        text += two;
    }
    return text;
}

// ---- the wire -----------------------------------------------------------

constexpr uint8_t kGetSync = '0';
constexpr uint8_t kGetParameter = 'A';
constexpr uint8_t kEnterProgramming = 'P';
constexpr uint8_t kLeaveProgramming = 'Q';
constexpr uint8_t kLoadAddress = 'U';
constexpr uint8_t kUniversal = 'V';
constexpr uint8_t kProgramPage = 'd';
constexpr uint8_t kReadPage = 't';
constexpr uint8_t kReadSignature = 'u';
constexpr uint8_t kEndOfCommand = ' ';
constexpr uint8_t kFlashMemory = 'F';
constexpr uint8_t kInSync = 0x14;
constexpr uint8_t kDone = 0x10;
// The universal command that loads the extended address byte.
constexpr uint8_t kLoadExtendedAddress = 0x4D;
// The parameters that hold the bootloader's version.
constexpr uint8_t kMajorVersion = 0x81;
constexpr uint8_t kMinorVersion = 0x82;

// An expected answer byte that may be anything (data).
constexpr int kAnyByte = -1;

// Commands sent in one write and the answers they bring, read in one turn.
struct Exchange {
    std::vector<uint8_t> out;
    std::vector<int> expected;  // a byte, or kAnyByte

    // The command's bytes, any data after them, the end of the command; the
    // answer: in sync, answer_bytes of data, done.
    void command(std::initializer_list<uint8_t> bytes, int answer_bytes, std::span<const uint8_t> data = {}) {
        out.insert(out.end(), bytes);
        out.insert(out.end(), data.begin(), data.end());
        out.push_back(kEndOfCommand);
        expected.push_back(kInSync);
        expected.insert(expected.end(), static_cast<std::size_t>(answer_bytes), kAnyByte);
        expected.push_back(kDone);
    }
};

// How long the first byte of an answer, and each byte after it, may take:
// a page is programmed within milliseconds, and a network port adds its
// own delay; past the bootloader's second it has left anyway.
constexpr int kAnswerWaitMs = 1000;

bool answer_matches(const Exchange& exchange, const std::vector<uint8_t>& answer) {
    for (std::size_t i = 0; i < answer.size(); ++i)
        if (exchange.expected[i] != kAnyByte && exchange.expected[i] != answer[i]) return false;
    return true;
}

// ---- getting in touch -----------------------------------------------------

// After a reset the bootloader starts, flashes its LED (0.44 s on an Uno
// with its start-up delay) and then reads what waits in its USART: the
// first get-sync is given this long. Later ones, and those without a
// reset, are answered at once by a listening bootloader.
constexpr int kFirstSyncWaitMs = 1000;
constexpr int kSyncWaitMs = 300;
constexpr int kSyncAttemptsAfterReset = 3;
// Without a reset the user may be pressing the board's button: ten tries.
constexpr int kSyncAttemptsWithoutReset = 10;
// Resets in all, the run's first one among them.
constexpr int kResetsTried = 3;
// Before a get-sync, what is still arriving (an application's output, a
// late answer) is dropped until the line is quiet this long.
constexpr int kQuietMs = 20;
constexpr int kQuietLimitMs = 1000;

// A page's exchange that fails is tried again, after the bootloader is in
// sync again, while fewer than this many retries were made in the pass.
constexpr int32_t kRetryLimit = 5;
// A verify pass gives up at the first difference that takes its error
// count above this.
constexpr int32_t kVerifyErrorLimit = 5;

const char* lines_name(uint8_t lines) {
    return lines == (kResetDtr | kResetRts) ? "DTR and RTS" : lines == kResetDtr ? "DTR" : "RTS";
}

// What getting in touch tried, for the message when it found nothing.
struct Tried {
    int resets = 0;
    int attempts = 0;
    std::vector<uint8_t> last_answer;  // what came instead of the bootloader's answer
};

// One pass over pages: its name for messages and events, and its counts.
struct Pass {
    const char* name;
    int32_t retries = 0;  // exchanges sent again after the bootloader was in sync again
    int32_t errors = 0;   // the serious ones: a write's retries, a verify's pages that differ
    int32_t pages = 0;
};

void show_progress(char mark) {
    console_print("%c", mark);
    console_flush();
}

void page_event(const Pass& pass, uint32_t word_address, int32_t retries, const char* result) {
    Event("page")
        .with("pass", pass.name)
        .with("address", word_address)
        .with("retries", retries)
        .with("result", result)
        .write();
}

void pass_event(const Pass& pass, const char* result) {
    Event("pass")
        .with("pass", pass.name)
        .with("pages", pass.pages)
        .with("errors", pass.errors)
        .with("result", result)
        .write();
}

void print_verbose(const char* line) {
    if (run_options.verbose) console_print("%s", line);
}

class Stk500v1Protocol final : public BootProtocol {
   public:
    Capabilities capabilities() const override {
        return Capabilities{.read_pages = true, .verify_pages = true};
    }

    TargetIdentity identify() override {
        tried_.resets = run_options.reset_lines != 0 ? 1 : 0;  // the run's own pulse
        get_in_touch();
        if (run_options.verbose) say_version();
        TargetIdentity target;
        target.device = chip_->name;
        target.flash_bytes = chip_->flash_bytes;
        target.page_bytes = chip_->page_bytes;
        target.eeprom_bytes = chip_->eeprom_bytes;
        target.application_bytes = chip_->flash_bytes - chip_->boot_bytes;
        return target;
    }

    // Never asked (no chip_erase): each page is erased as it is written.
    void erase() override {}

    void write_image() override {
        refuse_if_too_large();
        const PageSpan span = image_pages(chip_->page_bytes);
        std::vector<bool> all(span.end, true);
        write_marked(all, span, false);
    }

    uint32_t write_pages(const std::vector<bool>& marked) override {
        return write_marked(marked, image_pages(chip_->page_bytes), true);
    }

    PassResult verify_image() override {
        refuse_if_too_large();
        const PageSpan span = image_pages(chip_->page_bytes);
        return verify_marked(std::vector<bool>(span.end, true), span);
    }

    PassResult verify_pages(const std::vector<bool>& marked) override {
        return verify_marked(marked, image_pages(chip_->page_bytes));
    }

    // One progress mark a page read.
    Answer read_pages(uint32_t first_page, uint32_t count, std::vector<uint8_t>& bytes) override {
        Pass pass{"read"};
        bytes.clear();
        for (uint32_t page = first_page; page < first_page + count;) {
            const uint32_t pages = std::min(pages_per_read(), first_page + count - page);
            const std::vector<uint8_t> chunk = read_flash(pass, page, pages);
            bytes.insert(bytes.end(), chunk.begin(), chunk.end());
            for (uint32_t i = 0; i < pages; ++i) show_progress('.');
            page += pages;
        }
        return Answer::done;
    }

    // 'Q': these bootloaders start the application (through their watchdog)
    // once they have answered; one that does not answer starts it after its
    // second anyway.
    void start_application() override {
        print_verbose("we say Q (leave programming mode)\r\n");
        Exchange exchange;
        exchange.command({kLeaveProgramming}, 0);
        std::vector<uint8_t> answer;
        run(exchange, answer, kAnswerWaitMs);
    }

    // Debian's builds of these bootloaders take every page as flash: an
    // EEPROM page would be written over the application's first pages, and
    // an EEPROM read gives the flash.
    const char* no_eeprom_reason(bool writing) const override {
        return writing
                   ? "the stk500v1 bootloaders take every page as flash, so an EEPROM page would overwrite "
                     "the application"
                   : "the stk500v1 bootloaders read every page from the flash";
    }

    // No 'Q'; but these bootloaders leave for the application after their
    // second without a byte all the same.
    void hold_application() override {
        console_print(
            "Verify failed: programming mode not left; the bootloader starts the application after its "
            "second without a command all the same\r\n");
    }

    [[noreturn]] void refuse_image(const TargetIdentity& target) override {
        report_error_format(
            "Image too large for the %s: it ends at byte 0x%05X, past the application section's %u bytes "
            "(0x00000 to 0x%05X; the bootloader's %u bytes lie above). Nothing was written.",
            chip_->name, static_cast<unsigned>(2 * HiAddr), static_cast<unsigned>(target.application_bytes),
            static_cast<unsigned>(target.application_bytes - 1), static_cast<unsigned>(chip_->boot_bytes));
    }

   private:
    // ---- exchanges ----

    // Sends the exchange's commands in one write and reads its answers;
    // false when they stop short or are not framed as expected.
    bool run(const Exchange& exchange, std::vector<uint8_t>& answer, int first_ms) {
        send_bytes(exchange.out.data(), exchange.out.size());
        answer.assign(exchange.expected.size(), 0);
        answer.resize(read_bytes_within(answer.data(), answer.size(), first_ms, kAnswerWaitMs));
        const bool whole = answer.size() == exchange.expected.size() && answer_matches(exchange, answer);
        if (!whole) tried_.last_answer = answer;
        return whole;
    }

    // run, and when the answer is wrong, in sync again and the exchange
    // once more, within the pass's retries; returns the retries it took.
    int32_t run_retrying(Pass& pass, const Exchange& exchange, std::vector<uint8_t>& answer,
                         uint32_t word_address) {
        for (int32_t retries = 0;; ++retries) {
            if (run(exchange, answer, kAnswerWaitMs)) return retries;
            if (pass.retries >= kRetryLimit)
                report_error_format(
                    "\r\nabort: the bootloader lost the %s of the page at %u %d times (got %s)", pass.name,
                    static_cast<unsigned>(word_address), kRetryLimit + 1,
                    hex_bytes(tried_.last_answer).c_str());
            ++pass.retries;
            console_print("retry count =%d \r\n", pass.retries);
            tried_ = Tried{};
            get_in_touch();
        }
    }

    // 'U' with the word address (and 'V' with the extended address byte
    // first on a chip above 128 KiB).
    void add_load_address(Exchange& exchange, uint32_t byte_address) const {
        if (chip_->flash_bytes > kPlainAddressBytes)
            exchange.command(
                {kUniversal, kLoadExtendedAddress, 0, static_cast<uint8_t>(byte_address >> 17), 0}, 1);
        const uint32_t word = (byte_address / 2) & 0xFFFF;
        exchange.command({kLoadAddress, static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)},
                         0);
    }

    // ---- getting in touch ----

    // Get-sync until the bootloader answers, then its signature; when the
    // attempts find no bootloader, a new reset and attempts again; stops
    // the run when none of it did.
    void get_in_touch() {
        for (;;) {
            const bool after_reset = run_options.reset_lines != 0;
            const int attempts = after_reset ? kSyncAttemptsAfterReset : kSyncAttemptsWithoutReset;
            for (int attempt = 0; attempt < attempts; ++attempt)
                if (ask_sync(attempt == 0 ? kFirstSyncWaitMs : kSyncWaitMs) && sign_on()) return;
            if (!after_reset || tried_.resets >= kResetsTried) fail_not_in_sync();
            reset_into_bootloader();
            ++tried_.resets;
        }
    }

    bool ask_sync(int wait_ms) {
        ++tried_.attempts;
        drain_until_quiet(kQuietMs, kQuietLimitMs);
        if (run_options.verbose) console_print("we say 0 (get-sync), attempt %d\r\n", tried_.attempts);
        Exchange exchange;
        exchange.command({kGetSync}, 0);
        std::vector<uint8_t> answer;
        return run(exchange, answer, wait_ms);
    }

    // 'P' (programming mode) and 'u' (the signature), in one turn.
    bool sign_on() {
        Exchange exchange;
        exchange.command({kEnterProgramming}, 0);
        exchange.command({kReadSignature}, 3);
        std::vector<uint8_t> answer;
        if (!run(exchange, answer, kAnswerWaitMs)) return false;
        const Signature signature{answer[3], answer[4], answer[5]};
        if (chip_ == nullptr) know_chip(signature);
        return true;
    }

    void know_chip(const Signature& signature) {
        chip_ = find_chip(signature);
        const std::string text = hex_bytes(signature);
        Event("identify").with("signature", text).with("device", chip_ ? chip_->name : nullptr).write();
        if (chip_ == nullptr)
            report_error_format(
                "Signature %s names no chip this program knows over stk500v1 (it knows the %s)", text.c_str(),
                chip_names().c_str());
        console_print("Bootloader in sync: %s, signature %s\r\n", chip_->name, text.c_str());
        if (run_options.verbose)
            console_print("flash %u bytes in pages of %u, application section %u bytes, EEPROM %u bytes\r\n",
                          static_cast<unsigned>(chip_->flash_bytes), static_cast<unsigned>(chip_->page_bytes),
                          static_cast<unsigned>(chip_->flash_bytes - chip_->boot_bytes),
                          static_cast<unsigned>(chip_->eeprom_bytes));
    }

    void say_version() {
        Exchange exchange;
        exchange.command({kGetParameter, kMajorVersion}, 1);
        exchange.command({kGetParameter, kMinorVersion}, 1);
        std::vector<uint8_t> answer;
        if (run(exchange, answer, kAnswerWaitMs))
            console_print("bootloader version %u.%u\r\n", answer[1], answer[4]);
    }

    [[noreturn]] void fail_not_in_sync() const {
        std::string tried = "Not in sync with the bootloader: no answer to get-sync at " +
                            std::to_string(run_options.download_rate) + " baud";
        if (run_options.reset_lines == 0)
            tried += " without a reset (--reset none), " + std::to_string(tried_.attempts) + " attempts";
        else
            tried += " after " + std::to_string(tried_.resets) + " resets by " +
                     lines_name(run_options.reset_lines) + ", " + std::to_string(tried_.attempts) +
                     " attempts";
        if (!tried_.last_answer.empty())
            tried += " (the last answer: " + hex_bytes(tried_.last_answer) + ", not the bootloader's 14 10)";
        tried +=
            ".\r\nUsual causes: a wrong rate (-r: 115200 for an Uno or a 1284P board, 57600 for a "
            "Duemilanove, an older Nano or a Pro Mini, 19200 for an ATmega168 board); the wrong port (-c, "
            "--list-ports); a board without the auto-reset circuit (press its reset button as the run "
            "starts, with --reset none); the board's application holding the line (its own output answered).";
        report_error(tried.c_str());
    }

    // ---- pages ----

    void refuse_if_too_large() {
        TargetIdentity target;
        target.application_bytes = chip_->flash_bytes - chip_->boot_bytes;
        if (2 * HiAddr > target.application_bytes) refuse_image(target);
    }

    uint32_t pages_per_read() const { return kLargestRead / chip_->page_bytes; }

    std::span<const uint8_t> image_page(uint32_t page) const {
        return flash_memory().bytes.subspan(static_cast<std::size_t>(page) * chip_->page_bytes,
                                            chip_->page_bytes);
    }

    // The marked pages of the span, written whole; with show_unmarked a
    // '-' for each page passed over. Returns the pages written.
    uint32_t write_marked(const std::vector<bool>& marked, PageSpan span, bool show_unmarked) {
        Pass pass{"write"};
        for (uint32_t page = span.first; page < span.end && page < marked.size(); ++page) {
            if (marked[page]) {
                write_page(pass, page);
            } else if (show_unmarked) {
                show_progress('-');
            }
        }
        pass.errors = pass.retries;
        if (run_options.verbose)
            console_print("\r\nTOTAL serious errors during write: %u\r\n",
                          static_cast<unsigned>(pass.errors));
        pass_event(pass, "written");
        return static_cast<uint32_t>(pass.pages);
    }

    void write_page(Pass& pass, uint32_t page) {
        const uint32_t byte_address = page * chip_->page_bytes;
        const std::span<const uint8_t> data = image_page(page);
        Exchange exchange;
        add_load_address(exchange, byte_address);
        exchange.command({kProgramPage, static_cast<uint8_t>(data.size() >> 8),
                          static_cast<uint8_t>(data.size() & 0xFF), kFlashMemory},
                         0, data);
        std::vector<uint8_t> answer;
        const int32_t retries = run_retrying(pass, exchange, answer, byte_address / 2);
        ++pass.pages;
        if (run_options.verbose) console_print("sent page: %u\r\n", static_cast<unsigned>(byte_address / 2));
        show_progress('.');
        page_event(pass, byte_address / 2, retries, "ok");
    }

    // count pages from page on, in one read; retried as a page write is.
    std::vector<uint8_t> read_flash(Pass& pass, uint32_t page, uint32_t count, int32_t* retries = nullptr) {
        const uint32_t bytes = count * chip_->page_bytes;
        Exchange exchange;
        add_load_address(exchange, page * chip_->page_bytes);
        const std::size_t data_at = exchange.expected.size() + 1;
        exchange.command(
            {kReadPage, static_cast<uint8_t>(bytes >> 8), static_cast<uint8_t>(bytes & 0xFF), kFlashMemory},
            static_cast<int>(bytes));
        std::vector<uint8_t> answer;
        const int32_t taken = run_retrying(pass, exchange, answer, page * chip_->page_bytes / 2);
        if (retries != nullptr) *retries = taken;
        return {answer.begin() + static_cast<std::ptrdiff_t>(data_at),
                answer.begin() + static_cast<std::ptrdiff_t>(data_at + bytes)};
    }

    // The marked pages of the span read back (consecutive ones together)
    // and compared with the image; SUCCESS or FAILURE, or given up after
    // too many differences.
    PassResult verify_marked(const std::vector<bool>& marked, PageSpan span) {
        Pass pass{"verify"};
        uint32_t page = span.first;
        while (page < span.end && page < marked.size()) {
            if (!marked[page]) {
                ++page;
                continue;
            }
            uint32_t count = 1;
            while (count < pages_per_read() && page + count < span.end && page + count < marked.size() &&
                   marked[page + count])
                ++count;
            if (!verify_read(pass, page, count)) return give_up(pass);
            page += count;
        }
        return end_verify(pass);
    }

    // false when the pass gives up.
    bool verify_read(Pass& pass, uint32_t page, uint32_t count) {
        int32_t retries = 0;
        const std::vector<uint8_t> chip = read_flash(pass, page, count, &retries);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t word_address = (page + i) * chip_->page_bytes / 2;
            if (run_options.verbose) console_print("check page: %u\r\n", static_cast<unsigned>(word_address));
            ++pass.pages;
            const std::span<const uint8_t> on_chip(chip.data() + i * chip_->page_bytes, chip_->page_bytes);
            const bool same = std::ranges::equal(on_chip, image_page(page + i));
            page_event(pass, word_address, retries, same ? "ok" : "differs");
            if (same) {
                show_progress('.');
                continue;
            }
            ++pass.errors;
            console_print("\r\nerror at page: %u\r\n", static_cast<unsigned>(word_address));
            if (run_options.verbose) show_difference(page + i, on_chip);
            if (pass.errors > kVerifyErrorLimit) return false;
        }
        return true;
    }

    void show_difference(uint32_t page, std::span<const uint8_t> on_chip) const {
        const std::span<const uint8_t> image = image_page(page);
        const auto at = std::ranges::mismatch(on_chip, image);
        const std::size_t offset = static_cast<std::size_t>(at.in1 - on_chip.begin());
        console_print("first difference at byte 0x%05X: chip %02X, image %02X\r\n",
                      static_cast<unsigned>(page * chip_->page_bytes + offset), *at.in1, *at.in2);
    }

    PassResult give_up(const Pass& pass) {
        console_print("too many errors, bailing out\r\n");
        pass_event(pass, "gave up");
        return PassResult{false, pass.errors};
    }

    PassResult end_verify(const Pass& pass) {
        if (run_options.verbose)
            console_print("\r\nTOTAL serious errors during verify: %u\r\n",
                          static_cast<unsigned>(pass.errors));
        console_print(pass.errors == 0 ? "\r\nSUCCESS\r\n" : "\r\nFAILURE\r\n");
        pass_event(pass, pass.errors == 0 ? "SUCCESS" : "FAILURE");
        return PassResult{true, pass.errors};
    }

    const Chip* chip_ = nullptr;
    Tried tried_;
};

}  // namespace

std::unique_ptr<BootProtocol> make_stk500v1_protocol() { return std::make_unique<Stk500v1Protocol>(); }
