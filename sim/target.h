// The simulated ATmega128: its flash, and the target that the program
// meets on the line (application, bootloader, application again).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>

#include "sim/sim.h"

// The 128 KiB flash as the bootloader sees it: device pages of 128 words;
// the application section below the boot section from word 0xFC00, which
// nothing here ever writes and whose words count as blank in checksums.
class Flash {
   public:
    static constexpr uint32_t kWords = 65536;
    static constexpr uint32_t kPageWords = 128;
    static constexpr uint32_t kBootSectionWord = 0xFC00;
    static constexpr uint32_t kApplicationPages = kBootSectionWord / kPageWords;  // 504
    static constexpr uint16_t kBlank = 0xFFFF;

    // Device pages one host page changed: programmed, and of those the ones
    // that held something and so were erased first.
    struct WriteCost {
        int programmed = 0;
        int erased = 0;
    };

    Flash() { words_.fill(kBlank); }
    bool load(const std::string& path);  // raw binary from address 0
    bool dump(const std::string& path) const;
    void erase_application();
    bool page_blank(uint32_t page) const;
    // Sum and XOR of the start address and the 128 words from it, each
    // high byte first: the page verify's answer.
    std::array<uint8_t, 4> checksum(uint16_t start) const;
    // zlib's CRC-32 of a device page's 256 bytes in address order.
    uint32_t page_crc(uint32_t page) const;
    // A host page of 128 words from any word address: each device page it
    // touches is rewritten with the words it holds outside the host page,
    // and left alone when that changes nothing. The boot section is never
    // written.
    WriteCost write_host_page(uint16_t start, const std::array<uint16_t, kPageWords>& words);

    // A word as the bootloader reads it: blank at and above the boot section.
    uint16_t word_at(uint32_t address) const { return address < kBootSectionWord ? words_[address] : kBlank; }

   private:
    uint16_t word(uint32_t address) const { return word_at(address); }
    std::array<uint16_t, kWords> words_;
};

// What the target does with the line: bytes to send no earlier than a given
// time, and reports for the record.
struct TargetOutput {
    std::function<void(const Bytes&, double not_before)> send;
    std::function<void(const std::string&)> report;
    std::function<uint32_t()> line_rate;
    std::function<void()> drop_unsent;  // a reset: what the UART had not sent yet is gone
};

// The ATmega128 as the program meets it: an application that answers the
// wake-up and hands over to the bootloader, the bootloader with its flash,
// and after 'E' an application that greets and echoes. A reset (a pulse
// on DTR or RTS wired to RESET) starts the bootloader, which listens for a
// second at its own rate before it starts the application.
class Target {
   public:
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    Target(const SimOptions& options, TargetOutput output);
    // One byte that finished arriving at time due, with the line at rate.
    void receive(uint8_t byte, uint32_t rate, double due);
    // Called from the event loop: the greeting as the application starts
    // (as the host's line reads it), the end of the bootloader's window
    // after a reset.
    // Returns when it wants to be called again (kNever: not before a byte).
    double poll(double now);
    void reset(double at, const std::string& cause);
    Flash& flash() { return flash_; }
    // The 4 KiB EEPROM, raw, to path.
    bool dump_eeprom(const std::string& path) const;
    std::string stats() const;

   private:
    enum class State { application, bootloader, echo_application };
    // Bytes the bootloader still expects for a command it has begun.
    enum class Pending {
        none,
        address,
        page_letters,
        page_data,
        hash_range,
        block_range,
        eeprom_count,
        eeprom_data
    };
    // How the bootloader answers one page write, after the faults asked for.
    enum class PageOutcome { ok, bad_checksum, silent, nak, odd };

    void application_byte(uint8_t byte, uint32_t rate, double at);
    void bootloader_byte(uint8_t byte, uint32_t rate, double at);
    void command(uint8_t letter, uint32_t rate, double at);
    void answer(const std::string& name, Bytes fallback, uint32_t rate, double at);
    void erase(uint32_t rate, double at);
    void address_set(uint32_t rate, double at);
    void page_letters(uint32_t rate, double at);
    void page_written(uint32_t rate, double at);
    PageOutcome page_outcome(bool intact, int occurrence) const;
    void page_hashes(uint32_t rate, double at);
    void blocks(uint32_t rate, double at);
    void eeprom_count(uint32_t rate, double at);
    void eeprom_block(uint32_t rate, double at);
    void unknown(uint8_t letter, uint32_t rate, double at);
    void refuse(uint8_t reply, double at);
    double bootloader_timers(double now);
    void hand_over(uint32_t rate, double at);
    void start_application(double at);
    void enter_bootloader(uint32_t rate);
    bool hears(uint32_t rate) const;
    int count(const std::string& name) { return ++counts_[name]; }
    bool silent(const std::string& name, int occurrence) const;
    Bytes reply_for(const std::string& name, Bytes fallback) const;
    void report_command(const std::string& name, uint32_t rate, const std::string& detail = "");

    const SimOptions& options_;
    TargetOutput out_;
    Flash flash_;
    State state_;
    uint32_t listen_rate_;
    double busy_until_ = 0;
    std::map<std::string, int> counts_;
    Pending pending_ = Pending::none;
    Bytes held_;  // bytes of a command in progress, or of a possible wake-up
    uint16_t address_ = 0;
    // The state rule (a bootloader with the memory commands): what the last
    // command leaves the bootloader ready for ('A', 'H', kIdentified after
    // 'V' 't', ...; 0 after a refusal); a refusal that waits for the line to
    // go quiet; an erase that waits to see that it came alone.
    bool guarded_;
    uint8_t ready_ = 0;
    uint8_t pending_letter_ = 0;  // 'G' or 'X' while their range comes
    uint16_t eeprom_bytes_ = 0;   // of the 'W' block coming
    bool discarding_ = false;
    uint8_t refusal_reply_ = 0;
    double last_byte_at_ = 0;
    double erase_due_ = kNever;
    std::array<uint8_t, 4096> eeprom_;
    long eeprom_writes_ = 0;
    bool greeting_due_ = false;
    double greeting_not_before_ = 0;
    double window_ends_ = kNever;  // the bootloader's listening after a reset
    long pages_written_ = 0;
    long erases_ = 0;
    long device_writes_ = 0;
    long device_erases_ = 0;
};
