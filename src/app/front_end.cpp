// The front end: start-up, the command line, the port and the run order.
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

void open_the_port() {
    if (open_port(run_options.port_name.data()) != 1)
        report_error_format("Unable to open COM port : %s\r\n", run_options.port_name.data());
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
    // The log is for the terminal: a run that quits after the downloads
    // leaves the file as it is.
    if (run_options.log_file != nullptr && !run_options.quit_after_download &&
        !log_open(run_options.log_file))
        report_error("Cannot open log file.");
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
