// The simulator's command line: one table of options, which the usage text
// is printed from as well.
#include <cstdlib>
#include <cstring>

#include "sim/sim.h"

namespace {

enum class Group { line, target, fault };

struct SimOption {
    const char* name;
    const char* value;  // what the value is called; nullptr for an option without one
    const char* help;
    Group group;
    bool (*apply)(SimOptions& o, const char* value);
};

constexpr unsigned long kMaxOccurrence = 1000000;
constexpr double kMaxMilliseconds = 1000;

bool parse_number(const char* text, unsigned long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtoul(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

bool parse_rate(const char* text, uint32_t* rate) {
    unsigned long n = 0;
    if (!parse_number(text, &n) || n == 0 || n > 100000000) return false;
    *rate = static_cast<uint32_t>(n);
    return true;
}

bool parse_time(const char* text, double limit, double* value) {
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0) || v > limit) return false;
    *value = v;
    return true;
}

bool parse_occurrences(const std::string& text, Occurrences* out) {
    std::size_t comma = text.find(',');
    unsigned long first = 0;
    unsigned long count = 1;
    if (!parse_number(text.substr(0, comma).c_str(), &first) || first == 0 || first > kMaxOccurrence)
        return false;
    if (comma != std::string::npos &&
        (!parse_number(text.substr(comma + 1).c_str(), &count) || count > kMaxOccurrence))
        return false;
    out->runs.push_back({static_cast<int>(first), static_cast<int>(count)});
    return true;
}

bool set_reply(SimOptions& o, const char* value) {
    std::string v = value;
    std::size_t eq = v.find('=');
    if (eq == std::string::npos) return false;
    std::string name = v.substr(0, eq);
    if (!is_target_command_name(name) || name == "A" || name == "k" || name == "l" || name == "H" ||
        name == "G" || name == "X" || name == "W")
        return false;
    o.replies[name] = unescape_text(v.substr(eq + 1));
    return true;
}

bool set_silent(SimOptions& o, const char* value) {
    std::string v = value;
    std::size_t at = v.find('@');
    std::string name = v.substr(0, at);
    unsigned long k = 1;
    if (at != std::string::npos &&
        (!parse_number(v.substr(at + 1).c_str(), &k) || k == 0 || k > kMaxOccurrence))
        return false;
    if (!is_target_command_name(name)) return false;
    o.silent_at.emplace(name, static_cast<int>(k));
    return true;
}

bool set_page_reply(SimOptions& o, const char* value) {
    std::string v = value;
    std::size_t comma = v.find(',');
    if (comma == std::string::npos || !parse_occurrences(v.substr(0, comma), &o.odd_page_reply)) return false;
    std::string byte = v.substr(comma + 1);
    if (byte.rfind("0x", 0) != 0) byte = "0x" + byte;
    unsigned long n = 0;
    if (!parse_number(byte.c_str(), &n) || n > 255) return false;
    o.odd_reply_byte = static_cast<uint8_t>(n);
    return true;
}

// clang-format off
const SimOption kOptions[] = {
    {"--link", "PATH", "make PATH a symbolic link to the slave side", Group::line,
     [](SimOptions& o, const char* v) { return !(o.link_path = v).empty(); }},
    {"--record", "FILE", "append what arrives to FILE (lines: RATE HEX...; cmd lines too)", Group::line,
     [](SimOptions& o, const char* v) { return !(o.record_path = v).empty(); }},
    {"--echo", nullptr, "send back every byte that arrives", Group::line,
     [](SimOptions& o, const char*) { return o.echo = true; }},
    {"--quiet", nullptr, "no rx, cmd and rfc2217 reports (the record file still gets rx and cmd)", Group::line,
     [](SimOptions& o, const char*) { return o.quiet = true; }},
    {"--rfc2217", "PORT", "serve the line on 127.0.0.1:PORT as an RFC 2217 server too (0: any free port)",
     Group::line, [](SimOptions& o, const char* v) {
         unsigned long n = 0;
         if (!parse_number(v, &n) || n > 65535) return false;
         o.rfc2217_port = static_cast<int>(n);
         return true;
     }},
    {"--target", nullptr, "play the ATmega128: application, bootloader, flash", Group::line,
     [](SimOptions& o, const char*) { return o.target = true; }},

    {"--boot", nullptr, "start in the bootloader instead of the application", Group::target,
     [](SimOptions& o, const char*) { return o.start_in_bootloader = true; }},
    {"--app-rate", "N", "the application's rate (9600)", Group::target,
     [](SimOptions& o, const char* v) { return parse_rate(v, &o.app_rate); }},
    {"--boot-rate", "N", "the bootloader's rate with --boot and after a reset (19200)", Group::target,
     [](SimOptions& o, const char* v) { return parse_rate(v, &o.boot_rate); }},
    {"--device", "CODE", "device code answered to 't' (0x43, ATmega128)", Group::target,
     [](SimOptions& o, const char* v) {
         unsigned long n = 0;
         if (!parse_number(v, &n) || n > 255) return false;
         o.device_code = static_cast<uint8_t>(n);
         return true;
     }},
    {"--load", "FILE", "flash contents at start (raw binary, from address 0)", Group::target,
     [](SimOptions& o, const char* v) { return !(o.load_path = v).empty(); }},
    {"--chip-clock", nullptr, "the hand-over divisor names 1,000,000 / (d + 1) baud for every d, as on a 16 MHz chip",
     Group::target,
     [](SimOptions& o, const char*) {
         o.chip_clock = true;
         return true;
     }},
    {"--no-wake", nullptr, "the application ignores the wake-up: only a reset reaches the bootloader",
     Group::target, [](SimOptions& o, const char*) {
         o.application_wakes = false;
         return true;
     }},
    {"--no-hash", nullptr, "the bootloader does not know 'H' (answers '?' as to any unknown command);\n"
                           "                         implies --no-memory", Group::target,
     [](SimOptions& o, const char*) {
         o.knows_hash = false;
         o.knows_memory = false;
         return true;
     }},
    {"--no-memory", nullptr, "the bootloader knows neither 'W' and 'X' (EEPROM) nor 'G' (flash read), nor\n"
                             "                         the state rule: '?' at once to each byte it does not know",
     Group::target, [](SimOptions& o, const char*) {
         o.knows_memory = false;
         return true;
     }},
    {"--app-start-ms", "MS", "time from 'E' to the application's start and greeting (50)", Group::target,
     [](SimOptions& o, const char* v) { return parse_time(v, 10 * kMaxMilliseconds, &o.app_start_ms); }},
    {"--pace", nullptr, "behave like a real UART and flash: 10 bit times per byte each way, page\n"
                        "                         programming, erase and hash times", Group::target,
     [](SimOptions& o, const char*) { return o.pace = true; }},
    {"--page-ms", "MS", "time to program a device page with --pace (4.5)", Group::target,
     [](SimOptions& o, const char* v) { return parse_time(v, kMaxMilliseconds, &o.page_program_ms); }},
    {"--erase-ms", "MS", "time to erase a device page with --pace (4.5)", Group::target,
     [](SimOptions& o, const char* v) { return parse_time(v, kMaxMilliseconds, &o.erase_ms_per_page); }},
    {"--hash-us", "US", "time to hash a device page that is not blank with --pace (360)", Group::target,
     [](SimOptions& o, const char* v) { return parse_time(v, 1000 * kMaxMilliseconds, &o.hash_us_per_page); }},
    {"--eeprom-ms", "MS", "time to write an EEPROM byte with --pace (8.5)", Group::target,
     [](SimOptions& o, const char* v) { return parse_time(v, kMaxMilliseconds, &o.eeprom_ms_per_byte); }},

    {"--reply", "CMD=TEXT", "answer CMD (hello p S v V t e E) with TEXT (C escapes)", Group::fault, set_reply},
    {"--silent", "CMD[@K]", "say nothing to the K-th CMD (hello p S v V t e A k l H G X W E)", Group::fault,
     set_silent},
    {"--bad-address", "K[,N]", "answer the K-th 'A' with '?'", Group::fault,
     [](SimOptions& o, const char* v) { return parse_occurrences(v, &o.bad_address); }},
    {"--nak-page", "K[,N]", "answer the K-th page write with 'N'", Group::fault,
     [](SimOptions& o, const char* v) { return parse_occurrences(v, &o.nak_page); }},
    {"--page-reply", "K,BYTE", "answer the K-th page write with BYTE (hex)", Group::fault, set_page_reply},
    {"--bad-checksum", "K[,N]", "answer the K-th page verify with a wrong checksum", Group::fault,
     [](SimOptions& o, const char* v) { return parse_occurrences(v, &o.bad_checksum); }},
    {"--erase-fails", nullptr, "answer 'e' with '?' and erase nothing", Group::fault,
     [](SimOptions& o, const char*) { return o.erase_fails = true; }},
};
// clang-format on

const SimOption* find_option(const std::string& name) {
    for (const SimOption& entry : kOptions)
        if (name == entry.name) return &entry;
    return nullptr;
}

}  // namespace

void print_sim_usage(std::FILE* to) {
    static const char* const kHeadings[] = {
        "",
        "target options:\n",
        "faults (K counts occurrences of a command from 1; N how many in a row, 1;\n"
        "        the run options may be given more than once):\n",
    };
    std::fprintf(to,
                 "usage: tamborvine-sim [--link PATH] [--record FILE] [--echo] [--rfc2217 PORT]\n"
                 "                      [--target [target options]]\n");
    for (Group group : {Group::line, Group::target, Group::fault}) {
        std::fputs(kHeadings[static_cast<int>(group)], to);
        for (const SimOption& entry : kOptions) {
            if (entry.group != group) continue;
            std::string left = std::string(entry.name) + (entry.value ? std::string(" ") + entry.value : "");
            std::fprintf(to, "  %-22s %s\n", left.c_str(), entry.help);
        }
    }
}

ParseOutcome parse_sim_options(int argc, char** argv, SimOptions& options, std::string& bad) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "-h" || word == "--help") return ParseOutcome::help;
        std::size_t eq = word.find('=');
        std::string name = word.substr(0, eq);
        const SimOption* option = find_option(name);
        bad = word;
        if (option == nullptr || (option->value == nullptr && eq != std::string::npos))
            return ParseOutcome::bad;
        std::string value;
        if (option->value != nullptr) {
            if (eq != std::string::npos) {
                value = word.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
                bad += " " + value;
            } else {
                return ParseOutcome::bad;
            }
        }
        if (!option->apply(options, option->value ? value.c_str() : nullptr)) return ParseOutcome::bad;
    }
    bad.clear();
    return ParseOutcome::run;
}
