// Page programming and verification: the image goes to the bootloader one
// page at a time, each page guarded by a four-byte checksum seeded with the
// page's start address; verification asks the bootloader for the checksum
// of what its flash holds and compares. The incremental write sends whole
// device pages through the same exchange, only those that changed.
#include <array>
#include <vector>

#include "base/fatal.h"
#include "base/run_options.h"
#include "base/text.h"
#include "boot/boot.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"
#include "serial/serial.h"

namespace {

// A wrong answer to 'A' is retried while fewer than this many retries (of
// either kind) were made in the pass; a page resend ('N') likewise.
constexpr uint16_t kAddressRetryLimit = 3;
constexpr uint16_t kPageResendLimit = 5;
// A verify pass gives up at the first mismatch that takes its error count
// above this.
constexpr int32_t kVerifyErrorLimit = 5;

constexpr uint8_t kPageCommand = 'D';
constexpr uint8_t kWriteLetter = 'k';
constexpr uint8_t kVerifyLetter = 'l';
constexpr uint16_t kFillerWord = 0xFFFF;

using PageChecksum = std::array<uint8_t, 4>;

// One call of burn_flash: nothing of it survives the call.
struct Pass {
    bool write_mode = true;
    uint32_t current_address = 0;
    int32_t words_per_page = 0;
    uint16_t retry_counter = 0;  // address retries and page resends together
    int32_t error_count = 0;     // retries, resends and mismatches
    int32_t pages = 0;           // pages begun
};

enum class PageOutcome { done, again, give_up };

// What goes to the bootloader before it answers, gathered into one write:
// a page and its checksum leave in one system call instead of one per
// byte, and the bytes and their order on the line are the same.
class Outgoing {
   public:
    void add(uint8_t byte) {
        if (length_ == bytes_.size()) send();
        bytes_[length_++] = byte;
    }

    // Failures are reported by the port and not looked at here, as for
    // single bytes.
    void send() {
        send_bytes(bytes_.data(), length_);
        length_ = 0;
    }

   private:
    std::array<uint8_t, 512> bytes_{};  // the largest page (256 bytes) and its frame
    std::size_t length_ = 0;
};

const char* pass_name(const Pass& pass) { return pass.write_mode ? "write" : "verify"; }

// 'A' with the page start, until the bootloader acknowledges it; a wrong
// answer is retried within the shared limit, silence ends the run. Returns
// the number of retries it took.
int set_page_address(Pass& pass, uint32_t page_start) {
    for (int retries = 0;; ++retries) {
        Outgoing out;
        out.add(kSetAddressCommand);
        out.add(static_cast<uint8_t>((page_start >> 8) & 0xFF));
        out.add(static_cast<uint8_t>(page_start & 0xFF));
        out.send();
        uint8_t reply = 0;
        if (read_byte_timeout(&reply) == 0)
            report_error("\r\nabort: read char time-out flash word program completion");
        if (reply == kAccepted) return retries;
        if (pass.retry_counter >= kAddressRetryLimit)
            report_error("\r\nabort: flash address retry count exhausted");
        ++pass.retry_counter;
        ++pass.error_count;
    }
}

// 'D' and the mode letter twice, then (in write mode) the page's words, low
// byte first. Words past HiAddr are filler; the word at HiAddr itself is
// taken from the image. Returns the page checksum of the image.
PageChecksum send_page(Pass& pass, uint32_t page_start, Outgoing& out) {
    const uint8_t letter = pass.write_mode ? kWriteLetter : kVerifyLetter;
    out.add(kPageCommand);
    out.add(letter);
    out.add(letter);
    uint16_t sum = static_cast<uint16_t>(page_start);
    uint16_t exclusive_or = static_cast<uint16_t>(page_start);
    for (int32_t i = 0; i < pass.words_per_page; ++i) {
        uint16_t word = kFillerWord;
        if (pass.current_address <= HiAddr) word = flash_word(pass.current_address++);
        if (pass.write_mode) {
            out.add(static_cast<uint8_t>(word & 0xFF));
            out.add(static_cast<uint8_t>(word >> 8));
        }
        sum = static_cast<uint16_t>(sum + word);
        exclusive_or = static_cast<uint16_t>(exclusive_or ^ word);
    }
    return {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum & 0xFF),
            static_cast<uint8_t>(exclusive_or >> 8), static_cast<uint8_t>(exclusive_or & 0xFF)};
}

void show_progress(char mark = '.') {
    console_print("%c", mark);
    console_flush();
}

// Write mode: the checksum goes out and the bootloader accepts the page or
// asks for it again.
PageOutcome finish_written_page(Pass& pass, uint32_t page_start, const PageChecksum& checksum,
                                Outgoing& out) {
    for (uint8_t byte : checksum) out.add(byte);
    out.send();
    if (run_options.verbose) console_print("sent page: %u\r\n", static_cast<unsigned>(page_start));
    uint8_t reply = 0;
    if (read_byte_timeout(&reply) == 0)
        report_error("\r\nabort: read char time-out flash word program completion\r\n");
    if (reply == kAccepted) {
        show_progress();
        return PageOutcome::done;
    }
    if (reply == kSendAgain) {
        if (pass.retry_counter >= kPageResendLimit)
            report_error("\r\nabort: flash programming retry count exhausted");
        ++pass.retry_counter;
        console_print("retry count =%d \r\n", pass.retry_counter);
        ++pass.error_count;
        return PageOutcome::again;
    }
    console_print("\r\nfail OK to send anaother page character\r\n");
    console_print("abort: wrong character received\r\n");
    const char reply_byte = static_cast<char>(reply);
    report_error_format("got 0x%x (%s)  wanted (0x0d) \r\n", static_cast<unsigned>(reply),
                        shown_target_bytes(std::string_view(&reply_byte, 1)).c_str());
}

void show_checksums(const PageChecksum& sent, const PageChecksum& received) {
    console_print("csum sent = ");
    for (uint8_t byte : sent) console_print("%2x ", byte);
    console_print("\r\ncsum recv = ");
    for (uint8_t byte : received) console_print("%2x ", byte);
    console_print("\r\n");
}

// Verify mode: the bootloader sends the checksum of its own flash page.
PageOutcome finish_verified_page(Pass& pass, uint32_t page_start, const PageChecksum& computed,
                                 Outgoing& out) {
    out.send();
    if (run_options.verbose) console_print("check page: %u\r\n", static_cast<unsigned>(page_start));
    PageChecksum received{};
    for (uint8_t& byte : received) {
        if (read_byte_timeout(&byte) == 0) {
            console_print("\r\nabort: read char time-out flash verify completion\r\n");
            return PageOutcome::give_up;
        }
    }
    if (received == computed) {
        show_progress();
        return PageOutcome::done;
    }
    ++pass.error_count;
    console_print("\r\nerror at page: %u\r\n", static_cast<unsigned>(page_start));
    if (run_options.verbose) show_checksums(computed, received);
    if (pass.error_count > kVerifyErrorLimit) {
        console_print("too many errors, bailing out\r\n");
        return PageOutcome::give_up;
    }
    if (run_options.verbose) console_print("retry count =%d \r\n", pass.error_count);
    return PageOutcome::again;
}

// One page, repeated from its start until it is done; false when the pass
// gives up.
bool do_page(Pass& pass) {
    const uint32_t page_start = pass.current_address;
    for (int retries = 0;; ++retries) {
        retries += set_page_address(pass, page_start);
        Outgoing out;
        PageChecksum checksum = send_page(pass, page_start, out);
        PageOutcome outcome = pass.write_mode ? finish_written_page(pass, page_start, checksum, out)
                                              : finish_verified_page(pass, page_start, checksum, out);
        if (outcome != PageOutcome::again) {
            Event("page")
                .with("pass", pass_name(pass))
                .with("address", page_start)
                .with("retries", retries)
                .with("result", outcome == PageOutcome::done ? "ok" : "gave up")
                .write();
            return outcome == PageOutcome::done;
        }
        pass.current_address = page_start;
    }
}

void pass_event(const Pass& pass, bool completed) {
    const char* result = "gave up";
    if (completed && pass.write_mode) result = "written";
    if (completed && !pass.write_mode) result = pass.error_count == 0 ? "SUCCESS" : "FAILURE";
    Event("pass")
        .with("pass", pass_name(pass))
        .with("pages", pass.pages)
        .with("errors", pass.error_count)
        .with("result", result)
        .write();
}

void report_pass_end(const Pass& pass) {
    if (run_options.verbose)
        console_print("\r\nend WORD address = %x\r\n", static_cast<unsigned>(pass.current_address));
    if (pass.write_mode) {
        if (run_options.verbose)
            console_print("\r\nTOTAL serious errors during write: %u\r\n",
                          static_cast<unsigned>(pass.error_count));
        return;
    }
    if (run_options.verbose)
        console_print("\r\nTOTAL serious errors during verify: %u\r\n",
                      static_cast<unsigned>(pass.error_count));
    console_print(pass.error_count == 0 ? "\r\nSUCCESS\r\n" : "\r\nFAILURE\r\n");
}

// The incremental write's mark for a page that is already as the image has it.
constexpr char kUnchangedMark = '-';

}  // namespace

PassResult burn_flash(int family, int mode) {
    set_device_family(family);
    decode_device_letters();
    if (HiAddr > device_geometry.flash_word_limit) report_error(kFlashAddressTooBig);

    Pass pass;
    pass.write_mode = mode == kWriteMode;
    pass.words_per_page = device_geometry.page_size / 2;
    pass.current_address = LoAddr;
    while (pass.current_address <= HiAddr) {
        ++pass.pages;
        if (!do_page(pass)) {
            pass_event(pass, false);
            return PassResult{false, pass.error_count};
        }
    }
    report_pass_end(pass);
    pass_event(pass, true);
    return PassResult{true, pass.error_count};
}

uint32_t burn_changed_pages(int family, const std::vector<bool>& changed) {
    set_device_family(family);
    decode_device_letters();

    Pass pass;
    pass.write_mode = true;
    pass.words_per_page = device_geometry.page_size / 2;
    for (uint32_t page = 0; page < changed.size(); ++page) {
        if (!changed[page]) {
            show_progress(kUnchangedMark);
            continue;
        }
        pass.current_address = page * static_cast<uint32_t>(pass.words_per_page);
        ++pass.pages;
        do_page(pass);  // a write pass goes through its page or ends the run
    }
    if (run_options.verbose)
        console_print("\r\nTOTAL serious errors during write: %u\r\n",
                      static_cast<unsigned>(pass.error_count));
    pass_event(pass, true);
    return static_cast<uint32_t>(pass.pages);
}
