// The front end: start-up, the command line, the port, the run order, and
// the one fatal exit that every part of the program uses.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "boot/boot.h"
#include "console/console.h"
#include "image/image.h"
#include "serial/serial.h"
#include "tamborvine_version.h"
#include "term/term.h"

RunOptions run_options;

namespace {

constexpr const char* kUsage[] = {
    "Usage: tamborvine [fileword] [flagword] [speedword] [port]\r\n",
    "   [fileword] \r\n",
    "       [filename.ext] optional - download Hex flash file\r\n",
    "       [-d filename.ext] optional - download text file via emulator\r\n",
    "       [-e filename.ext] optional - download Hex eeprom file (N/A)\r\n",
    "       [-l filename.ext] optional - log file for terminal emulator\r\n",
    "   [flagword] optional (case sensitive)\r\n",
    "       [-w] : write flash (otherwise only verify). This implies 'E'\r\n",
    "       [-t] : talk to zelmo (application) first, \r\n",
    "                 issuing the menucommand to drive it to bootloader\r\n",
    "       [-E] : exit bootloader at the end (try to start zelmo app.)\r\n",
    "       [-T] : Time Tag received terminal emulator messages on CRLF\r\n",
    "       [-V] : Verbose messages\r\n",
    "       [-v] : TAMBORVINE version number\r\n",
    "       [-q] : quit after the download (no terminal emulator)\r\n",
    "   [speedword] optional\r\n",
    "       [-r 19200, 38400, 57600, 115200] optional - \r\n",
    "                 (use after -t) download baud rate (default 19200)\r\n",
    "       [-b rate]   optional - terminal emulator baud rate (default 9600)\r\n",
    "   [port] optional\r\n",
    "       [-c COM1], [-c /dev/ttyS0]\r\n\r\n",
};

constexpr const char* kVersionLine = "TAMBORVINE verion : " TAMBORVINE_VERSION "\r\n";
constexpr const char* kDefaultPort = "Com1:";
constexpr std::size_t kRateTextCapacity = 10;  // 9 characters and the NUL

[[noreturn]] void print_usage() {
    close_port();
    for (const char* line : kUsage) std::fputs(line, stdout);
    exit_program(kExitOk);
}

[[noreturn]] void print_version() {
    std::printf("\r\n%s\r\n\r\n", kVersionLine);
    exit_program(kExitOk);
}

// A rate word as the C library's decimal conversion reads it: leading
// blanks, a sign, digits, and whatever follows ignored.
bool convert_rate(const char* word, int32_t* rate) {
    if (std::strlen(word) >= kRateTextCapacity) return false;
    long value = std::strtol(word, nullptr, 10);
    if (value > INT32_MAX || value < INT32_MIN) return false;
    *rate = static_cast<int32_t>(value);
    return true;
}

void take_terminal_rate(const char* word) {
    int32_t rate = 0;
    if (!convert_rate(word, &rate) || rate == 0) report_error("Baud Rate - Bad Argument");
    run_options.terminal_rate = rate;
}

void take_download_rate(const char* word) {
    int32_t rate = 0;
    if (!convert_rate(word, &rate) || (rate != 19200 && rate != 38400 && rate != 57600 && rate != 115200))
        report_error("Baud Rate - Bad Argument");
    run_options.download_rate = rate;
}

void take_port(const char* word) {
    if (!copy_text(run_options.port_name, word)) report_error("Com Port Bad Argument");
}

void take_upload_file(const char* word) {
    if (std::strlen(word) >= kPathCapacity) report_error("File Name Bad Argument");
    run_options.upload_file = word;
    console_print("text file: %s\r\r\n", word);
}

void take_eeprom_file(const char* word) {
    if (!copy_text(run_options.eeprom_file_name, word)) report_error("File Name Bad Argument");
    console_print("hex file: %s\r\r\n", word);
    run_options.no_eeprom_file = false;
}

void take_log_file(const char* word) {
    if (std::strlen(word) >= kPathCapacity) report_error("File Name Bad Argument");
    if (run_options.log_file != nullptr) std::fclose(run_options.log_file);
    // Opening a pipe waits for its reader; a signal, whether it came just
    // before or during the wait, ends the run as a signal, not as a file
    // that could not be opened.
    check_pending_signal();
    run_options.log_file = std::fopen(word, "w");
    if (run_options.log_file == nullptr && errno == EINTR) check_pending_signal();
    if (run_options.log_file == nullptr) report_error("Cannot open log file.");
    run_options.logging = true;
}

// Option letters of one word, in order; value-taking letters take the
// following words one after another. Returns the index of the last word
// used.
int parse_option_word(int argc, char** argv, int index) {
    const char* word = argv[index];
    for (const char* letter = word + 1; *letter != '\0'; ++letter) {
        bool has_value = index + 1 < argc;
        switch (*letter) {
            case 'w':
                run_options.write_flash = true;
                run_options.exit_bootloader = true;
                break;
            case 't': run_options.wake_application = true; break;
            case 'E': run_options.exit_bootloader = true; break;
            case 'T': run_options.time_tags = true; break;
            case 'V': run_options.verbose = true; break;
            case 'q': run_options.quit_after_download = true; break;
            case 'b':
                if (!has_value) report_error("Baud Rate - Bad Argument");
                take_terminal_rate(argv[++index]);
                break;
            case 'r':
                if (has_value) take_download_rate(argv[++index]);
                break;
            case 'c':
                if (!has_value) report_error("Com Port Bad Argument");
                take_port(argv[++index]);
                break;
            case 'd':
                if (has_value) take_upload_file(argv[++index]);
                break;
            case 'e':
                if (has_value) take_eeprom_file(argv[++index]);
                break;
            case 'l':
                if (!has_value) report_error("File Name Bad Argument");
                take_log_file(argv[++index]);
                break;
            case 'h': print_usage();
            case 'v': print_version();
            default: report_error("Bad Argument");
        }
    }
    return index;
}

void parse_command_line(int argc, char** argv) {
    copy_text(run_options.port_name, kDefaultPort);
    if (argc == 1) run_options.no_arguments = true;
    int index = argc > 1 ? 1 : 0;
    if (argc > 1 && argv[1][0] != '-') {
        if (!copy_text(run_options.current_file_name, argv[1])) report_error("Bad Argument");
        run_options.no_flash_file = false;
        index = 2;
    }
    for (; index < argc; ++index) {
        if (std::strlen(argv[index]) >= kPathCapacity) report_error("Bad Argument");
        if (argv[index][0] != '-') continue;  // a stray word
        index = parse_option_word(argc, argv, index);
    }
}

void open_the_port() {
    if (open_port(run_options.port_name.data()) != 1)
        report_error_format("Unable to open COM port : %s\r\n", run_options.port_name.data());
    if (set_baud_rate(run_options.terminal_rate) != 1)
        report_error_format("Unable to set %d baud", static_cast<int>(run_options.terminal_rate));
    drain_input(10);
}

}  // namespace

void report_error(const char* message) {
    std::printf("\r\n%s\r\n\r\n", message);
    exit_program(kExitFailure);
}

void report_error_format(const char* format, ...) {
    char message[kPathCapacity + 128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    report_error(message);
}

void exit_program(int status) {
    std::fflush(stdout);
    std::exit(status);  // closes the log and every stream; the keyboard is restored at exit
}

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
    if (!run_options.no_flash_file) run_download(kFlashKind, run_options.current_file_name.data());
    if (!run_options.no_eeprom_file) run_download(kEepromKind, run_options.eeprom_file_name.data());
    if (run_options.quit_after_download) {
        close_port();
        exit_program(failed_verify_passes == 0 ? kExitOk : kExitFailure);
    }
    set_baud_rate(run_options.terminal_rate);
    console_ctrl_c_as_key();
    if (run_options.no_arguments || run_options.upload_file == nullptr) run_terminal();
    run_terminal_after_upload(run_options.upload_file);
}
