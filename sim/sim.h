// The simulated target's pieces: the pseudo-terminal line, the target model
// (application and bootloader with its flash) and the event loop.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Commands of the target, by the names the options and reports use.
// hello: the application's answer to the wake-up; k and l: the page write
// and page verify commands ('D' 'k' 'k' and 'D' 'l' 'l').
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
    bool quiet = false;  // no rx/cmd reports (benchmarks)

    // The full target (--target) and its settings.
    bool target = false;
    bool start_in_bootloader = false;
    uint32_t app_rate = 9600;
    uint32_t boot_rate = 19200;
    uint8_t device_code = 0x43;
    std::map<std::string, Bytes> replies;  // overrides: hello p S v V t e E
    std::string load_path;                 // flash contents at start (raw binary)

    // Wire pacing: 10 bit times per byte each way, page programming and
    // erase times.
    bool pace = false;
    double page_program_ms = 4.5;
    double erase_ms_per_page = 4.5;

    // Fault injection.
    std::multimap<std::string, int> silent_at;  // command name -> occurrence, one per --silent
    Occurrences bad_address;                    // 'A' answered with '?'
    Occurrences nak_page;                       // page write answered with 'N'
    Occurrences odd_page_reply;                 // page write answered with odd_reply_byte
    uint8_t odd_reply_byte = 'X';
    Occurrences bad_checksum;  // page verify answered with a wrong checksum
    bool erase_fails = false;  // 'e' answered with '?', nothing erased
};

// The line as the target sees it: the master side of a pseudo-terminal
// pair. The simulator keeps a slave descriptor of its own open so the line
// outlives the program's re-opens.
class PtyLine {
   public:
    bool open_pair();
    void close_pair();
    int master() const { return master_fd_; }
    const std::string& slave_path() const { return slave_path_; }
    // The rate the program set on its side (the master reports the slave's
    // settings), 0 when unknown.
    uint32_t rate() const;
    void write_bytes(const uint8_t* data, std::size_t count);
    void write_bytes(const std::vector<uint8_t>& data) { write_bytes(data.data(), data.size()); }

   private:
    int master_fd_ = -1;
    int slave_fd_ = -1;
    std::string slave_path_;
};

constexpr uint32_t kSimFlashWords = 65536;     // 128 KiB
constexpr uint32_t kBootSectionWord = 0xFC00;  // the bootloader's own section starts here
constexpr int kSimPageWords = 128;

// What the target does with the line: bytes to send no earlier than a given
// time, and reports for the record.
struct TargetOutput {
    std::function<void(const Bytes&, double not_before)> send;
    std::function<void(const std::string&)> report;
    std::function<uint32_t()> line_rate;
};

// The ATmega128 as the program meets it: an application that answers the
// wake-up and hands over to the bootloader, the bootloader with its flash,
// and after 'E' an application that greets and echoes.
class Target {
   public:
    Target(const SimOptions& options, TargetOutput output);
    // One byte that finished arriving at time due, with the line at rate.
    void receive(uint8_t byte, uint32_t rate, double due);
    // Called from the event loop: sends the greeting once the line is at the
    // application's rate. True while a greeting is still waiting.
    bool poll_greeting(double now);
    bool load(const std::string& path);
    bool dump(const std::string& path) const;
    std::string stats() const;

   private:
    enum class State { application, bootloader, echo_application };
    enum class Pending { none, address, page_letters, page_data };

    void application_byte(uint8_t byte, uint32_t rate, double at);
    void bootloader_byte(uint8_t byte, uint32_t rate, double at);
    void command(uint8_t letter, uint32_t rate, double at);
    void page_letters(uint32_t rate, double at);
    void page_written(uint32_t rate, double at);
    void hand_over(uint32_t rate, double at);
    void start_application(double at);
    int count(const std::string& name) { return ++counts_[name]; }
    bool silent(const std::string& name, int occurrence) const;
    Bytes reply_for(const std::string& name, Bytes fallback) const;
    std::array<uint8_t, 4> page_checksum(uint16_t page_start) const;
    void say(const std::string& name, uint32_t rate, const std::string& detail = "");

    const SimOptions& options_;
    TargetOutput out_;
    State state_;
    uint32_t listen_rate_;
    double busy_until_ = 0;
    std::array<uint16_t, kSimFlashWords> flash_;
    std::map<std::string, int> counts_;
    Pending pending_ = Pending::none;
    Bytes held_;  // bytes of a command in progress, or of a possible wake-up
    uint16_t address_ = 0;
    bool greeting_due_ = false;
    double greeting_not_before_ = 0;
    long pages_written_ = 0;
    long erases_ = 0;
};

// C escapes of the sim's text arguments: \r \n \t \e \0 \xHH, others as they stand.
Bytes unescape_text(const std::string& text);

int run_sim(const SimOptions& options);
