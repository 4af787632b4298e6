// The download sequence: from the running application (optionally) to an
// identified bootloader, erased flash, a written and verified image and a
// restarted application. One small function per bootloader command.
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/fatal.h"
#include "base/run_options.h"
#include "base/text.h"
#include "boot/boot.h"
#include "console/console.h"
#include "events/events.h"
#include "image/image.h"
#include "serial/serial.h"

namespace {

constexpr std::size_t kReplyCapacity = 40;
using ReplyBuffer = std::array<char, kReplyCapacity>;

// Stale bytes are dropped for this many polls before most commands.
constexpr int kDrainPolls = 10;
// The application's answer to the wake-up is exactly this long.
constexpr int kHelloLength = 6;
constexpr std::string_view kHelloWord = "Hello";
// 'p' is sent once; its answer may take this many one-byte reads.
constexpr int kProgrammerTypeReads = 5;
constexpr int kSoftwareIdLength = 7;
constexpr int kVersionLength = 2;
constexpr int kDeviceCodeReplyLength = 2;

// The port stays at the download rate from the first switch on, also into
// a second pass, so a later wake-up goes out at that rate.
bool download_rate_in_force = false;

void print_verbose_line(const char* line) {
    if (run_options.verbose) console_print("%s", line);
}

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
// a chip with another clock may be on the line, but the user is told. Only
// for a rate of --download-rate: the four rates of -r keep the output their
// users and their scripts know.
void warn_of_a_rate_the_divisor_misses(unsigned divisor, int32_t download_rate) {
    double named = static_cast<double>(kDivisorReference) / (divisor + 1);
    double off = (named - download_rate) / download_rate;
    if (off < 0) off = -off;
    if (off <= kRateTolerance) return;
    console_print("Warning: the wake-up divisor %u means %.0f baud on a 16 MHz chip, %.1f %% off %d baud\r\n",
                  divisor, named, 100.0 * off, static_cast<int>(download_rate));
}

// Asks the running application to hand over to its bootloader, at the rate
// the port is at (the terminal rate, or the download rate in a second pass);
// it must answer with six bytes that hold "Hello".
void wake_application(ReplyBuffer& reply) {
    unsigned divisor_value = wake_up_divisor(run_options.download_rate);
    if (run_options.download_rate_any)
        warn_of_a_rate_the_divisor_misses(divisor_value, run_options.download_rate);
    std::array<char, 3> divisor{};
    divisor_text(divisor_value, divisor);
    send_text("Mancb");
    send_text(divisor.data());
    send_text("cb");
    const int32_t line_rate = download_rate_in_force ? run_options.download_rate : run_options.terminal_rate;
    if (run_options.verbose)
        console_print("saying Mancb%scb at %d\r\n", divisor.data(), static_cast<int>(line_rate));
    int count = read_bytes(kHelloLength, reply.data());
    std::string_view said(reply.data(), static_cast<std::size_t>(count));
    if (count != kHelloLength || said.find(kHelloWord) == std::string_view::npos)
        report_error("No hello from AVR\r\n");
    Event("wake").with("rate", line_rate).with("reply", said).write();
    console_print("AVR said Hello : %s\r\n", shown_target_bytes(reply.data()).c_str());
}

// The catalogue's names are padded with blanks to 16 characters.
std::string_view trimmed(std::string_view name) {
    std::size_t end = name.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view{} : name.substr(0, end + 1);
}

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

void switch_to_download_rate() {
    if (run_options.verbose)
        console_print("Set download baud rate to : %u\r\n", static_cast<unsigned>(run_options.download_rate));
    set_baud_rate(run_options.download_rate);
    download_rate_in_force = true;
}

void send_command(uint8_t letter) {
    drain_input(kDrainPolls);
    send_byte(letter);
}

// 'p': the programmer type must come back as 'S' within five reads.
void ask_programmer_type(ReplyBuffer& reply) {
    print_verbose_line("we say p\r\n");
    send_command('p');
    for (int read = 0; read < kProgrammerTypeReads; ++read) {
        int count = read_reply(1, reply.data());
        if (run_options.verbose)
            console_print("srl cnt = %u buf[0] = %s\r\n", static_cast<unsigned>(count),
                          shown_target_bytes(std::string_view(reply.data(), 1)).c_str());
        if (reply[0] == 'S') return;
    }
    report_error("didn't get reply from AVR, out of sync");
}

// 'S': the software identifier must begin with "AVR".
void ask_software_identifier(ReplyBuffer& reply) {
    print_verbose_line("we say S\r\n");
    send_command('S');
    read_reply(kSoftwareIdLength, reply.data());
    if (std::strncmp(reply.data(), "AVR", 3) != 0)
        report_error_format("Sorry, device does not reply AVR... to S, instead:%s\r\n",
                            shown_target_bytes(reply.data()).c_str());
}

// 'v' and 'V': read, not examined.
void ask_hardware_version(ReplyBuffer& reply) {
    print_verbose_line("we say v\r\n");
    send_command('v');
    read_reply(kVersionLength, reply.data());
}

void ask_software_version(ReplyBuffer& reply) {
    print_verbose_line("we say V\r\n");
    send_command('V');
    read_reply(kVersionLength, reply.data());
}

// 't': the first supported device code names the part; its family comes
// back and the catalogue name replaces the reply text.
int ask_device_code(ReplyBuffer& reply) {
    print_verbose_line("we say t\r\n");
    send_command('t');
    read_reply(kDeviceCodeReplyLength, reply.data());
    const int code = static_cast<unsigned char>(reply[0]);
    int family = lookup_device_code(code, reply.data());
    Event("identify")
        .with("device_code", code)
        .with("device", trimmed(reply.data()))
        .with("family", family)
        .write();
    return family;
}

void insist_on_mega128(int family, const ReplyBuffer& device_name) {
    if (family != kMega128Family)
        report_error_format("Sorry, device is not Mega128, instead:%s\r\n",
                            shown_target_bytes(device_name.data()).c_str());
    print_verbose_line("device is Mega128\r\n");
}

// An image that the page programming would refuse is refused before the
// erase, so that the application on the target survives it.
void refuse_image_too_big(int family) {
    if (HiAddr > flash_word_limit_of(family)) report_error(kFlashAddressTooBig);
}

// 'e': the erase takes long, so its reply gets the larger poll budget.
void erase_flash(ReplyBuffer& reply) {
    print_verbose_line("we are writing too, not only verify! Now say e (erase)\r\n");
    send_byte('e');
    reply[0] = '\0';
    read_reply(1, reply.data(), kEraseReplyPollLimit);
    if (reply[0] != '\r') report_error("Sorry, device is not erased");
    console_print("Flash erased\r\n");
    Event("erase").write();
}

void write_flash(int family) {
    burn_flash(family, kWriteMode);
    console_print("\r\nFlash Download finished\r\n");
}

// A pass that gave up, or ended with errors (FAILURE), counts as failed.
DownloadOutcome verify_flash(int family) {
    console_print("Verify Flash.\r\n");
    return burn_flash(family, kVerifyMode).succeeded() ? DownloadOutcome::succeeded : DownloadOutcome::failed;
}

// 'E': the bootloader starts the application; the reply is not examined.
// An image whose verify failed is not started: the board stays in its
// bootloader, ready for another download.
void exit_bootloader(ReplyBuffer& reply, DownloadOutcome verified) {
    if (verified == DownloadOutcome::failed) {
        console_print("Verify failed: application not started, the board stays in its bootloader\r\n");
        return;
    }
    print_verbose_line("we say E\r\n");
    send_byte('E');
    read_reply(1, reply.data());
    Event("exit_bootloader").write();
}

}  // namespace

DownloadOutcome run_download(int kind, const char* path) {
    console_print(kind == kFlashKind ? "Down loading flash file:%s\r\n" : "Down loading eeprom file:%s\r\n",
                  path);
    if (!copy_text(run_options.current_file_name, path)) report_error("File Name Bad Argument");
    read_rom_file(kind, run_options.current_file_name.data(), flash_memory());
    Event("image")
        .with("kind", kind == kFlashKind ? "flash" : "eeprom")
        .with("file", path)
        .with("low_word", LoAddr)
        .with("high_word", HiAddr)
        .with("bytes", HiAddr > LoAddr ? 2 * (HiAddr - LoAddr) : 0)
        .write();

    ReplyBuffer reply{};
    if (run_options.wake_application) wake_application(reply);
    if (run_options.reset_lines != 0) reset_into_bootloader();
    switch_to_download_rate();
    ask_programmer_type(reply);
    ask_software_identifier(reply);
    ask_hardware_version(reply);
    ask_software_version(reply);
    int family = ask_device_code(reply);
    insist_on_mega128(family, reply);
    if (kind == kEepromKind) return DownloadOutcome::succeeded;  // nothing is written to EEPROM

    if (run_options.write_flash) {
        refuse_image_too_big(family);
        if (!run_options.incremental || !write_changed_pages(family)) {
            erase_flash(reply);
            write_flash(family);
        }
    }
    DownloadOutcome outcome = verify_flash(family);
    if (run_options.exit_bootloader) exit_bootloader(reply, outcome);
    return outcome;
}
