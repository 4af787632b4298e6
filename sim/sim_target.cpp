// The simulated ATmega128: the application that answers the wake-up, the
// bootloader with its 128 KiB flash, and the application that starts after
// 'E'. It follows the program's exchange tables and the faults its options
// ask for; every command it meets is reported with the line rate in force.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim/sim.h"

namespace {

constexpr const char* kWakeWord = "Mancb";  // then two divisor characters, then "cb"
constexpr std::size_t kWakeLength = 9;
constexpr const char* kGreeting = "\r\nHello from the simulated ATmega128. Type and I echo.\r\n";
constexpr double kApplicationStartSeconds = 0.05;
constexpr double kGreetingPatienceSeconds = 0.5;
constexpr std::size_t kPageDataLength = 2 * kSimPageWords + 4;  // words and checksum
constexpr uint8_t kAck = '\r';
constexpr uint8_t kUnknown = '?';

const char* const kCommandNames[] = {"hello", "p", "S", "v", "V", "t", "e", "A", "k", "l", "E"};

Bytes text_bytes(const char* text) { return Bytes(text, text + std::strlen(text)); }

std::string hex4(unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", value & 0xFFFF);
    return buf;
}

// Could these bytes still grow into the wake-up?
bool wake_prefix(const Bytes& held) {
    for (std::size_t i = 0; i < held.size(); ++i) {
        if (i < 5 && held[i] != static_cast<uint8_t>(kWakeWord[i])) return false;
        if (i == 7 && held[i] != 'c') return false;
        if (i == 8 && held[i] != 'b') return false;
    }
    return held.size() <= kWakeLength;
}

// The bootloader's rate for a divisor of the 1 MHz reference: the standard
// rate the program derives that divisor from, else the divisor's own rate.
uint32_t rate_for_divisor(unsigned divisor) {
    static const uint32_t kStandardRates[] = {1200,  2400,  4800,  9600,  14400,  19200,
                                              28800, 38400, 57600, 76800, 115200, 230400};
    for (uint32_t rate : kStandardRates)
        if (1000000 / rate - 1 == divisor) return rate;
    return 1000000 / (divisor + 1);
}

}  // namespace

bool is_target_command_name(const std::string& name) {
    for (const char* known : kCommandNames)
        if (name == known) return true;
    return false;
}

Target::Target(const SimOptions& options, TargetOutput output)
    : options_(options),
      out_(std::move(output)),
      state_(options.start_in_bootloader ? State::bootloader : State::application),
      listen_rate_(options.start_in_bootloader ? options.boot_rate : options.app_rate) {
    flash_.fill(0xFFFF);
}

bool Target::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > 2 * kSimFlashWords) return false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        uint16_t& word = flash_[i / 2];
        uint8_t b = static_cast<uint8_t>(bytes[i]);
        word = (i % 2 == 0) ? static_cast<uint16_t>((word & 0xFF00) | b)
                            : static_cast<uint16_t>((word & 0x00FF) | (b << 8));
    }
    return true;
}

bool Target::dump(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (uint16_t word : flash_) {
        out.put(static_cast<char>(word & 0xFF));
        out.put(static_cast<char>(word >> 8));
    }
    return static_cast<bool>(out);
}

std::string Target::stats() const {
    return "pages " + std::to_string(pages_written_) + " erases " + std::to_string(erases_);
}

void Target::say(const std::string& name, uint32_t rate, const std::string& detail) {
    out_.report("cmd " + std::to_string(rate) + " " + name + (detail.empty() ? "" : " " + detail));
}

bool Target::silent(const std::string& name, int occurrence) const {
    auto [first, last] = options_.silent_at.equal_range(name);
    for (auto it = first; it != last; ++it)
        if (it->second == occurrence) return true;
    return false;
}

Bytes Target::reply_for(const std::string& name, Bytes fallback) const {
    auto it = options_.replies.find(name);
    return it != options_.replies.end() ? it->second : fallback;
}

// Words of the bootloader's own section count as 0xFFFF, as in the real
// bootloader: no image ever holds them, so a page that reaches into the
// section still checks out against the image's filler words.
std::array<uint8_t, 4> Target::page_checksum(uint16_t page_start) const {
    uint16_t sum = page_start;
    uint16_t exclusive_or = page_start;
    for (int i = 0; i < kSimPageWords; ++i) {
        uint32_t w = (page_start + i) % kSimFlashWords;
        uint16_t word = w < kBootSectionWord ? flash_[w] : 0xFFFF;
        sum = static_cast<uint16_t>(sum + word);
        exclusive_or ^= word;
    }
    return {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum),
            static_cast<uint8_t>(exclusive_or >> 8), static_cast<uint8_t>(exclusive_or)};
}

void Target::receive(uint8_t byte, uint32_t rate, double due) {
    if (listen_rate_ != 0 && rate != 0 && rate != listen_rate_) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "lost %u %02x (listening at %u)", rate, byte, listen_rate_);
        out_.report(buf);
        return;
    }
    double at = due > busy_until_ ? due : busy_until_;
    if (state_ == State::bootloader)
        bootloader_byte(byte, rate, at);
    else
        application_byte(byte, rate, at);
}

void Target::application_byte(uint8_t byte, uint32_t rate, double at) {
    held_.push_back(byte);
    while (!held_.empty() && !wake_prefix(held_)) {
        if (state_ == State::echo_application) out_.send(Bytes{held_.front()}, at);
        held_.erase(held_.begin());
    }
    if (held_.size() == kWakeLength) hand_over(rate, at);
}

// The application got the wake-up: it answers and jumps to the bootloader,
// which listens at the rate the divisor names.
void Target::hand_over(uint32_t rate, double at) {
    std::string divisor(held_.begin() + 5, held_.begin() + 7);
    held_.clear();
    int n = count("hello");
    say("wake", rate, "'" + divisor + "'");
    if (!silent("hello", n)) out_.send(reply_for("hello", text_bytes("Hello!")), at);
    state_ = State::bootloader;
    greeting_due_ = false;
    listen_rate_ = rate_for_divisor(static_cast<unsigned>(std::strtoul(divisor.c_str(), nullptr, 16)));
}

void Target::start_application(double at) {
    state_ = State::echo_application;
    listen_rate_ = options_.app_rate;
    held_.clear();
    greeting_due_ = true;
    greeting_not_before_ = at + kApplicationStartSeconds;
}

bool Target::poll_greeting(double now) {
    if (!greeting_due_ || now < greeting_not_before_) return greeting_due_;
    uint32_t rate = out_.line_rate();
    if (rate == options_.app_rate || rate == 0) {
        out_.send(text_bytes(kGreeting), now);
        say("greeting", rate);
        greeting_due_ = false;
    } else if (now > greeting_not_before_ + kGreetingPatienceSeconds) {
        say("greeting-lost", rate);  // a real line would have carried garbage
        greeting_due_ = false;
    }
    return greeting_due_;
}

void Target::bootloader_byte(uint8_t byte, uint32_t rate, double at) {
    switch (pending_) {
        case Pending::none: command(byte, rate, at); return;
        case Pending::address:
            held_.push_back(byte);
            if (held_.size() < 2) return;
            {
                address_ = static_cast<uint16_t>((held_[0] << 8) | held_[1]);
                held_.clear();
                pending_ = Pending::none;
                int n = count("A");
                say("A", rate, hex4(address_));
                if (silent("A", n)) return;
                out_.send(Bytes{options_.bad_address.covers(n) ? kUnknown : kAck}, at);
            }
            return;
        case Pending::page_letters:
            held_.push_back(byte);
            if (held_.size() == 2) page_letters(rate, at);
            return;
        case Pending::page_data:
            held_.push_back(byte);
            if (held_.size() == kPageDataLength) page_written(rate, at);
            return;
    }
}

void Target::command(uint8_t letter, uint32_t rate, double at) {
    auto answer = [&](const std::string& name, Bytes fallback) {
        int n = count(name);
        say(name, rate);
        if (!silent(name, n)) out_.send(reply_for(name, std::move(fallback)), at);
        return n;
    };
    switch (letter) {
        case 'p': answer("p", Bytes{'S'}); return;
        case 'S': answer("S", text_bytes("AVRBOOT")); return;
        case 'v': answer("v", text_bytes("10")); return;
        case 'V': answer("V", text_bytes("12")); return;
        case 't': answer("t", Bytes{options_.device_code, 0}); return;
        case 'A':
            pending_ = Pending::address;
            held_.clear();
            return;
        case 'D':
            pending_ = Pending::page_letters;
            held_.clear();
            return;
        case 'e': {
            int n = count("e");
            say("e", rate);
            if (silent("e", n)) return;
            if (options_.erase_fails) {
                out_.send(Bytes{kUnknown}, at);
                return;
            }
            for (uint32_t w = 0; w < kBootSectionWord; ++w) flash_[w] = 0xFFFF;
            ++erases_;
            if (options_.pace)
                busy_until_ = at + options_.erase_ms_per_page * (kBootSectionWord / kSimPageWords) / 1000.0;
            out_.send(reply_for("e", Bytes{kAck}), busy_until_ > at ? busy_until_ : at);
            return;
        }
        case 'E': {
            int n = count("E");
            say("E", rate);
            if (!silent("E", n)) out_.send(reply_for("E", Bytes{kAck}), at);
            start_application(at);
            return;
        }
        default: {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%02x", letter);
            say("unknown", rate, buf);
            out_.send(Bytes{kUnknown}, at);
        }
    }
}

void Target::page_letters(uint32_t rate, double at) {
    Bytes letters = held_;
    held_.clear();
    pending_ = Pending::none;
    if (letters[0] == 'k' && letters[1] == 'k') {
        pending_ = Pending::page_data;
        return;
    }
    if (letters[0] != 'l' || letters[1] != 'l') {
        say("D??", rate);
        out_.send(Bytes{kUnknown}, at);
        return;
    }
    int n = count("l");
    say("l", rate, hex4(address_));
    if (silent("l", n)) return;
    std::array<uint8_t, 4> checksum = page_checksum(address_);
    if (options_.bad_checksum.covers(n)) checksum[3] ^= 0x5A;
    out_.send(Bytes(checksum.begin(), checksum.end()), at);
}

// A page of words and its checksum: the checksum is checked before the page
// is programmed; a mismatch asks for the page again. The bootloader's own
// section is never written.
void Target::page_written(uint32_t rate, double at) {
    Bytes data = held_;
    held_.clear();
    pending_ = Pending::none;
    int n = count("k");
    uint16_t sum = address_;
    uint16_t exclusive_or = address_;
    std::array<uint16_t, kSimPageWords> words{};
    for (int i = 0; i < kSimPageWords; ++i) {
        words[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        sum = static_cast<uint16_t>(sum + words[i]);
        exclusive_or ^= words[i];
    }
    const uint8_t* received = &data[2 * kSimPageWords];
    bool intact = received[0] == (sum >> 8) && received[1] == (sum & 0xFF) &&
                  received[2] == (exclusive_or >> 8) && received[3] == (exclusive_or & 0xFF);
    std::string outcome = intact ? "ok" : "bad-checksum";
    if (silent("k", n))
        outcome = "silent";
    else if (options_.nak_page.covers(n))
        outcome = "nak";
    else if (options_.odd_page_reply.covers(n))
        outcome = "odd";
    say("k", rate, hex4(address_) + " " + outcome);
    if (outcome == "silent") return;
    if (outcome == "nak" || outcome == "bad-checksum") {
        out_.send(Bytes{'N'}, at);
        return;
    }
    if (outcome == "odd") {
        out_.send(Bytes{options_.odd_reply_byte}, at);
        return;
    }
    for (int i = 0; i < kSimPageWords; ++i) {
        uint32_t w = (address_ + i) % kSimFlashWords;
        if (w < kBootSectionWord) flash_[w] = words[i];
    }
    ++pages_written_;
    if (options_.pace) busy_until_ = at + options_.page_program_ms / 1000.0;
    out_.send(Bytes{kAck}, busy_until_ > at ? busy_until_ : at);
}
