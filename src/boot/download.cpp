// The download's run order: from the running application (optionally) to a
// listening bootloader, then through the bootloader's dialogue (protocol.h)
// to an identified target, erased flash, a written and verified image and a
// started application. The order reads the same whatever the dialogue.
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/fatal.h"
#include "base/run_options.h"
#include "base/text.h"
#include "base/wait.h"
#include "boot/boot.h"
#include "boot/protocol.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"
#include "serial/serial.h"

namespace {

constexpr std::size_t kReplyCapacity = 40;
using ReplyBuffer = std::array<char, kReplyCapacity>;

// The application's answer to the wake-up is exactly this long.
constexpr int kHelloLength = 6;
constexpr std::string_view kHelloWord = "Hello";

// The port stays at the download rate from the first switch on, also into
// a second pass, so a later wake-up goes out at that rate.
bool download_rate_in_force = false;

// From the way into the bootloader until the application is started.
bool in_bootloader = false;

// What the latest flash write came to.
PagesWritten pages_written;

// The divisor is of a 1 MHz reference: a 16 MHz chip's UART clock over 16.
constexpr int32_t kDivisorReference = 1000000;
// A rate the divisor misses by more than this share is one the target's
// UART most likely cannot read.
constexpr double kRateTolerance = 0.03;

// The bootloader's serial rate as the application expects it: the divisor
// of the reference, sent as two lower-case hex characters (so only its low
// byte reaches the target).
unsigned wake_up_divisor(int32_t download_rate) {
    int divisor = static_cast<int>(static_cast<double>(kDivisorReference / download_rate) - 0.5);
    return static_cast<unsigned>(divisor) & 0xFF;
}

void divisor_text(unsigned divisor, std::array<char, 3>& text) {
    std::snprintf(text.data(), text.size(), "%2x", divisor);
}

// The divisor names the nearest rate the chip can make, which for some
// rates (115200: 125,000) is too far off for its UART; the run goes on, as
// a chip with another clock may be on the line, but the user is told,
// whether the rate came from -r or --download-rate. Should the bootloader
// then not be understood, the stop says where the board was left: at the
// divisor's rate until a reset.
void warn_of_a_rate_the_divisor_misses(unsigned divisor, int32_t download_rate) {
    double named = static_cast<double>(kDivisorReference) / (divisor + 1);
    double off = (named - download_rate) / download_rate;
    if (off < 0) off = -off;
    if (off <= kRateTolerance) return;
    console_print("Warning: the wake-up divisor %u means %.0f baud on a 16 MHz chip, %.1f %% off %d baud\r\n",
                  divisor, named, 100.0 * off, static_cast<int>(download_rate));
    char hint[200];
    std::snprintf(hint, sizeof hint,
                  "The board's bootloader now listens at %.0f baud, which %d baud does not reach: "
                  "reset the board before the next run",
                  named, static_cast<int>(download_rate));
    set_stop_hint(hint);
}

// After no hello: a bootloader that answers at the download rate is one an
// earlier run left waiting (a failed verify, an interrupted write), which
// the wake-up cannot reach; the stop says so.
constexpr const char* kAlreadyInBootloader = "The board is already in its bootloader: run again without -t";

bool bootloader_listens() {
    set_baud_rate(run_options.download_rate);
    return make_protocol(run_options.protocol)->bootloader_answers();
}

// A reflash takes a bootloader it finds listening: that is where it was
// going (its earlier try may have left the board there).
bool reflashing = false;

// Before the wake-up the line must be quiet: an application that has just
// started (the one a previous run started, a board that was reset) greets,
// and its greeting would be read as the answer, or would still be coming in
// while the wake-up goes out. What arrives is dropped until nothing has come
// for kQuietLineMs, for no longer than kQuietLineLimitMs in all (a chatty
// application may never fall quiet; the answer's reading then passes over
// its words).
constexpr int kQuietLineMs = 100;
constexpr int kQuietLineLimitMs = 1000;

void wait_for_quiet_line() {
    QuietDrain drain = drain_until_quiet(kQuietLineMs, kQuietLineLimitMs);
    if (!run_options.verbose) return;
    if (drain.quiet)
        console_print("line quiet for %d ms, %u bytes dropped\r\n", kQuietLineMs, drain.dropped);
    else
        console_print("line still busy after %d ms, %u bytes dropped\r\n", kQuietLineLimitMs, drain.dropped);
}

bool holds_hello(std::string_view bytes) { return bytes.find(kHelloWord) != std::string_view::npos; }

// Once the first six bytes held no "Hello", the answer is looked for after
// what came before it: it is the six bytes from the last "Hello" heard, once
// the line has been quiet this long after them.
constexpr int kAnswerQuietPolls = 20;

// The six bytes from the last "Hello" in what was heard; empty while there
// is none or it is not whole yet.
std::string_view answer_after_other_bytes(std::string_view heard) {
    std::size_t at = heard.rfind(kHelloWord);
    if (at == std::string_view::npos || heard.size() - at < kHelloLength) return {};
    return heard.substr(at, kHelloLength);
}

// The application's answer to the wake-up, read as the exchange reads a
// reply: within the reply budget, one byte a poll, each poll sleeping first.
// When the first six bytes hold "Hello" they are the answer, as always, and
// a shorter or a wrong reply stays no hello; only where that would end the
// run do bytes that came before the answer get passed over. Returns the
// answer's length (kHelloLength, or less for no hello).
int read_wake_up_answer(ReplyBuffer& reply) {
    std::string heard;
    std::string_view answer;
    int quiet_polls = 0;
    for (int32_t polls = 0; polls < reply_poll_limit; ++polls) {
        wait_for_byte_ms(1);
        uint8_t held = 0;
        ++quiet_polls;
        if (byte_waiting() && read_byte(&held) == 1) {
            heard.push_back(static_cast<char>(held));
            quiet_polls = 0;
        }
        if (heard.size() == kHelloLength && holds_hello(heard)) {
            answer = heard;
            break;
        }
        answer = answer_after_other_bytes(heard);
        if (!answer.empty() && quiet_polls >= kAnswerQuietPolls) break;
    }
    if (answer.empty()) answer = std::string_view(heard).substr(0, kHelloLength);
    if (run_options.verbose && heard.size() > kHelloLength && holds_hello(answer))
        console_print("passed over %u bytes before the answer\r\n",
                      static_cast<unsigned>(answer.data() - heard.data()));
    std::memcpy(reply.data(), answer.data(), answer.size());
    reply[answer.size()] = '\0';
    return static_cast<int>(answer.size());
}

// Asks the running application to hand over to its bootloader, at the rate
// the port is at (the terminal rate, or the download rate in a second pass);
// it must answer with six bytes that hold "Hello".
void wake_application(ReplyBuffer& reply) {
    unsigned divisor_value = wake_up_divisor(run_options.download_rate);
    warn_of_a_rate_the_divisor_misses(divisor_value, run_options.download_rate);
    std::array<char, 3> divisor{};
    divisor_text(divisor_value, divisor);
    wait_for_quiet_line();
    send_text("Mancb");
    send_text(divisor.data());
    send_text("cb");
    const int32_t line_rate = download_rate_in_force ? run_options.download_rate : run_options.terminal_rate;
    if (run_options.verbose)
        console_print("saying Mancb%scb at %d\r\n", divisor.data(), static_cast<int>(line_rate));
    int count = read_wake_up_answer(reply);
    std::string_view said(reply.data(), static_cast<std::size_t>(count));
    if (count != kHelloLength || !holds_hello(said)) {
        const bool listening = bootloader_listens();
        if (listening && reflashing) return;
        report_error_hinted("No hello from AVR\r\n", listening ? kAlreadyInBootloader : "");
    }
    Event("wake").with("rate", line_rate).with("reply", said).write();
    console_print("AVR said Hello : %s\r\n", shown_target_bytes(reply.data()).c_str());
}

}  // namespace

// The other way into the bootloader, for boards whose reset is wired to
// the adapter's DTR or RTS (through a capacitor): raise the lines, hold
// them, drop them, and give the bootloader time to start listening.
void reset_into_bootloader() {
    uint8_t lines = run_options.reset_lines;
    if (run_options.verbose) console_print("reset the target by %s\r\n", reset_lines_name(lines));
    console_flush();
    if ((lines & kResetDtr) != 0) set_dtr(1);
    if ((lines & kResetRts) != 0) set_rts(1);
    sleep_ms(run_options.reset_ms);
    if ((lines & kResetDtr) != 0) set_dtr(0);
    if ((lines & kResetRts) != 0) set_rts(0);
    sleep_ms(run_options.boot_wait_ms);
    Event("reset")
        .with("lines", reset_lines_name(lines))
        .with("reset_ms", run_options.reset_ms)
        .with("boot_wait_ms", run_options.boot_wait_ms)
        .write();
}

namespace {

// A rate the port does not take (or a network server sets otherwise, said
// on standard error) stops the run as at the start: the bootloader would
// hear nothing it understands.
void switch_to_download_rate() {
    if (run_options.verbose)
        console_print("Set download baud rate to : %u\r\n", static_cast<unsigned>(run_options.download_rate));
    if (set_baud_rate(run_options.download_rate) != 1)
        report_error_format("Unable to set %d baud", static_cast<int>(run_options.download_rate));
    download_rate_in_force = true;
}

// An image that the page programming would refuse is refused before the
// erase, so that the application on the target survives it.
void refuse_image_too_big(BootProtocol& protocol, const TargetIdentity& target) {
    if (HiAddr > target.application_bytes / 2) protocol.refuse_image(target);
}

// A bootloader without a chip erase erases each page as it writes it.
void erase_flash(BootProtocol& protocol) {
    if (!protocol.capabilities().chip_erase) return;
    protocol.erase();
    console_print("Flash erased\r\n");
    Event("erase").write();
}

void write_flash(BootProtocol& protocol, const TargetIdentity& target) {
    protocol.write_image();
    const PageSpan span = image_pages(target.page_bytes);
    pages_written = {span.end - span.first, span.end - span.first, true};
    console_print("\r\nFlash Download finished\r\n");
}

// A pass that gave up, or ended with errors (FAILURE), counts as failed.
// After an incremental write by page hashes, those of the whole section
// are checked first: a page outside the image's range is covered by
// nothing else. Then a dialogue that can verifies only the pages it wrote
// (what it read back to compare is as the image has it).
DownloadOutcome verify_flash(BootProtocol& protocol, const TargetIdentity& target,
                             const std::vector<bool>& written) {
    console_print("Verify Flash.\r\n");
    if (!written.empty() && !written_pages_hold_the_image(protocol, target)) return DownloadOutcome::failed;
    const bool only_written = !written.empty() && protocol.capabilities().verify_pages;
    const PassResult result = only_written ? protocol.verify_pages(written) : protocol.verify_image();
    return result.succeeded() ? DownloadOutcome::succeeded : DownloadOutcome::failed;
}

// An image whose verify failed is not started (the dialogue says what
// becomes of the board).
void start_application(BootProtocol& protocol, DownloadOutcome verified) {
    if (verified == DownloadOutcome::failed) {
        protocol.hold_application();
        return;
    }
    protocol.start_application();
    in_bootloader = false;
    Event("exit_bootloader").write();
}

void image_event(int kind, const char* path) {
    const MemoryImage image = kind == kFlashKind ? flash_memory() : eeprom_memory();
    const uint32_t low = *image.low_word;
    const uint32_t high = *image.high_word;
    Event("image")
        .with("kind", kind == kFlashKind ? "flash" : "eeprom")
        .with("file", path)
        .with("low_word", low)
        .with("high_word", high)
        .with("bytes", high > low ? 2 * (high - low) : 0)
        .write();
}

void load_image(int kind, const char* path) {
    console_print(kind == kFlashKind ? "Down loading flash file:%s\r\n" : "Down loading eeprom file:%s\r\n",
                  shown_target_bytes(path).c_str());
    if (!copy_text(run_options.current_file_name, path)) report_error("File Name Bad Argument");
    read_rom_file(kind, run_options.current_file_name.data(),
                  kind == kFlashKind ? flash_memory() : eeprom_memory());
    image_event(kind, path);
}

// The passes of a run speak to one bootloader: the first pass reaches it
// (by the wake-up or the reset) and the last one starts the application,
// so that the EEPROM pass finds the bootloader that the flash pass
// left listening.
struct Session {
    std::unique_ptr<BootProtocol> protocol;
    bool read_back = false;      // --read-flash and --read-eeprom are done
    bool verify_failed = false;  // a pass's verify failed: the application is not started
};
Session session;

BootProtocol& reach_bootloader() {
    if (session.protocol) return *session.protocol;
    ReplyBuffer reply{};
    if (run_options.wake_application) wake_application(reply);
    if (run_options.reset_lines != 0) reset_into_bootloader();
    in_bootloader = true;
    switch_to_download_rate();
    session.protocol = make_protocol(run_options.protocol);
    return *session.protocol;
}

// The identification of each pass; the reads of the command line after
// the first one, before anything is written.
TargetIdentity identify(BootProtocol& protocol) {
    const TargetIdentity target = protocol.identify();
    set_stop_hint({});  // the bootloader understood: no board was left behind
    if (!session.read_back) read_memories_into_files(protocol, target);
    session.read_back = true;
    return target;
}

DownloadOutcome flash_pass(BootProtocol& protocol, const TargetIdentity& target) {
    std::vector<bool> written;  // the pages of an incremental write
    if (run_options.write_flash) {
        refuse_image_too_big(protocol, target);
        if (!run_options.incremental || !write_changed_pages(protocol, target, written)) {
            erase_flash(protocol);
            write_flash(protocol, target);
        }
    }
    return verify_flash(protocol, target, written);
}

// The last pass of the run leaves the bootloader (-E, -w), unless a verify
// failed.
void end_session(DownloadOutcome outcome) {
    if (outcome == DownloadOutcome::failed) session.verify_failed = true;
    if (run_options.exit_bootloader)
        start_application(*session.protocol,
                          session.verify_failed ? DownloadOutcome::failed : DownloadOutcome::succeeded);
    session.protocol.reset();
    session.verify_failed = false;  // a reflash later is a session of its own
}

}  // namespace

DownloadOutcome run_download(int kind, const char* path) {
    load_image(kind, path);
    return download_loaded_image(kind);
}

DownloadOutcome download_loaded_image(int kind) {
    BootProtocol& protocol = reach_bootloader();
    const TargetIdentity target = identify(protocol);
    const DownloadOutcome outcome =
        kind == kEepromKind ? write_eeprom_image(protocol, target) : flash_pass(protocol, target);
    // A reflash writes the flash alone: its pass is the session's last.
    const bool last_pass = kind == kEepromKind || run_options.no_eeprom_file || reflashing;
    if (last_pass)
        end_session(outcome);
    else if (outcome == DownloadOutcome::failed)
        session.verify_failed = true;
    return outcome;
}

DownloadOutcome run_read_back() {
    BootProtocol& protocol = reach_bootloader();
    identify(protocol);
    end_session(DownloadOutcome::succeeded);
    return DownloadOutcome::succeeded;
}
// The file is read into a blank image, so that nothing of the image read
// before it stays where the new one has no data; the name the terminal's
// upload sends stays as it is.
void read_flash_file(const char* path) {
    create_flash_image();
    LoAddr = HiAddr = 0;
    read_rom_file(kFlashKind, path, flash_memory());
    image_event(kFlashKind, path);
}

void note_pages_written(PagesWritten written) { pages_written = written; }

// A reflash is a download with -w --incremental -E, whatever the command
// line asked of the first one; the wake-up only where the application runs.
ReflashOutcome reflash_target(bool wake) {
    const RunOptions asked = run_options;
    run_options.write_flash = run_options.incremental = run_options.exit_bootloader = true;
    run_options.wake_application = wake;
    pages_written = {};
    reflashing = true;
    struct Restore {
        const RunOptions& asked;
        ~Restore() {
            reflashing = false;
            run_options.write_flash = asked.write_flash;
            run_options.incremental = asked.incremental;
            run_options.exit_bootloader = asked.exit_bootloader;
            run_options.wake_application = asked.wake_application;
        }
    } restore{asked};
    const DownloadOutcome verified = download_loaded_image(kFlashKind);
    return {verified, pages_written};
}

bool target_left_in_bootloader() { return in_bootloader; }
