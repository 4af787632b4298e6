// The simulated ATmega128: the application that answers the wake-up, the
// bootloader with its 128 KiB flash, and the application that starts after
// 'E'. It follows the program's exchange tables and the faults its options
// ask for; every command it meets is reported with the line rate in force.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim/target.h"

namespace {

constexpr const char* kWakeWord = "Mancb";  // then two divisor characters, then "cb"
constexpr std::size_t kWakeLength = 9;
constexpr const char* kGreeting = "\r\nHello from the simulated ATmega128. Type and I echo.\r\n";
constexpr double kBootWindowSeconds = 1.0;  // the bootloader's listening after a reset
constexpr std::size_t kPageDataLength = 2 * Flash::kPageWords + 4;  // words and checksum
constexpr std::size_t kHashRangeLength = 4;                         // first page, page count
constexpr std::size_t kCrcLength = 4;
constexpr uint32_t kBlockBytes = 256;  // 'G' and 'X' send a CRC-32 after each
constexpr uint32_t kEepromBlocks = 16;
// The state rule, as the bootloader keeps it: a byte of a command that does
// not come within kByteTimeoutSeconds gives the command up; a refusal waits
// for kQuietSeconds without a byte before it answers; an erase must come
// alone for kByteTimeoutSeconds.
constexpr double kByteTimeoutSeconds = 0.05;
constexpr double kQuietSeconds = 0.03;
constexpr uint8_t kIdentified = 1;  // ready after 'V' 't'
// A USART reads 8-bit frames while the two rates differ by less than about
// 4 % (16 samples a bit, the middle three voted).
constexpr double kRateTolerance = 0.04;
// The chip's clock over 16: the hand-over divisor d names 1,000,000 / (d + 1).
constexpr uint32_t kDivisorReference = 1000000;
// Reading a blank device page to see that it is blank: 128 words at a few
// cycles each on a 16 MHz chip.
constexpr double kBlankPageReadSeconds = 90e-6;
constexpr uint8_t kAck = '\r';
constexpr uint8_t kUnknown = '?';
constexpr uint8_t kResend = 'N';

const char* const kCommandNames[] = {"hello", "p", "S", "v", "V", "t", "e", "A",
                                     "k",     "l", "H", "G", "X", "W", "E"};

Bytes text_bytes(const char* text) { return Bytes(text, text + std::strlen(text)); }

uint32_t crc_of(const uint8_t* bytes, std::size_t count) {
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes, static_cast<uInt>(count)));
}

void append_crc(Bytes& bytes, uint32_t crc) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(crc >> shift));
}

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

// The rate a divisor names on a 16 MHz chip. Unless chip_clock, the
// divisor of one of the four standard download rates names that rate
// itself, as on a chip whose clock makes it (so -t -r 115200 works, which
// a 16 MHz chip cannot: its 125,000 baud is 8.5 % off).
uint32_t rate_for_divisor(unsigned divisor, bool chip_clock) {
    if (!chip_clock)
        for (uint32_t rate : {19200u, 38400u, 57600u, 115200u})
            if (static_cast<unsigned>(static_cast<double>(kDivisorReference / rate) - 0.5) == divisor)
                return rate;
    return static_cast<uint32_t>(std::lround(static_cast<double>(kDivisorReference) / (divisor + 1.0)));
}

// The line level of bytes sent back to back (8-N-1, idle high) at time t,
// counted in the sender's bit times.
int line_level(const Bytes& sent, double t) {
    if (t < 0) return 1;
    auto bit = static_cast<std::size_t>(t);
    if (bit >= sent.size() * 10) return 1;
    std::size_t in_frame = bit % 10;
    if (in_frame == 0) return 0;  // start bit
    if (in_frame == 9) return 1;  // stop bit
    return (sent[bit / 10] >> (in_frame - 1)) & 1;
}

// What a UART at heard_rate reads of bytes sent at another rate: at each
// falling edge it takes a start bit when the line is still low half a bit
// of its own later, then samples eight data bits and the stop bit a bit of
// its own apart, and looks for the next edge after that. A frame whose stop
// bit is low is passed on as read, as a line without parity checks does.
Bytes heard_at(const Bytes& sent, uint32_t sent_rate, uint32_t heard_rate) {
    const double bit = static_cast<double>(sent_rate) / heard_rate;  // in the sender's bit times
    const std::size_t end = sent.size() * 10;
    Bytes heard;
    for (std::size_t edge = 0; edge < end;) {
        double at = static_cast<double>(edge);
        if (line_level(sent, at - 1) == 0 || line_level(sent, at) == 1 ||
            line_level(sent, at + bit / 2) == 1) {
            ++edge;
            continue;
        }
        uint8_t value = 0;
        for (int i = 0; i < 8; ++i)
            value |= static_cast<uint8_t>(line_level(sent, at + (1.5 + i) * bit) << i);
        heard.push_back(value);
        edge = static_cast<std::size_t>(at + 9.5 * bit) + 1;
    }
    return heard;
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
      listen_rate_(options.start_in_bootloader ? options.boot_rate : options.app_rate),
      guarded_(options.knows_memory) {
    eeprom_.fill(0xFF);
}

std::string Target::stats() const {
    return "pages " + std::to_string(pages_written_) + " erases " + std::to_string(erases_) +
           " device_writes " + std::to_string(device_writes_) + " device_erases " +
           std::to_string(device_erases_) + " eeprom_writes " + std::to_string(eeprom_writes_);
}

bool Target::dump_eeprom(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(eeprom_.data()), static_cast<std::streamsize>(eeprom_.size()));
    return static_cast<bool>(out);
}

void Target::report_command(const std::string& name, uint32_t rate, const std::string& detail) {
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

bool Target::hears(uint32_t rate) const {
    if (listen_rate_ == 0 || rate == 0) return true;  // nothing to compare with
    return std::fabs(static_cast<double>(rate) / listen_rate_ - 1.0) <= kRateTolerance;
}

void Target::receive(uint8_t byte, uint32_t rate, double due) {
    if (!hears(rate)) {
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

// ---- application ---------------------------------------------------------

void Target::application_byte(uint8_t byte, uint32_t rate, double at) {
    if (!options_.application_wakes) {
        if (state_ == State::echo_application) out_.send(Bytes{byte}, at);
        return;
    }
    held_.push_back(byte);
    while (!held_.empty() && !wake_prefix(held_)) {
        if (state_ == State::echo_application) out_.send(Bytes{held_.front()}, at);
        held_.erase(held_.begin());
    }
    if (held_.size() == kWakeLength) hand_over(rate, at);
}

// The application got the wake-up: it answers and jumps to the bootloader,
// which listens at the rate the divisor names on a 16 MHz chip.
void Target::hand_over(uint32_t rate, double at) {
    std::string divisor(held_.begin() + 5, held_.begin() + 7);
    int n = count("hello");
    report_command("wake", rate, "'" + divisor + "'");
    if (!silent("hello", n)) out_.send(reply_for("hello", text_bytes("Hello!")), at);
    enter_bootloader(rate_for_divisor(static_cast<unsigned>(std::strtoul(divisor.c_str(), nullptr, 16)),
                                      options_.chip_clock));
}

void Target::enter_bootloader(uint32_t rate) {
    state_ = State::bootloader;
    listen_rate_ = rate;
    held_.clear();
    pending_ = Pending::none;
    greeting_due_ = false;
    ready_ = 0;
    discarding_ = false;
    erase_due_ = kNever;
}

void Target::start_application(double at) {
    state_ = State::echo_application;
    listen_rate_ = options_.app_rate;
    held_.clear();
    pending_ = Pending::none;
    greeting_due_ = true;
    greeting_not_before_ = at + options_.app_start_ms / 1000.0;
}

void Target::reset(double at, const std::string& cause) {
    out_.drop_unsent();
    report_command("reset", out_.line_rate(), cause);
    enter_bootloader(options_.boot_rate);
    busy_until_ = 0;
    window_ends_ = at + kBootWindowSeconds;
}

double Target::poll(double now) {
    double next = state_ == State::bootloader ? bootloader_timers(now) : kNever;
    if (window_ends_ != kNever) {
        if (now < window_ends_) return std::min(next, window_ends_);
        window_ends_ = kNever;
        report_command("boot-timeout", out_.line_rate());
        start_application(now);
    }
    if (!greeting_due_) return next;
    if (now < greeting_not_before_) return std::min(next, greeting_not_before_);
    greeting_due_ = false;
    // The application greets as it starts, whatever the host's line is at:
    // a host still at another rate reads what its UART makes of it.
    uint32_t rate = out_.line_rate();
    if (hears(rate)) {
        out_.send(text_bytes(kGreeting), now);
        report_command("greeting", rate);
    } else {
        out_.send(heard_at(text_bytes(kGreeting), listen_rate_, rate), now);
        report_command("greeting-garbled", rate);
    }
    return next;
}

// ---- bootloader ----------------------------------------------------------

void Target::bootloader_byte(uint8_t byte, uint32_t rate, double at) {
    last_byte_at_ = at;
    if (discarding_) return;
    if (erase_due_ != kNever) {  // the erase did not come alone
        erase_due_ = kNever;
        report_command("refused", rate, "65");
        refuse(kUnknown, at);
        return;
    }
    if (pending_ == Pending::none) {
        // After a reset the bootloader waits for a command it knows and
        // passes over anything else (an adapter's noise as it powers up).
        if (window_ends_ != kNever) {
            const char* openers = guarded_ ? "pSvVtAEHGX" : "pSvVteADEH";
            const char* found = std::strchr(openers, byte);
            if (byte == 0 || found == nullptr || (byte == 'H' && !options_.knows_hash)) return;
            window_ends_ = kNever;
        }
        command(byte, rate, at);
        return;
    }
    held_.push_back(byte);
    switch (pending_) {
        case Pending::none: return;
        case Pending::address:
            if (held_.size() == 2) address_set(rate, at);
            return;
        case Pending::page_letters:
            if (held_.size() == 2) page_letters(rate, at);
            return;
        case Pending::page_data:
            if (held_.size() == kPageDataLength) page_written(rate, at);
            return;
        case Pending::hash_range:
            if (held_.size() == kHashRangeLength) page_hashes(rate, at);
            return;
        case Pending::block_range:
            if (held_.size() == kHashRangeLength) blocks(rate, at);
            return;
        case Pending::eeprom_count:
            if (held_.size() == 2) eeprom_count(rate, at);
            return;
        case Pending::eeprom_data:
            if (held_.size() == eeprom_bytes_ + kCrcLength) eeprom_block(rate, at);
            return;
    }
}

// A command that was given up or refused: with the state rule, what comes
// is dropped until the line has been quiet, then reply goes out; without
// it, reply goes out at once.
void Target::refuse(uint8_t reply, double at) {
    pending_ = Pending::none;
    ready_ = 0;
    if (!guarded_) {
        out_.send(Bytes{reply}, at);
        return;
    }
    discarding_ = true;
    refusal_reply_ = reply;
    last_byte_at_ = at;
}

// The bootloader's own timers: a command whose next byte is late, the
// quiet a refusal waits for, an erase that came alone. Returns when to
// look again.
double Target::bootloader_timers(double now) {
    if (discarding_) {
        if (now < last_byte_at_ + kQuietSeconds) return last_byte_at_ + kQuietSeconds;
        discarding_ = false;
        out_.send(Bytes{refusal_reply_}, last_byte_at_ + kQuietSeconds);
    }
    if (erase_due_ != kNever) {
        if (now < erase_due_) return erase_due_;
        erase_due_ = kNever;
        erase(out_.line_rate(), now);
    }
    if (guarded_ && pending_ != Pending::none) {
        if (now < last_byte_at_ + kByteTimeoutSeconds) return last_byte_at_ + kByteTimeoutSeconds;
        bool page = pending_ == Pending::page_letters || pending_ == Pending::page_data ||
                    pending_ == Pending::eeprom_data;
        report_command("timeout", out_.line_rate());
        refuse(page ? kResend : kUnknown, now);
        return now + kQuietSeconds;
    }
    return kNever;
}

void Target::answer(const std::string& name, Bytes fallback, uint32_t rate, double at) {
    int n = count(name);
    report_command(name, rate);
    if (!silent(name, n)) out_.send(reply_for(name, std::move(fallback)), at);
}

void Target::command(uint8_t letter, uint32_t rate, double at) {
    auto expect = [&](Pending what) {
        pending_ = what;
        pending_letter_ = letter;
        held_.clear();
    };
    uint8_t ready = ready_;
    ready_ = letter;
    if (guarded_ && ((letter == 'e' && ready != kIdentified && ready != 'H') ||
                     ((letter == 'D' || letter == 'W') && ready != 'A'))) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02x", letter);
        report_command("refused", rate, buf);
        refuse(kUnknown, at);
        return;
    }
    switch (letter) {
        case 'p': answer("p", Bytes{'S'}, rate, at); return;
        case 'S': answer("S", text_bytes("AVRBOOT"), rate, at); return;
        case 'v': answer("v", text_bytes("10"), rate, at); return;
        case 'V': answer("V", text_bytes("12"), rate, at); return;
        case 't':
            answer("t", Bytes{options_.device_code, 0}, rate, at);
            if (ready == 'V') ready_ = kIdentified;
            return;
        case 'e':
            if (guarded_)
                erase_due_ = at + kByteTimeoutSeconds;  // once it is clear that it came alone
            else
                erase(rate, at);
            return;
        case 'A': expect(Pending::address); return;
        case 'D': expect(Pending::page_letters); return;
        case 'H':
            if (options_.knows_hash) {
                expect(Pending::hash_range);
                return;
            }
            break;  // a bootloader of its own kind: an unknown command
        case 'G':
        case 'X':
            if (options_.knows_memory) {
                expect(Pending::block_range);
                return;
            }
            break;
        case 'W':
            if (options_.knows_memory) {
                expect(Pending::eeprom_count);
                return;
            }
            break;
        case 'E':
            answer("E", Bytes{kAck}, rate, at);
            start_application(at);
            return;
        default: break;
    }
    unknown(letter, rate, at);
}

void Target::unknown(uint8_t letter, uint32_t rate, double at) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02x", letter);
    report_command("unknown", rate, buf);
    refuse(kUnknown, at);
}

void Target::erase(uint32_t rate, double at) {
    int n = count("e");
    report_command("e", rate);
    if (silent("e", n)) return;
    if (options_.erase_fails) {
        out_.send(Bytes{kUnknown}, at);
        return;
    }
    flash_.erase_application();
    ++erases_;
    if (options_.pace) busy_until_ = at + options_.erase_ms_per_page * Flash::kApplicationPages / 1000.0;
    out_.send(reply_for("e", Bytes{kAck}), busy_until_ > at ? busy_until_ : at);
}

void Target::address_set(uint32_t rate, double at) {
    address_ = static_cast<uint16_t>((held_[0] << 8) | held_[1]);
    pending_ = Pending::none;
    int n = count("A");
    report_command("A", rate, hex4(address_));
    if (silent("A", n)) return;
    if (options_.bad_address.covers(n)) ready_ = 0;
    out_.send(Bytes{options_.bad_address.covers(n) ? kUnknown : kAck}, at);
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
        report_command("D??", rate);
        // The page may follow: the bootloader lets it pass and asks for it
        // again (an older one answered '?' at once).
        refuse(guarded_ ? kResend : kUnknown, at);
        return;
    }
    int n = count("l");
    report_command("l", rate, hex4(address_));
    if (silent("l", n)) return;
    std::array<uint8_t, 4> checksum = flash_.checksum(address_);
    if (options_.bad_checksum.covers(n)) checksum[3] ^= 0x5A;
    out_.send(Bytes(checksum.begin(), checksum.end()), at);
}

Target::PageOutcome Target::page_outcome(bool intact, int occurrence) const {
    if (silent("k", occurrence)) return PageOutcome::silent;
    if (options_.nak_page.covers(occurrence)) return PageOutcome::nak;
    if (options_.odd_page_reply.covers(occurrence)) return PageOutcome::odd;
    return intact ? PageOutcome::ok : PageOutcome::bad_checksum;
}

// A page of words and its checksum: the checksum is checked before the page
// is programmed; a mismatch asks for the page again.
void Target::page_written(uint32_t rate, double at) {
    static const char* const kOutcomeNames[] = {"ok", "bad-checksum", "silent", "nak", "odd"};
    const uint8_t* data = held_.data();
    pending_ = Pending::none;
    int n = count("k");
    uint16_t sum = address_;
    uint16_t exclusive_or = address_;
    std::array<uint16_t, Flash::kPageWords> words{};
    for (uint32_t i = 0; i < Flash::kPageWords; ++i) {
        words[i] = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        sum = static_cast<uint16_t>(sum + words[i]);
        exclusive_or ^= words[i];
    }
    const uint8_t* received = &data[2 * Flash::kPageWords];
    bool intact = received[0] == (sum >> 8) && received[1] == (sum & 0xFF) &&
                  received[2] == (exclusive_or >> 8) && received[3] == (exclusive_or & 0xFF);
    PageOutcome outcome = page_outcome(intact, n);
    report_command("k", rate, hex4(address_) + " " + kOutcomeNames[static_cast<int>(outcome)]);
    switch (outcome) {
        case PageOutcome::silent: return;
        case PageOutcome::nak:
        case PageOutcome::bad_checksum: out_.send(Bytes{kResend}, at); return;
        case PageOutcome::odd: out_.send(Bytes{options_.odd_reply_byte}, at); return;
        case PageOutcome::ok: break;
    }
    Flash::WriteCost cost = flash_.write_host_page(address_, words);
    ++pages_written_;
    device_writes_ += cost.programmed;
    device_erases_ += cost.erased;
    if (options_.pace)
        busy_until_ =
            at +
            (cost.programmed * options_.page_program_ms + cost.erased * options_.erase_ms_per_page) / 1000.0;
    out_.send(Bytes{kAck}, busy_until_ > at ? busy_until_ : at);
}

// 'H', first page and page count (high bytes first): the CRC-32 of each
// page, most significant byte first, each sent as soon as it is computed,
// then '\r'. A count of 0 asks only whether 'H' is known.
void Target::page_hashes(uint32_t rate, double at) {
    uint32_t first = (held_[0] << 8) | held_[1];
    uint32_t pages = (held_[2] << 8) | held_[3];
    pending_ = Pending::none;
    int n = count("H");
    bool in_range = pages == 0 || first + pages <= Flash::kApplicationPages;
    report_command("H", rate,
                   std::to_string(first) + " " + std::to_string(pages) + (in_range ? "" : " out-of-range"));
    if (silent("H", n)) return;
    if (!in_range) {
        refuse(kUnknown, at);
        return;
    }
    double done = at;
    for (uint32_t page = first; page < first + pages; ++page) {
        if (options_.pace)
            done += flash_.page_blank(page) ? kBlankPageReadSeconds : options_.hash_us_per_page / 1e6;
        uint32_t crc = flash_.page_crc(page);
        out_.send(Bytes{static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                        static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)},
                  done);
    }
    if (options_.pace) busy_until_ = done;
    out_.send(Bytes{kAck}, done);
}

// 'G' (flash pages) and 'X' (EEPROM blocks of 256 bytes), first block and
// block count (high bytes first): each block's bytes and their CRC-32, then
// '\r'. A count of 0 asks only whether the command is known.
void Target::blocks(uint32_t rate, double at) {
    const bool eeprom = pending_letter_ == 'X';
    const std::string name = eeprom ? "X" : "G";
    uint32_t first = (held_[0] << 8) | held_[1];
    uint32_t count = (held_[2] << 8) | held_[3];
    pending_ = Pending::none;
    int n = this->count(name);
    uint32_t limit = eeprom ? kEepromBlocks : Flash::kApplicationPages;
    bool in_range = count == 0 || first + count <= limit;
    report_command(name, rate,
                   std::to_string(first) + " " + std::to_string(count) + (in_range ? "" : " out-of-range"));
    if (silent(name, n)) return;
    if (!in_range) {
        refuse(kUnknown, at);
        return;
    }
    Bytes answer;
    for (uint32_t block = first; block < first + count; ++block) {
        std::size_t start = answer.size();
        for (uint32_t i = 0; i < kBlockBytes; ++i) {
            uint32_t byte = block * kBlockBytes + i;
            uint16_t word = flash_.word_at(byte / 2);
            answer.push_back(eeprom ? eeprom_[byte] : static_cast<uint8_t>(byte % 2 ? word >> 8 : word));
        }
        append_crc(answer, crc_of(answer.data() + start, kBlockBytes));
    }
    answer.push_back(kAck);
    out_.send(answer, at);
}

// 'W' right after 'A' (the EEPROM byte address): the byte count, at most
// 256, high byte first.
void Target::eeprom_count(uint32_t rate, double at) {
    eeprom_bytes_ = static_cast<uint16_t>((held_[0] << 8) | held_[1]);
    if (eeprom_bytes_ > kBlockBytes || address_ + eeprom_bytes_ > eeprom_.size()) {
        report_command("W", rate, hex4(address_) + " " + std::to_string(eeprom_bytes_) + " out-of-range");
        refuse(kUnknown, at);
        return;
    }
    pending_ = Pending::eeprom_data;
    held_.clear();
}

// The block and the CRC-32 of its address, count and bytes: each byte that
// differs is written (--eeprom-ms each with --pace), then '\r'; a block
// that does not check out is asked for again with 'N'.
void Target::eeprom_block(uint32_t rate, double at) {
    pending_ = Pending::none;
    int n = count("W");
    Bytes covered{static_cast<uint8_t>(address_ >> 8), static_cast<uint8_t>(address_),
                  static_cast<uint8_t>(eeprom_bytes_ >> 8), static_cast<uint8_t>(eeprom_bytes_)};
    covered.insert(covered.end(), held_.begin(), held_.begin() + eeprom_bytes_);
    Bytes expected;
    append_crc(expected, crc_of(covered.data(), covered.size()));
    bool intact = std::equal(expected.begin(), expected.end(), held_.begin() + eeprom_bytes_);
    report_command("W", rate,
                   hex4(address_) + " " + std::to_string(eeprom_bytes_) + (intact ? " ok" : " bad-crc"));
    if (silent("W", n)) return;
    if (!intact) {
        out_.send(Bytes{kResend}, at);
        return;
    }
    int written = 0;
    for (uint16_t i = 0; i < eeprom_bytes_; ++i) {
        if (eeprom_[address_ + i] == held_[i]) continue;
        eeprom_[address_ + i] = held_[i];
        ++written;
    }
    eeprom_writes_ += written;
    if (options_.pace) busy_until_ = at + written * options_.eeprom_ms_per_byte / 1000.0;
    out_.send(Bytes{kAck}, busy_until_ > at ? busy_until_ : at);
}
