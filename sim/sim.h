// tamborvine-sim: a simulated target on a pseudo-terminal (and, on request,
// behind an RFC 2217 network port). This header is what the entry point
// needs: the options and the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Commands of the target, by the names the options and reports use.
// hello: the application's answer to the wake-up; k and l: the page write
// and page verify commands ('D' 'k' 'k' and 'D' 'l' 'l'); H: the page hash.
bool is_target_command_name(const std::string& name);

// Runs of occurrences of one command, counted from 1: first..first+count-1
// for each run.
struct Occurrences {
    struct Run {
        int first;
        int count;
    };
    std::vector<Run> runs;
    bool covers(int n) const {
        for (const Run& r : runs)
            if (n >= r.first && n < r.first + r.count) return true;
        return false;
    }
};

struct SimOptions {
    std::string link_path;
    std::string record_path;
    bool echo = false;
    bool quiet = false;     // no rx/cmd/rfc2217 reports (benchmarks)
    int rfc2217_port = -1;  // listen on 127.0.0.1:port (0: any free port); -1: no network port

    // The full target (--target) and its settings.
    bool target = false;
    bool start_in_bootloader = false;
    bool application_wakes = true;  // the application answers the wake-up and hands over
    bool chip_clock = false;        // the divisors of the standard rates name the chip's rates too
    bool knows_hash = true;         // the bootloader answers 'H'
    // The bootloader answers 'W', 'X' and 'G' and keeps to the state rule
    // (without them, an older one: '?' at once to each byte it does not know).
    bool knows_memory = true;
    uint32_t app_rate = 9600;
    uint32_t boot_rate = 19200;
    uint8_t device_code = 0x43;
    std::map<std::string, Bytes> replies;  // overrides: hello p S v V t e E
    std::string load_path;                 // flash contents at start (raw binary)
    // After 'E' the bootloader gives the host this long to get back to the
    // application's rate, then starts the application, which greets at once
    // (the bundled bootloader waits 50 ms).
    double app_start_ms = 50;

    // Wire pacing: 10 bit times per byte each way, page programming, erase
    // and page hash times.
    bool pace = false;
    double page_program_ms = 4.5;
    double erase_ms_per_page = 4.5;
    double hash_us_per_page = 360;  // a page that is not blank; a blank one is read only
    double eeprom_ms_per_byte = 8.5;

    // Fault injection.
    std::multimap<std::string, int> silent_at;  // command name -> occurrence, one per --silent
    Occurrences bad_address;                    // 'A' answered with '?'
    Occurrences nak_page;                       // page write answered with 'N'
    Occurrences odd_page_reply;                 // page write answered with odd_reply_byte
    uint8_t odd_reply_byte = 'X';
    Occurrences bad_checksum;  // page verify answered with a wrong checksum
    bool erase_fails = false;  // 'e' answered with '?', nothing erased
};

// Reads the command line into options; for a bad one, the offending words
// go into bad.
enum class ParseOutcome { run, help, bad };
ParseOutcome parse_sim_options(int argc, char** argv, SimOptions& options, std::string& bad);
void print_sim_usage(std::FILE* to);

// C escapes of the sim's text arguments: \r \n \t \e \0 \xHH, others as they stand.
Bytes unescape_text(const std::string& text);

int run_sim(const SimOptions& options);
