// The emulated ATmega128: its options, the firmware loader, USART0 with the
// line's timing, and the pseudo-terminal the line ends in.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct avr_t;

namespace emulator {

constexpr uint32_t kFlashBytes = 0x20000;
constexpr uint32_t kEepromBytes = 0x1000;
constexpr uint32_t kBootSectionByte = 0x1F800;  // 1,024-word boot section
constexpr uint32_t kDefaultClock = 16000000;

struct Options {
    std::string bootloader_path;
    std::string application_path;
    std::string link_path;
    std::string flash_path;
    uint32_t clock = kDefaultClock;
    double speed = 1.0;  // emulated time per wall-clock time; 0 = flat out
    bool trace = false;  // report every byte on the line with its cycle
};

// Parses the command line; on a bad one prints why and returns false.
bool parse_options(int argc, char** argv, Options& options);

// Reads an Intel HEX file into flash (byte addressed, kFlashBytes long);
// on failure returns false with the reason in error.
bool load_hex(const std::string& path, std::vector<uint8_t>& flash, std::string& error);

// Writes the flash bytes to path, replacing the file in one step so that a
// reader never sees half of it.
bool write_flash_file(const std::string& path, const uint8_t* flash, std::size_t size);

// The chip's end of the line: the master side of a pseudo-terminal pair;
// the host opens the slave.
class PtyLine {
   public:
    bool open_pair();
    int master() const { return master_fd_; }
    const std::string& slave_path() const { return slave_path_; }
    // Whether a host has the slave open.
    bool host_present() const;
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
    std::string slave_path_;
    std::deque<uint8_t> pending_;
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
    void attach(avr_t* avr, uint32_t clock);
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
