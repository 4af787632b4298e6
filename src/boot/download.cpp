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

// The bootloader's serial rate as the application expects it: the divisor
// of a 1 MHz reference, as two lower-case hex characters.
void divisor_text(int32_t download_rate, std::array<char, 3>& text) {
    int divisor = static_cast<int>(static_cast<double>(1000000 / download_rate) - 0.5);
    std::snprintf(text.data(), text.size(), "%2x", static_cast<unsigned>(divisor) & 0xFF);
}

// Asks the running application to hand over to its bootloader, at the rate
// the port is at (the terminal rate, or the download rate in a second pass);
// it must answer with six bytes that hold "Hello".
void wake_application(ReplyBuffer& reply) {
    std::array<char, 3> divisor{};
    divisor_text(run_options.download_rate, divisor);
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
    console_print("AVR said Hello : %s\r\n", shown_target_bytes(reply.data()).c_str());
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
    return lookup_device_code(static_cast<unsigned char>(reply[0]), reply.data());
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
void exit_bootloader(ReplyBuffer& reply) {
    print_verbose_line("we say E\r\n");
    send_byte('E');
    read_reply(1, reply.data());
}

}  // namespace

DownloadOutcome run_download(int kind, const char* path) {
    console_print(kind == kFlashKind ? "Down loading flash file:%s\r\n" : "Down loading eeprom file:%s\r\n",
                  path);
    if (!copy_text(run_options.current_file_name, path)) report_error("File Name Bad Argument");
    read_rom_file(kind, run_options.current_file_name.data());

    ReplyBuffer reply{};
    if (run_options.wake_application) wake_application(reply);
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
        erase_flash(reply);
        write_flash(family);
    }
    DownloadOutcome outcome = verify_flash(family);
    if (run_options.exit_bootloader) exit_bootloader(reply);
    return outcome;
}
