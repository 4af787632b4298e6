// The command line: the flash file first, then option letters, each
// value-taking letter taking the following word, and long options from
// their table (kLongOptions below).
#include "app/options.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "app/long_options.h"
#include "base/fatal.h"
#include "base/files.h"
#include "base/run_options.h"
#include "base/text.h"
#include "boot/boot.h"
#include "console/console.h"
#include "ports/ports.h"
#include "serial/serial.h"
#include "tamborvine_version.h"

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

void print_usage_lines() {
    close_port();
    for (const char* line : kUsage) std::fputs(line, stdout);
}

[[noreturn]] void print_usage() {
    print_usage_lines();
    exit_program(kExitOk);
}

// --help: the usage of -h, then the long options.
[[noreturn]] void print_help();

[[noreturn]] void print_version() {
    std::printf("\r\n%s\r\n\r\n", kVersionLine);
    exit_program(kExitOk);
}

// A rate word as the C library's decimal conversion reads it: leading
// blanks, a sign, digits, and whatever follows ignored; no longer than the
// rate's text buffer.
bool convert_rate(const char* word, int32_t* rate) {
    int64_t value = 0;
    if (std::strlen(word) >= kRateTextCapacity ||
        !parse_decimal(word, INT32_MIN, INT32_MAX, &value, NumberForm::leading))
        return false;
    *rate = static_cast<int32_t>(value);
    return true;
}

void take_terminal_rate(const char* word) {
    int32_t rate = 0;
    if (!convert_rate(word, &rate) || rate == 0) report_error("Baud Rate - Bad Argument");
    run_options.terminal_rate = rate;
}

// What the command line said itself, where a dialogue has defaults of its
// own (--protocol).
bool download_rate_given = false;
bool reset_given = false;

void take_download_rate(const char* word) {
    int32_t rate = 0;
    if (!convert_rate(word, &rate) || (rate != 19200 && rate != 38400 && rate != 57600 && rate != 115200))
        report_error("Baud Rate - Bad Argument");
    run_options.download_rate = rate;
    run_options.download_rate_any = false;
    download_rate_given = true;
}

// --download-rate: any positive rate, the whole word a decimal number (a
// rate read from the front of "1e6" would be a rate nobody asked for).
void take_any_download_rate(const char* word) {
    int64_t value = 0;
    if (!parse_decimal(word, 1, INT32_MAX, &value)) report_error("Baud Rate - Bad Argument");
    run_options.download_rate = static_cast<int32_t>(value);
    run_options.download_rate_any = true;
    download_rate_given = true;
}

void take_port(const char* word) {
    if (!copy_text(run_options.port_name, word) || !port_name_valid(word))
        report_error("Com Port Bad Argument");
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

// The log is only named here: it is opened (and so emptied) once the whole
// command line has been accepted, and never when it is a file of the run.
void take_log_file(const char* word) {
    if (std::strlen(word) >= kPathCapacity) report_error("File Name Bad Argument");
    run_options.log_file = word;
}

void refuse_a_log_over_a_file_of_the_run() {
    const char* log = run_options.log_file;
    if (log == nullptr) return;
    if (!run_options.no_flash_file && same_file(log, run_options.current_file_name.data()))
        report_error("Cannot open log file: it is the flash file.");
    if (!run_options.no_eeprom_file && same_file(log, run_options.eeprom_file_name.data()))
        report_error("Cannot open log file: it is the eeprom file.");
    if (run_options.upload_file != nullptr && same_file(log, run_options.upload_file))
        report_error("Cannot open log file: it is the file to upload.");
}

// A read-back file replaces what its name held: never a file the run
// reads or writes otherwise, whatever its spelling, nor the port.
void refuse_a_read_back_over_a_file_of_the_run(const char* path, const char* other_read_back) {
    if (path == nullptr) return;
    const char* files[] = {run_options.no_flash_file ? nullptr : run_options.current_file_name.data(),
                           run_options.no_eeprom_file ? nullptr : run_options.eeprom_file_name.data(),
                           run_options.upload_file,
                           run_options.log_file,
                           script.events_path,
                           run_options.port_name.data(),
                           other_read_back};
    for (const char* file : files)
        if (file != nullptr && (std::strcmp(file, path) == 0 || same_file(file, path)))
            report_error_format("Read-back file %s is a file the run uses", path);
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

// ---- long options: one row each, and the function that takes its value ----

// The time an --expect waits unless a --timeout before it says otherwise,
// and the longest one taken (a day).
constexpr double kDefaultStepTimeout = 10.0;
constexpr double kLongestStepTimeout = 86400.0;
double step_timeout = kDefaultStepTimeout;

void add_step(Step::Kind kind, const char* option, const char* written) {
    Step step{kind, written, {}, step_timeout};
    std::string error;
    if (!decode_step_text(written, &step.bytes, &error))
        report_error_format("Option --%s: %s", option, error.c_str());
    if (kind == Step::Kind::expect && step.bytes.empty())
        report_error("Option --expect needs a text to wait for");
    script.steps.push_back(std::move(step));
}

// Seconds as a plain decimal number ("10", "2.5", ".5"), nothing around it.
void take_step_timeout(const char* word) {
    double seconds = -1.0;
    const char* end = word + std::strlen(word);
    auto [stop, error] = std::from_chars(word, end, seconds, std::chars_format::fixed);
    if (error != std::errc() || stop != end || !(seconds >= 0.0 && seconds <= kLongestStepTimeout))
        report_error_format("Option --timeout takes seconds from 0 to %g, not \"%s\"", kLongestStepTimeout,
                            word);
    step_timeout = seconds == 0.0 ? 0.0 : seconds;  // "-0" waits as 0 and says so
}

// Longest pulse and boot wait taken, and longest wait for a port: beyond
// these a number is a typing error, not a bench.
constexpr int64_t kMaxResetMs = 10000;
constexpr int64_t kMaxWaitPortSeconds = 86400;

// A whole decimal number from 0 to limit, and nothing else.
bool take_number(const char* word, int64_t limit, int32_t* value) {
    int64_t number = 0;
    if (!parse_decimal(word, 0, limit, &number)) return false;
    *value = static_cast<int32_t>(number);
    return true;
}

void take_reset(const char* word) {
    std::string_view lines(word);
    reset_given = true;
    if (lines == "none")
        run_options.reset_lines = 0;
    else if (lines == "dtr")
        run_options.reset_lines = kResetDtr;
    else if (lines == "rts")
        run_options.reset_lines = kResetRts;
    else if (lines == "dtr,rts" || lines == "rts,dtr")
        run_options.reset_lines = kResetDtr | kResetRts;
    else
        report_error("Option --reset takes dtr, rts, dtr,rts or none");
}

void take_protocol(const char* word) {
    const ProtocolChoice* choice = find_protocol(word);
    if (choice == nullptr) report_error_format("Option --protocol takes %s", protocol_names());
    run_options.protocol = choice->name;
}

void take_reset_ms(const char* word) {
    if (!take_number(word, kMaxResetMs, &run_options.reset_ms))
        report_error("Option --reset-ms takes milliseconds from 0 to 10000");
}

void take_boot_wait_ms(const char* word) {
    if (!take_number(word, kMaxResetMs, &run_options.boot_wait_ms))
        report_error("Option --boot-wait-ms takes milliseconds from 0 to 10000");
}

void take_wait_port(const char* word) {
    if (!take_number(word, kMaxWaitPortSeconds, &run_options.wait_port_seconds))
        report_error("Option --wait-port takes whole seconds from 0 to 86400");
}

void take_read_file(const char*& option, const char* path) {
    if (*path == '\0' || std::strlen(path) >= kPathCapacity) report_error("File Name Bad Argument");
    option = path;
}

[[noreturn]] void list_ports_and_exit() {
    print_port_list();
    exit_program(kExitOk);
}

constexpr LongOption kLongOptions[] = {
    {"help", nullptr, "this usage, with the long options", [](const char*) { print_help(); }},
    {"download-rate", "N", "download baud rate, any the port takes (1000000...)", take_any_download_rate},
    {"incremental", nullptr, "with -w, write only the pages that changed",
     [](const char*) { run_options.incremental = true; }},
    {"expect", "TEXT", "wait for TEXT to arrive (escapes \\r \\n \\t \\\\ \\xHH)",
     [](const char* text) { add_step(Step::Kind::expect, "expect", text); }},
    {"send", "TEXT", "send TEXT; steps run after the downloads, in order",
     [](const char* text) { add_step(Step::Kind::send, "send", text); }},
    {"timeout", "SECONDS", "how long each later --expect waits (default 10)", take_step_timeout},
    {"then-terminal", nullptr, "go on into the terminal after the steps",
     [](const char*) { script.then_terminal = true; }},
    {"events", "FILE", "events as JSON lines into FILE (- for standard error)",
     [](const char* path) { script.events_path = path; }},
    {"protocol", "NAME", "the bootloader's dialogue: tamborvine (default), stk500v1 (arduino)",
     take_protocol},
    {"reset", "dtr|rts|dtr,rts|none", "reset the target by these lines, not with -t", take_reset},
    {"reset-ms", "MS", "how long --reset holds the lines (default 50)", take_reset_ms},
    {"boot-wait-ms", "MS", "wait after --reset (default 100)", take_boot_wait_ms},
    {"list-ports", nullptr, "list this machine's serial ports and exit",
     [](const char*) { list_ports_and_exit(); }},
    {"wait-port", "SECONDS", "retry opening the port every 100 ms this long", take_wait_port},
    {"read-flash", "FILE", "read the flash into FILE (Intel HEX) before any write",
     [](const char* path) { take_read_file(run_options.read_flash_file, path); }},
    {"read-eeprom", "FILE", "read the EEPROM into FILE (Intel HEX) before any write",
     [](const char* path) { take_read_file(run_options.read_eeprom_file, path); }},
};

// A dialogue's own download rate and reset, where the command line gave
// none; -t only where the application's wake-up leads to the bootloader.
void apply_protocol() {
    const ProtocolChoice* choice = find_protocol(run_options.protocol);
    run_options.protocol = choice->name;
    if (run_options.wake_application && !choice->wakes_application)
        report_error_format(
            "Option -t wakes the program's own application; a board on %s is reset into its bootloader "
            "instead: --reset (by default DTR and RTS, as its auto-reset circuit takes them)",
            choice->name);
    if (!download_rate_given && choice->download_rate != 0) run_options.download_rate = choice->download_rate;
    if (!reset_given) run_options.reset_lines = choice->reset_lines;
}

// Options that cannot go together, whatever their order.
void refuse_conflicts() {
    if (run_options.reset_lines != 0 && run_options.wake_application)
        report_error("Option --reset cannot go with -t: both bring the target into its bootloader");
}

void print_help() {
    print_usage_lines();
    print_long_options(kLongOptions);
    exit_program(kExitOk);
}

}  // namespace

ScriptOptions script;

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
        // A long option's value is checked by the option that takes it, the
        // same after '=' as in the next word: a long --expect text is fine.
        if (is_long_option(argv[index])) {
            index = take_long_option(kLongOptions, argc, argv, index);
            continue;
        }
        if (std::strlen(argv[index]) >= kPathCapacity) report_error("Bad Argument");
        if (argv[index][0] != '-') continue;  // a stray word
        index = parse_option_word(argc, argv, index);
    }
    apply_protocol();
    refuse_conflicts();
    if (script.then_terminal && run_options.quit_after_download)
        report_error("Options -q and --then-terminal exclude each other");
    refuse_a_log_over_a_file_of_the_run();
}

void refuse_read_backs_over_files_of_the_run() {
    refuse_a_read_back_over_a_file_of_the_run(run_options.read_flash_file, run_options.read_eeprom_file);
    refuse_a_read_back_over_a_file_of_the_run(run_options.read_eeprom_file, nullptr);
}
