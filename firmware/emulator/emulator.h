// The emulated ATmega128: its options, the firmware loader and the serial
// line that joins USART0 to a pseudo-terminal.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace emulator {

constexpr uint32_t kFlashBytes = 0x20000;
constexpr uint32_t kBootSectionByte = 0x1F800;  // 1,024-word boot section
constexpr uint32_t kDefaultClock = 16000000;

struct Options {
    std::string bootloader_path;
    std::string application_path;
    std::string link_path;
    std::string flash_path;
    uint32_t clock = kDefaultClock;
    double speed = 1.0;  // emulated time per wall-clock time; 0 = flat out
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
    void write(uint8_t byte);
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

int run(const Options& options);

}  // namespace emulator
