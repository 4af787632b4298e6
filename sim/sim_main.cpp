// tamborvine-sim: a simulated target on a pseudo-terminal.
//
// It opens a pseudo-terminal pair, prints the slave's path as its first line
// on standard output (and links it where --link says), and plays the target
// on the master side. Standard input takes commands, one per line, so that
// tests and users can drive it; standard output reports what arrives.
//
// Commands (standard input):
//   send HEX...        write these bytes to the line (e.g. "send 48 65 0d")
//   text STRING        write the string; C escapes \r \n \t \e \\ \xHH
//   rate               print "rate N": the rate the program set on the line
//   hangup             close the master side, as an unplugged adapter
//   replug             a new pseudo-terminal: prints its path, moves the link
//   dump FILE          write the target's flash (131072 bytes) to FILE;
//                      prints "dumped FILE"
//   stats              print "stats rx N tx N host_us N turns N late_us N pages N erases N"
//   quit               end
// Reports (standard output, one line each, flushed):
//   rx RATE HEX...     bytes that arrived, with the line rate in force
//   cmd RATE NAME ...  (--target) a command the target met, with the rate
//   lost RATE HEX ...  (--target) a byte sent at a rate the target was not at
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/sim.h"

namespace {

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: tamborvine-sim [--link PATH] [--record FILE] [--echo] [--target [target options]]\n"
                 "  --link PATH            make PATH a symbolic link to the slave side\n"
                 "  --record FILE          append what arrives to FILE (lines: RATE HEX...; cmd lines too)\n"
                 "  --echo                 send back every byte that arrives\n"
                 "  --quiet                no rx and cmd reports (the record file still gets them)\n"
                 "  --target               play the ATmega128: application, bootloader, flash\n"
                 "target options:\n"
                 "  --boot                 start in the bootloader instead of the application\n"
                 "  --app-rate N           the application's rate (9600)\n"
                 "  --boot-rate N          the bootloader's rate with --boot (19200)\n"
                 "  --device CODE          device code answered to 't' (0x43, ATmega128)\n"
                 "  --load FILE            flash contents at start (raw binary, from address 0)\n"
                 "  --pace                 behave like a real UART and flash: 10 bit times per byte\n"
                 "                         each way, 4.5 ms per page written, 4.5 ms per page erased\n"
                 "  --page-ms MS           page programming time with --pace (4.5)\n"
                 "  --erase-ms MS          erase time per page with --pace (4.5)\n"
                 "faults (K counts occurrences of a command from 1; N how many in a row, 1;\n"
                 "        the run options may be given more than once):\n"
                 "  --reply CMD=TEXT       answer CMD (hello p S v V t e E) with TEXT (C escapes)\n"
                 "  --silent CMD[@K]       say nothing to the K-th CMD (hello p S v V t e A k l E)\n"
                 "  --bad-address K[,N]    answer the K-th 'A' with '?'\n"
                 "  --nak-page K[,N]       answer the K-th page write with 'N'\n"
                 "  --page-reply K,BYTE    answer the K-th page write with BYTE (hex)\n"
                 "  --bad-checksum K[,N]   answer the K-th page verify with a wrong checksum\n"
                 "  --erase-fails          answer 'e' with '?' and erase nothing\n");
}

bool parse_number(const char* text, unsigned long* value) {
    char* end = nullptr;
    *value = std::strtoul(text, &end, 0);
    return end != text && *end == '\0';
}

bool parse_occurrences(const std::string& text, Occurrences* out) {
    std::size_t comma = text.find(',');
    unsigned long first = 0;
    unsigned long count = 1;
    if (!parse_number(text.substr(0, comma).c_str(), &first) || first == 0 || first > 1000000) return false;
    if (comma != std::string::npos &&
        (!parse_number(text.substr(comma + 1).c_str(), &count) || count > 1000000))
        return false;
    out->runs.push_back({static_cast<int>(first), static_cast<int>(count)});
    return true;
}

// One option (and its value); false when it is not understood.
bool take_option(SimOptions& o, const std::string& a, const char* value, bool* used_value) {
    *used_value = false;
    unsigned long n = 0;
    auto need = [&]() {
        *used_value = true;
        return value != nullptr;
    };
    if (a == "--echo") return o.echo = true;
    if (a == "--quiet") return o.quiet = true;
    if (a == "--target") return o.target = true;
    if (a == "--boot") return o.start_in_bootloader = true;
    if (a == "--pace") return o.pace = true;
    if (a == "--erase-fails") return o.erase_fails = true;
    if (a == "--link") return need() && !(o.link_path = value).empty();
    if (a == "--record") return need() && !(o.record_path = value).empty();
    if (a == "--load") return need() && !(o.load_path = value).empty();
    if (a == "--app-rate")
        return need() && parse_number(value, &n) && n > 0 && (o.app_rate = static_cast<uint32_t>(n));
    if (a == "--boot-rate")
        return need() && parse_number(value, &n) && n > 0 && (o.boot_rate = static_cast<uint32_t>(n));
    if (a == "--device") {
        if (!need() || !parse_number(value, &n) || n > 255) return false;
        o.device_code = static_cast<uint8_t>(n);
        return true;
    }
    if (a == "--page-ms" || a == "--erase-ms") {
        if (!need()) return false;
        char* end = nullptr;
        double ms = std::strtod(value, &end);
        if (end == value || *end != '\0' || ms < 0 || ms > 1000) return false;
        (a == "--page-ms" ? o.page_program_ms : o.erase_ms_per_page) = ms;
        return true;
    }
    if (a == "--reply") {
        if (!need()) return false;
        std::string v = value;
        std::size_t eq = v.find('=');
        if (eq == std::string::npos) return false;
        std::string name = v.substr(0, eq);
        if (!is_target_command_name(name) || name == "A" || name == "k" || name == "l") return false;
        o.replies[name] = unescape_text(v.substr(eq + 1));
        return true;
    }
    if (a == "--silent") {
        if (!need()) return false;
        std::string v = value;
        std::size_t at = v.find('@');
        std::string name = v.substr(0, at);
        unsigned long k = 1;
        if (at != std::string::npos && (!parse_number(v.substr(at + 1).c_str(), &k) || k == 0 || k > 1000000))
            return false;
        if (!is_target_command_name(name)) return false;
        o.silent_at.emplace(name, static_cast<int>(k));
        return true;
    }
    if (a == "--bad-address") return need() && parse_occurrences(value, &o.bad_address);
    if (a == "--nak-page") return need() && parse_occurrences(value, &o.nak_page);
    if (a == "--bad-checksum") return need() && parse_occurrences(value, &o.bad_checksum);
    if (a == "--page-reply") {
        if (!need()) return false;
        std::string v = value;
        std::size_t comma = v.find(',');
        if (comma == std::string::npos || !parse_occurrences(v.substr(0, comma), &o.odd_page_reply))
            return false;
        std::string byte = v.substr(comma + 1);
        if (byte.rfind("0x", 0) != 0) byte = "0x" + byte;
        if (!parse_number(byte.c_str(), &n) || n > 255) return false;
        o.odd_reply_byte = static_cast<uint8_t>(n);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        }
        bool used_value = false;
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!take_option(options, a, value, &used_value)) {
            std::fprintf(stderr, "tamborvine-sim: bad option %s%s%s\n", a.c_str(),
                         used_value && value ? " " : "", used_value && value ? value : "");
            usage(stderr);
            return 2;
        }
        if (used_value) ++i;
    }
    return run_sim(options);
}
