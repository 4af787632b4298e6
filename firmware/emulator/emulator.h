// The emulated chip: the AVR boards it can be, its options, the firmware
// loader, USART0 with the line's timing, and the pseudo-terminal the line
// ends in.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct avr_t;

namespace emulator {

constexpr uint32_t kDefaultClock = 16000000;

// USART0's registers, as data-space addresses.
struct UsartRegisters {
    uint16_t data;       // UDR0
    uint16_t status;     // UCSR0A
    uint16_t control;    // UCSR0B
    uint16_t rate_low;   // UBRR0L
    uint16_t rate_high;  // UBRR0H
};

// A chip as a board carries it: the simulator's core of that name, the
// boot section its fuses set (BOOTRST programmed: every reset starts
// there) and whether its lock bits keep SPM from writing there, and whether
// the board resets when a program opens its port (the USB boards'
// auto-reset).
struct ChipModel {
    const char* name;     // as the simulator and the command line name it
    uint32_t boot_start;  // byte address of the boot section
    bool boot_locked;
    bool reset_on_open;
    UsartRegisters usart;
    double eeprom_write_seconds;  // how long the EEPROM takes to write a byte; 0: at once
};

// The chip of that name, nullptr when there is none.
const ChipModel* find_chip(const std::string& name);
// The names of every chip, for the usage.
std::string chip_names();

struct Options {
    const ChipModel* chip = find_chip("atmega128");
    std::string bootloader_path;
    std::string application_path;
    std::string link_path;
    std::string flash_path;
    uint32_t clock = kDefaultClock;
    double speed = 1.0;                 // emulated time per wall-clock time; 0 = flat out
    bool trace = false;                 // report every byte on the line with its cycle
    std::optional<bool> reset_on_open;  // the chip's own choice when not given
    int rfc2217_port = -1;              // serve the line on 127.0.0.1:port too (0: any free port)
    int missed_resets = 0;              // modem-line resets that do not reach the chip, from the first
};

// Parses the command line; on a bad one prints why and returns false.
bool parse_options(int argc, char** argv, Options& options);

// Reads an Intel HEX file into flash (byte addressed; data past its size
// is refused), raising end to the end of the data it held; on failure
// returns false with the reason in error.
bool load_hex(const std::string& path, std::vector<uint8_t>& flash, uint32_t& end, std::string& error);

// Writes the bytes (the flash, the EEPROM) to path, replacing the file in
// one step so that a reader never sees half of it.
bool write_memory_file(const std::string& path, const uint8_t* bytes, std::size_t size);

// The chip's end of the line: the master side of a pseudo-terminal pair;
// the host opens the slave.
class PtyLine {
   public:
    bool open_pair();
    int master() const { return master_fd_; }
    const std::string& slave_path() const { return slave_path_; }
    // Whether a host has the slave open.
    bool host_present() const;
    // Whether a host opened the slave since the last call (however briefly,
    // and however soon after another host closed it).
    bool take_opened();
    // The rate the host set on its side, 0 when unknown.
    uint32_t host_rate() const;
    // Reads what the host sent, without waiting.
    void read_available(std::deque<uint8_t>& into);
    // Writes without waiting; what the line cannot take now is kept, up to
    // a limit beyond which bytes are lost as on a wire nobody listens to.
    // With no bytes it only passes on what was kept.
    void write(const std::deque<uint8_t>& bytes);
    void flush_pending();

   private:
    int master_fd_ = -1;
    int open_watch_ = -1;  // inotify, for the opens of the slave
    std::string slave_path_;
    std::deque<uint8_t> pending_;
};

// Why the chip started again. External: the RESET pin (a command, the
// port opened, a modem line's pulse); watchdog: the chip's own.
enum class ResetCause { external, power_on, watchdog };

// The simulator's core as the board's chip: the firmware in its flash,
// every reset starting at the boot section, SPM as the chip does it (a
// write only clears bits; a locked boot section stays as it is), the reset
// cause in MCUSR (PORF at power-on, EXTRF, WDRF; the firmware reads and
// clears it), the flash and the EEPROM written out.
class Core {
   public:
    Core();
    ~Core();
    // Makes the chip and loads the firmware; false (said on standard error)
    // when it cannot.
    bool make(const Options& options);
    avr_t* avr() const { return avr_; }
    // Called after every reset, the chip's own (its watchdog) and ours, with
    // the cause.
    void on_reset(std::function<void(ResetCause)> callback) { on_reset_ = std::move(callback); }
    // A reset from outside: external or power-on.
    void reset(ResetCause cause);
    bool write_flash(const std::string& path) const;
    bool write_eeprom(const std::string& path) const;

   private:
    struct ResetHook;
    bool load_firmware(const Options& options);
    void keep_past_the_end(const std::vector<uint8_t>& image);

    const ChipModel* model_ = nullptr;
    avr_t* avr_ = nullptr;
    uint32_t flash_bytes_ = 0;  // the chip's flash
    std::unique_ptr<ResetHook> hook_;
    std::function<void(ResetCause)> on_reset_;
    std::optional<ResetCause> resetting_;  // while a reset of ours runs
};

// Points link at target (atomically replacing an old link).
bool make_link(const std::string& link, const std::string& target);

// Whether a USART at uart_rate reads bytes sent at line_rate (and the other
// way round) without garbling them.
bool rates_match(uint32_t line_rate, double uart_rate);

// USART0 as the firmware sees it and as the line carries it. Every byte takes
// one frame (start bit, 8 data bits, stop bit) of emulated cycles: bytes from
// the host at the host's rate, one after the other; bytes from the chip at
// the USART's rate. The receiver holds two bytes besides the one it is
// shifting in, and a byte that finds it full when the next one starts is
// lost (an overrun); the transmitter takes one byte while it shifts another
// out, as on the chip. The simulator's own USART model is bypassed for the
// data and status registers (its frames are 11 bits long, and it hands over
// queued bytes one frame after each read, so a firmware that fell behind
// could never catch up). USART0's interrupts are not emulated: the firmware
// polls.
class Usart {
   public:
    struct Losses {
        unsigned from_host = 0;  // garbled: the rates did not match
        unsigned to_host = 0;
        unsigned overrun = 0;  // the firmware took received bytes too late
    };
    struct TraceEntry {
        uint64_t cycle;  // when the byte's stop bit ended
        bool from_host;
        uint8_t byte;
    };

    // Takes over the data and status registers of the chip's USART0.
    void attach(avr_t* avr, const UsartRegisters& registers, uint32_t clock);
    // After a chip reset: buffers empty, settings cleared, nothing shifting.
    void reset();
    // The rate its registers set, 0 while receiver and transmitter are off.
    double rate() const;
    // The host's end of the line as it is now: present, and at what rate
    // (0 when unknown).
    void set_host(bool present, uint32_t rate);
    // A byte from the host; it goes on the line once the bytes before it are
    // through.
    void send(uint8_t byte);
    // Bytes from the chip that are wholly on the line and reach the host.
    std::deque<uint8_t>& delivered() { return delivered_; }
    // Nothing shifting out and nothing waiting in UDR0: what the chip said
    // is wholly on the line.
    bool transmitter_idle() const { return !sending_; }
    Losses take_losses();
    // With tracing on, every byte that crossed the line, oldest first.
    void set_trace(bool on) { trace_ = on; }
    std::vector<TraceEntry>& trace() { return trace_entries_; }

   private:
    static uint8_t read_data(avr_t* avr, uint16_t addr, void* param);
    static void write_data(avr_t* avr, uint16_t addr, uint8_t value, void* param);
    static void write_status(avr_t* avr, uint16_t addr, uint8_t value, void* param);
    static void write_control(avr_t* avr, uint16_t addr, uint8_t value, void* param);
    static uint64_t receive_done(avr_t* avr, uint64_t when, void* param);
    static uint64_t send_done(avr_t* avr, uint64_t when, void* param);

    uint64_t frame_cycles(double rate) const;
    void publish_status();
    uint64_t put_on_line();
    uint64_t next_from_host(uint64_t when);
    void settle_held_byte();
    void take_received(uint8_t byte);
    uint64_t start_sending(uint8_t byte);
    uint64_t next_to_host(uint64_t when);
    void record(uint64_t cycle, bool from_host, uint8_t byte);

    avr_t* avr_ = nullptr;
    UsartRegisters registers_{};
    uint32_t clock_ = 0;
    bool host_present_ = false;
    uint32_t host_rate_ = 0;
    uint8_t settings_ = 0;  // U2X and MPCM as last written
    // Receiver: the host's bytes not yet on the line, the one on it, the
    // two-byte buffer, and a byte held in the shift register while the
    // buffer is full.
    std::deque<uint8_t> waiting_;
    bool receiving_ = false;
    uint8_t on_line_ = 0;
    bool on_line_garbled_ = false;
    std::deque<uint8_t> received_;
    bool held_ = false;
    uint8_t held_byte_ = 0;
    bool overrun_ = false;
    uint8_t last_read_ = 0;
    // Transmitter: the byte shifting out and the one waiting in UDR0.
    bool sending_ = false;
    uint8_t shifting_ = 0;
    bool shifting_lost_ = false;
    bool buffer_full_ = false;
    uint8_t buffer_ = 0;
    bool sent_ = false;  // TXC
    std::deque<uint8_t> delivered_;
    Losses losses_;
    bool trace_ = false;
    std::vector<TraceEntry> trace_entries_;
};

int run(const Options& options);

}  // namespace emulator
