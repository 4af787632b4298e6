// The command line: the flash file first, then option letters, each
// value-taking letter taking the following word, and long options from
// their table (kLongOptions below).
#include "app/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "app/long_options.h"
#include "app/profiles.h"
#include "base/fatal.h"
#include "base/files.h"
#include "base/run_options.h"
#include "base/text.h"
#include "boot/boot.h"
#include "console/console.h"
#include "ports/ports.h"
#include "serial/serial.h"
#include "tamborvine_version.h"
#include "term/term.h"

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

// The settings the command line gave, by their profile keys: a profile
// does not override them.
std::set<std::string, std::less<>> given_settings;

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

// The word of a refused value as standard error names it, control bytes
// made visible; a word longer than a path is named by its start.
constexpr std::size_t kLongestNamedWord = 60;

std::string named(const char* word) {
    std::string_view text(word);
    if (text.size() <= kLongestNamedWord) return shown_target_bytes(text);
    return shown_target_bytes(text.substr(0, kLongestNamedWord)) + "... (" + std::to_string(text.size()) +
           " characters)";
}

[[noreturn]] void refuse_value(const char* stop, const char* option, const char* word, const char* wanted) {
    refuse_argument(stop, "%s takes %s, not \"%s\"", option, wanted, named(word).c_str());
}

[[noreturn]] void refuse_missing_value(const char* stop, char letter, const char* wanted) {
    refuse_argument(stop, "-%c needs %s after it", letter, wanted);
}

constexpr const char* kRateStop = "Baud Rate - Bad Argument";
constexpr const char* kPortStop = "Com Port Bad Argument";
constexpr const char* kFileStop = "File Name Bad Argument";
constexpr const char* kWordStop = "Bad Argument";
constexpr const char* kShorterName = "a name shorter than a path's limit";

void take_terminal_rate(const char* word) {
    int32_t rate = 0;
    if (!convert_rate(word, &rate) || rate == 0) refuse_value(kRateStop, "-b", word, "a rate in baud");
    run_options.terminal_rate = rate;
}

// What the command line said itself, where a dialogue has defaults of its
// own (--protocol).
bool download_rate_given = false;
bool reset_given = false;

void take_download_rate(const char* word) {
    int32_t rate = 0;
    if (!convert_rate(word, &rate) || (rate != 19200 && rate != 38400 && rate != 57600 && rate != 115200))
        refuse_value(kRateStop, "-r", word, "19200, 38400, 57600 or 115200 (--download-rate takes any rate)");
    run_options.download_rate = rate;
    run_options.download_rate_any = false;
    download_rate_given = true;
}

// --download-rate: any positive rate, the whole word a decimal number (a
// rate read from the front of "1e6" would be a rate nobody asked for).
void take_any_download_rate(const char* word) {
    int64_t value = 0;
    if (!parse_decimal(word, 1, INT32_MAX, &value))
        refuse_value(kRateStop, "--download-rate", word, "a whole number of baud above 0");
    run_options.download_rate = static_cast<int32_t>(value);
    run_options.download_rate_any = true;
    download_rate_given = true;
}

void take_port(const char* word) {
    if (!copy_text(run_options.port_name, word) || !port_name_valid(word))
        refuse_value(
            kPortStop, "-c", word,
            "a device path, COMn, usb:VVVV:PPPP[:SERIAL], rfc2217://HOST:PORT or socket://HOST:PORT");
}

void take_upload_file(const char* word) {
    if (std::strlen(word) >= kPathCapacity) refuse_value(kFileStop, "-d", word, kShorterName);
    run_options.upload_file = word;
    console_print("text file: %s\r\r\n", shown_target_bytes(word).c_str());
}

void take_eeprom_file(const char* word) {
    if (!copy_text(run_options.eeprom_file_name, word)) refuse_value(kFileStop, "-e", word, kShorterName);
    console_print("hex file: %s\r\r\n", shown_target_bytes(word).c_str());
    run_options.no_eeprom_file = false;
}

// The log is only named here: it is opened (and so emptied) once the whole
// command line has been accepted, and never when it is a file of the run.
void take_log_file(const char* word) {
    if (std::strlen(word) >= kPathCapacity) refuse_value(kFileStop, "-l", word, kShorterName);
    run_options.log_file = word;
}

// A word past the first that does not begin with '-' is passed over, as
// the first word alone names the flash file; but one that is a file meant
// for flashing (a name a flash image has, or a file that exists) would be
// silently left out of a run that then passes: refused, with where the
// flash file goes.
constexpr std::string_view kFlashFileEndings[] = {".hex", ".ihex", ".ihx", ".elf"};

bool looks_like_a_flash_file(const char* word) {
    std::string name(word);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::string_view ending : kFlashFileEndings)
        if (name.size() > ending.size() && name.ends_with(ending)) return true;
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::path(word), error);
}

void refuse_a_file_out_of_place(const char* word) {
    if (!looks_like_a_flash_file(word)) return;
    if (run_options.no_flash_file)
        report_error_format(
            "File %s is not read where it stands: the flash file must be the first word "
            "(tamborvine %s -w ...)",
            named(word).c_str(), named(word).c_str());
    report_error_format(
        "File %s is not read where it stands: only the first word is the flash file "
        "(here %s)",
        named(word).c_str(), named(run_options.current_file_name.data()).c_str());
}

// A word longer than any path stops the run ("Bad Argument").
void refuse_a_word_too_long(const char* word) {
    if (std::strlen(word) >= kPathCapacity)
        refuse_argument(kWordStop, "a word longer than a path may be: %s", named(word).c_str());
}

// --incremental changes how -w writes; without -w the run would only verify
// and pass while writing nothing.
void refuse_incremental_without_write() {
    if (run_options.incremental && !run_options.write_flash)
        report_error("Option --incremental needs -w: without it nothing is written, the run only verifies");
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

// Stops the run for a letter no option has (after the long options' table,
// which it looks for what was meant in).
[[noreturn]] void refuse_unknown_letter(const char* word, char letter);

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
                if (!has_value) refuse_missing_value(kRateStop, 'b', "a rate");
                take_terminal_rate(argv[++index]);
                given_settings.insert("terminal-rate");
                break;
            case 'r':
                if (has_value) take_download_rate(argv[++index]);
                given_settings.insert("download-rate");
                break;
            case 'c':
                if (!has_value) refuse_missing_value(kPortStop, 'c', "a port");
                take_port(argv[++index]);
                given_settings.insert("port");
                break;
            case 'd':
                if (has_value) take_upload_file(argv[++index]);
                break;
            case 'e':
                if (has_value) take_eeprom_file(argv[++index]);
                break;
            case 'l':
                if (!has_value) refuse_missing_value(kFileStop, 'l', "a file name");
                take_log_file(argv[++index]);
                break;
            case 'h': print_usage();
            case 'v': print_version();
            default: refuse_unknown_letter(word, *letter);
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
        report_error_format("Option --%s: %s", option, shown_target_bytes(error).c_str());
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
                            shown_target_bytes(word).c_str());
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

// A control chord the terminal lets through to the target; not Esc
// (Ctrl-[) or Ctrl-C, which end the run.
void take_reflash_key(const char* word) {
    constexpr int kEsc = 27;
    constexpr int kCtrlC = 3;
    reflash_options.key_given = true;
    reflash_options.key = std::string_view(word) == "none" ? -1 : exit_key_code(word);
    if (std::string_view(word) != "none" &&
        (reflash_options.key < 0 || reflash_options.key == kEsc || reflash_options.key == kCtrlC))
        report_error(
            "Option --reflash-key takes ctrl-a to ctrl-z, ctrl-\\, ctrl-], ctrl-^ or ctrl-_ (not Esc or "
            "Ctrl-C, which end the run), or none");
}

void take_read_file(const char*& option, const char* path) {
    if (*path == '\0' || std::strlen(path) >= kPathCapacity) report_error("File Name Bad Argument");
    option = path;
}

// A word that must be one of a few names: its index, or the stop that
// lists them.
template <std::size_t N>
int take_name(const char* word, const char* option, const char* const (&names)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        if (std::strcmp(word, names[i]) == 0) return static_cast<int>(i);
    std::string listed;
    for (const char* name : names) listed += (listed.empty() ? "" : ", ") + std::string(name);
    report_error_format("Option --%s takes %s, not \"%s\"", option, listed.c_str(), word);
}

// In the order of the Parity and FlowControl values.
constexpr const char* kParityNames[] = {"none", "even", "odd"};
constexpr const char* kFlowNames[] = {"none", "rts-cts", "xon-xoff"};
constexpr const char* kDataBitsNames[] = {"5", "6", "7", "8"};
constexpr const char* kStopBitsNames[] = {"1", "2"};
constexpr uint8_t kFewestDataBits = 5;

void take_parity(const char* word) {
    terminal_line.parity = static_cast<Parity>(take_name(word, "parity", kParityNames));
}

void take_flow(const char* word) {
    terminal_line.flow = static_cast<FlowControl>(take_name(word, "flow", kFlowNames));
}

void take_data_bits(const char* word) {
    terminal_line.data_bits =
        static_cast<uint8_t>(kFewestDataBits + take_name(word, "data-bits", kDataBitsNames));
}

void take_stop_bits(const char* word) {
    terminal_line.stop_bits = static_cast<uint8_t>(1 + take_name(word, "stop-bits", kStopBitsNames));
}

constexpr const char* kKeysNames[] = {"pc", "vt100"};
constexpr const char* kTimeFormatNames[] = {"clock", "iso"};

void take_keys(const char* word) { terminal_options.vt100_keys = take_name(word, "keys", kKeysNames) == 1; }

void take_exit_key(const char* word) {
    int code = exit_key_code(word);
    if (code < 0)
        report_error_format("Option --exit-key takes a key such as ctrl-] or ctrl-x, not \"%s\"", word);
    terminal_options.exit_key = code;
}

void take_maps(const char* option, MapDirection direction, const char* word, uint16_t* maps) {
    std::string error;
    if (!parse_byte_maps(word, direction, maps, &error))
        report_error_format("Option --%s: %s", option, error.c_str());
}

void take_time_format(const char* word) {
    terminal_options.time_format = static_cast<TimeFormat>(take_name(word, "time-format", kTimeFormatNames));
}

[[noreturn]] void list_ports_and_exit() {
    print_port_list();
    exit_program(kExitOk);
}

const char* profile_name = nullptr;  // --profile

constexpr LongOption kLongOptions[] = {
    {"help", nullptr, "this usage, with the long options", [](const char*) { print_help(); }},
    {"download-rate", "N", "download baud rate, any the port takes (1000000...)", take_any_download_rate},
    {"incremental", nullptr, "with -w, write only the pages that changed",
     [](const char*) { run_options.incremental = true; }},
    {"watch", nullptr, "reflash from the terminal when the flash file changes",
     [](const char*) { reflash_options.watch = true; }},
    {"reflash-key", "KEY", "reflash by this key (ctrl-w with --watch; none for no key)", take_reflash_key},
    {"build", "COMMAND", "run COMMAND before each reflash; a failed one flashes nothing",
     [](const char* command) { reflash_options.build = command; }},
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
    {"data-bits", "5|6|7|8", "the terminal's data bits (default 8)", take_data_bits},
    {"parity", "none|even|odd", "the terminal's parity (default none)", take_parity},
    {"stop-bits", "1|2", "the terminal's stop bits (default 1)", take_stop_bits},
    {"flow", "none|rts-cts|xon-xoff", "the terminal's flow control (default none)", take_flow},
    {"keys", "pc|vt100", "how cursor and function keys go out (default pc: 0, then a code)", take_keys},
    {"exit-key", "KEY", "KEY (ctrl-], ctrl-x...) alone ends the terminal; Esc goes to the target",
     take_exit_key},
    {"colors", nullptr, "the target's colours (SGR) reach the screen",
     [](const char*) { terminal_options.colors = true; }},
    {"map-in", "MAPS", "received bytes mapped: crlf,crcrlf,igncr,lfcr,lfcrlf,ignlf,bsdel,delbs",
     [](const char* word) { take_maps("map-in", MapDirection::in, word, &terminal_options.map_in); }},
    {"map-out", "MAPS", "typed keys mapped, as --map-in",
     [](const char* word) { take_maps("map-out", MapDirection::out, word, &terminal_options.map_out); }},
    {"echo", nullptr, "show what the keys send", [](const char*) { terminal_options.echo = true; }},
    {"log-append", nullptr, "-l appends to its file instead of emptying it",
     [](const char*) { run_options.log_append = true; }},
    {"log-time", nullptr, "a time tag at the start of every line of the -l log",
     [](const char*) { terminal_options.log_time = true; }},
    {"time-format", "clock|iso", "the tags of -T and --log-time (iso: ISO 8601 with ms)", take_time_format},
    {"profile", "NAME", "the settings of section NAME of the configuration file",
     [](const char* name) { profile_name = name; }},
};

// "unknown option -x", or "unknown option letter x in -wVx"; a word that
// is a long option with one dash too few is pointed at it.
[[noreturn]] void refuse_unknown_letter(const char* word, char letter) {
    const LongOption* meant = nearest_long_option(kLongOptions, word + 1);
    std::string hint = meant == nullptr ? "" : std::string(" (did you mean --") + meant->name + "?)";
    if (std::strlen(word) == 2)
        refuse_argument(kWordStop, "unknown option %s%s", named(word).c_str(), hint.c_str());
    refuse_argument(kWordStop, "unknown option letter %s in %s%s",
                    named(std::string(1, letter).c_str()).c_str(), named(word).c_str(), hint.c_str());
}

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

// ---- profiles: the configuration file's settings under the command line ----

// The keys of a profile that are no long option: the port and the terminal
// rate, which the letters -c and -b set.
constexpr LongOption kProfileOnlyKeys[] = {
    {"port", "NAME", "", take_port},
    {"terminal-rate", "N", "", take_terminal_rate},
};

// Long options that act rather than set.
constexpr std::string_view kActions[] = {"help", "list-ports", "profile"};

const LongOption* profile_row(std::string_view key) {
    for (const LongOption& row : kProfileOnlyKeys)
        if (key == row.name) return &row;
    for (const LongOption& row : kLongOptions)
        if (key == row.name) return &row;
    return nullptr;
}

ProfileKey profile_key_kind(std::string_view key) {
    const LongOption* row = profile_row(key);
    if (row == nullptr) return ProfileKey::unknown;
    if (std::find(std::begin(kActions), std::end(kActions), key) != std::end(kActions))
        return ProfileKey::not_settable;
    return row->value_name == nullptr ? ProfileKey::flag : ProfileKey::value;
}

// A value that the option refuses stops the run naming the file and line.
void apply_profiles() {
    const char* port_given = given_settings.contains("port") ? run_options.port_name.data() : nullptr;
    for (const ProfileSetting& setting :
         profile_settings(profile_name, port_given, kDefaultPort, profile_key_kind)) {
        if (given_settings.contains(setting.key)) continue;
        const LongOption* row = profile_row(setting.key);
        set_fatal_context(setting.where);
        if (row->value_name != nullptr)
            row->take(setting.value.c_str());
        else if (setting.value == "true")
            row->take(nullptr);
    }
    set_fatal_context("");
}

// The name a long option word gives ("--parity=odd": parity).
std::string long_option_name(const char* word) {
    std::string_view name(word + 2);
    return std::string(name.substr(0, name.find('=')));
}

// Options that cannot go together, whatever their order.
void refuse_conflicts() {
    if (run_options.reset_lines != 0 && run_options.wake_application)
        report_error("Option --reset cannot go with -t: both bring the target into its bootloader");
}

// A reflash from the terminal needs the flash file and the terminal.
void refuse_reflash_without_terminal() {
    if (reflash_options.watch && !reflash_options.key_given) reflash_options.key = kDefaultReflashKey;
    if (reflash_options.build != nullptr && !reflash_options.wanted())
        report_error("Option --build runs before a reflash: give --watch or --reflash-key");
    if (!reflash_options.wanted()) return;
    if (reflash_options.key >= 0 && reflash_options.key == terminal_options.exit_key)
        report_error("Options --reflash-key and --exit-key name one key");
    if (run_options.no_flash_file)
        report_error("Options --watch and --reflash-key need the flash file as the first word");
    if (run_options.quit_after_download || (!script.steps.empty() && !script.then_terminal))
        report_error(
            "Options --watch and --reflash-key reflash from the terminal: not with -q, nor with "
            "steps without --then-terminal");
}

void print_help() {
    print_usage_lines();
    print_long_options(kLongOptions);
    exit_program(kExitOk);
}

}  // namespace

ScriptOptions script;
ReflashOptions reflash_options;
LineSettings terminal_line;

void parse_command_line(int argc, char** argv) {
    copy_text(run_options.port_name, kDefaultPort);
    if (argc == 1) run_options.no_arguments = true;
    int index = argc > 1 ? 1 : 0;
    if (argc > 1 && argv[1][0] != '-') {
        refuse_a_word_too_long(argv[1]);
        copy_text(run_options.current_file_name, argv[1]);
        run_options.no_flash_file = false;
        index = 2;
    }
    for (; index < argc; ++index) {
        // A long option's value is checked by the option that takes it, the
        // same after '=' as in the next word: a long --expect text is fine.
        if (is_long_option(argv[index])) {
            given_settings.insert(long_option_name(argv[index]));
            index = take_long_option(kLongOptions, argc, argv, index);
            continue;
        }
        refuse_a_word_too_long(argv[index]);
        if (argv[index][0] != '-') {  // a stray word
            refuse_a_file_out_of_place(argv[index]);
            continue;
        }
        index = parse_option_word(argc, argv, index);
    }
    apply_profiles();
    apply_protocol();
    refuse_conflicts();
    refuse_reflash_without_terminal();
    refuse_incremental_without_write();
    if (script.then_terminal && run_options.quit_after_download)
        report_error("Options -q and --then-terminal exclude each other");
    refuse_a_log_over_a_file_of_the_run();
}

void refuse_read_backs_over_files_of_the_run() {
    refuse_a_read_back_over_a_file_of_the_run(run_options.read_flash_file, run_options.read_eeprom_file);
    refuse_a_read_back_over_a_file_of_the_run(run_options.read_eeprom_file, nullptr);
}
