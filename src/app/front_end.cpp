// The front end: start-up, the command line, the port and the run order.
#include <chrono>
#include <string>

#include "app/app.h"
#include "app/options.h"
#include "base/fatal.h"
#include "base/run_options.h"
#include "boot/boot.h"
#include "console/console.h"
#include "image/image.h"
#include "serial/serial.h"
#include "term/term.h"

namespace {

// --wait-port: how often a port that does not open is tried again.
constexpr int kWaitPortRetryMs = 100;

// Opens the port, trying again every 100 ms for as long as --wait-port
// says (a board that enumerates a moment after power-on, a server that is
// still starting). A usb: name that matched none or several ports names
// them in the stop.
void open_port_waiting() {
    const char* name = run_options.port_name.data();
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(run_options.wait_port_seconds);
    while (open_port(name) != 1) {
        if (Clock::now() >= deadline) {
            std::string message =
                std::string("Unable to open COM port : ") + name + "\r\n" + usb_candidates(name);
            report_error(message.c_str());
        }
        sleep_ms(kWaitPortRetryMs);
    }
}

void open_the_port() {
    open_port_waiting();
    if (set_baud_rate(run_options.terminal_rate) != 1)
        report_error_format("Unable to set %d baud", static_cast<int>(run_options.terminal_rate));
    drain_input(10);
}

}  // namespace

int tamborvine_main(int argc, char** argv) {
    console_init();
    console_clear();
    create_flash_image();
    parse_command_line(argc, argv);
    // A run that quits after the downloads reads no key: the keyboard stays
    // as the user had it, so Ctrl-C interrupts it and a run in the
    // background is not stopped for touching the terminal.
    if (!run_options.quit_after_download) console_take_keys();
    console_clear();
    open_the_port();
    bool all_verified = true;
    if (!run_options.no_flash_file)
        all_verified &=
            run_download(kFlashKind, run_options.current_file_name.data()) == DownloadOutcome::succeeded;
    if (!run_options.no_eeprom_file)
        all_verified &=
            run_download(kEepromKind, run_options.eeprom_file_name.data()) == DownloadOutcome::succeeded;
    if (run_options.quit_after_download) {
        close_port();
        exit_program(all_verified ? kExitOk : kExitFailure);
    }
    set_baud_rate(run_options.terminal_rate);
    console_ctrl_c_as_key();
    if (run_options.no_arguments || run_options.upload_file == nullptr) run_terminal();
    run_terminal_after_upload(run_options.upload_file);
}
