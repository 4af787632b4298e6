// tamborvine-avr: an emulated ATmega128 whose USART0 is a pseudo-terminal.
//
// It loads the bootloader (and optionally an application), starts at the
// boot section as a chip with BOOTRST programmed does, prints the path of
// the pseudo-terminal on its first line (and links it where --link says),
// and runs the chip in real time (or --speed times faster). Its standard
// input takes commands, one a line:
//
//   corrupt N    flip the lowest bit of the N-th byte the host sends from now
//   flash [PATH] write the flash (131,072 bytes, raw) to PATH or --flash-out
//   reset        an external reset
//   state        report the program counter and the USART's registers
//   quit         end, writing the flash to --flash-out
//
// and its standard output reports what happens: "uart RATE" whenever the
// USART's rate changes, "lost N bytes ..." when the host's line rate and
// the USART's rate are too far apart to understand each other (the bytes
// are dropped, as a real receiver would garble them), "corrupted A to B",
// "flash written PATH", "reset".
#include <avr_uart.h>
#include <poll.h>
#include <sim_avr.h>
#include <sim_irq.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emulator.h"

namespace emulator {

namespace {

// USART0 registers of the ATmega128 in data space.
constexpr uint16_t kUbrr0L = 0x29;
constexpr uint16_t kUcsr0B = 0x2A;
constexpr uint16_t kUcsr0A = 0x2B;
constexpr uint16_t kUbrr0H = 0x90;
constexpr uint8_t kU2x0 = 1 << 1;
constexpr uint8_t kRxTxEnable = (1 << 4) | (1 << 3);

constexpr double kSliceSeconds = 0.001;    // emulated time between looks at the line
constexpr double kGiveUpLagSeconds = 0.1;  // behind by more: stop trying to catch up

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct Chip {
    const Options* options = nullptr;
    avr_t* avr = nullptr;
    PtyLine line;
    avr_irq_t* uart_input = nullptr;
    bool uart_has_room = true;
    std::deque<uint8_t> from_host;
    avr_cycle_count_t next_from_host = 0;  // when the line can carry the next byte in
    // Bytes the USART is sending, with the cycle at which their stop bit
    // ends: the host sees a byte only once it is wholly on the line.
    std::deque<std::pair<avr_cycle_count_t, uint8_t>> to_host;
    uint64_t host_bytes = 0;  // bytes taken from the host so far
    uint64_t corrupt_at = 0;  // host byte number to damage, 0 for none
    unsigned lost_from_host = 0;
    unsigned lost_to_host = 0;
    unsigned lost_last_slice = 0;
    double reported_rate = -1;
    std::string command;

    // The USART's rate as its registers set it, 0 while it is off.
    double uart_rate() const {
        const uint8_t* d = avr->data;
        if ((d[kUcsr0B] & kRxTxEnable) == 0) return 0;
        unsigned ubrr = ((d[kUbrr0H] & 0x0F) << 8) | d[kUbrr0L];
        unsigned divider = (d[kUcsr0A] & kU2x0) != 0 ? 8 : 16;
        return static_cast<double>(options->clock) / (divider * (ubrr + 1));
    }
};

constexpr double kBitsPerFrame = 10;  // start, 8 data, stop

// Cycles one frame takes on the line at the USART's rate.
avr_cycle_count_t frame_cycles(const Chip& chip) {
    double rate = chip.uart_rate();
    return static_cast<avr_cycle_count_t>(rate > 0 ? kBitsPerFrame * chip.options->clock / rate : 0);
}

void uart_output(avr_irq_t*, uint32_t value, void* param) {
    auto* chip = static_cast<Chip*>(param);
    if (!chip->line.host_present()) return;  // nobody at the other end
    double rate = chip->uart_rate();
    if (!rates_match(chip->line.host_rate(), rate)) {
        ++chip->lost_to_host;
        return;
    }
    avr_cycle_count_t start =
        chip->to_host.empty() ? chip->avr->cycle : std::max(chip->avr->cycle, chip->to_host.back().first);
    chip->to_host.emplace_back(start + frame_cycles(*chip), static_cast<uint8_t>(value));
}

// Passes on the bytes whose frames are complete.
void deliver_to_host(Chip& chip) {
    while (!chip.to_host.empty() && chip.to_host.front().first <= chip.avr->cycle) {
        chip.line.write(chip.to_host.front().second);
        chip.to_host.pop_front();
    }
    chip.line.flush_pending();
}

void uart_room(avr_irq_t*, uint32_t, void* param) { static_cast<Chip*>(param)->uart_has_room = true; }

void uart_full(avr_irq_t*, uint32_t, void* param) { static_cast<Chip*>(param)->uart_has_room = false; }

void connect_uart(Chip& chip) {
    uint32_t flags = 0;
    avr_ioctl(chip.avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    // Without this the USART sleeps whenever the firmware polls an empty
    // receiver, and each reply comes a poll-sleep late.
    flags &= ~static_cast<uint32_t>(AVR_UART_FLAG_POLL_SLEEP | AVR_UART_FLAG_STDIO);
    avr_ioctl(chip.avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    chip.uart_input = avr_io_getirq(chip.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    avr_irq_register_notify(avr_io_getirq(chip.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), uart_output,
                            &chip);
    avr_irq_register_notify(avr_io_getirq(chip.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON), uart_room,
                            &chip);
    avr_irq_register_notify(avr_io_getirq(chip.avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF), uart_full,
                            &chip);
}

uint8_t maybe_corrupt(Chip& chip, uint8_t byte) {
    ++chip.host_bytes;
    if (chip.corrupt_at == 0 || chip.host_bytes != chip.corrupt_at) return byte;
    chip.corrupt_at = 0;
    uint8_t damaged = byte ^ 0x01;
    report("corrupted %02x to %02x", byte, damaged);
    return damaged;
}

// Hands the host's bytes to the USART one frame time apart, as the line
// carries them, while its receive queue has room.
void feed_uart(Chip& chip) {
    while (chip.uart_has_room && !chip.from_host.empty() && chip.avr->cycle >= chip.next_from_host) {
        uint8_t byte = maybe_corrupt(chip, chip.from_host.front());
        chip.from_host.pop_front();
        chip.next_from_host = chip.avr->cycle + frame_cycles(chip);
        if (!rates_match(chip.line.host_rate(), chip.uart_rate())) {
            ++chip.lost_from_host;
            continue;
        }
        avr_raise_irq(chip.uart_input, byte);
    }
}

void report_line_state(Chip& chip) {
    double rate = chip.uart_rate();
    if (std::fabs(rate - chip.reported_rate) > 0.5) {
        chip.reported_rate = rate;
        report("uart %.0f", rate);
    }
    // Losses are told once a burst of them is over, not once a slice.
    unsigned lost_now = chip.lost_from_host + chip.lost_to_host;
    bool burst_goes_on = lost_now != chip.lost_last_slice;
    chip.lost_last_slice = lost_now;
    if (lost_now > 0 && !burst_goes_on) {
        report("lost %u bytes from host, %u to host: line %u, uart %.0f", chip.lost_from_host,
               chip.lost_to_host, chip.line.host_rate(), rate);
        chip.lost_from_host = chip.lost_to_host = chip.lost_last_slice = 0;
    }
}

bool save_flash(const Chip& chip, const std::string& path) {
    if (path.empty()) {
        report("no flash file named");
        return false;
    }
    if (!write_flash_file(path, chip.avr->flash, kFlashBytes)) {
        report("cannot write %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    report("flash written %s", path.c_str());
    return true;
}

void start_at_boot_section(Chip& chip) {
    chip.avr->reset_pc = kBootSectionByte;
    chip.avr->pc = kBootSectionByte;
}

void run_command(Chip& chip, const std::string& text) {
    std::string word = text.substr(0, text.find(' '));
    std::string rest = text.size() > word.size() ? text.substr(word.size() + 1) : "";
    if (word == "corrupt") {
        chip.corrupt_at = chip.host_bytes + std::strtoull(rest.c_str(), nullptr, 10);
    } else if (word == "flash") {
        save_flash(chip, rest.empty() ? chip.options->flash_path : rest);
    } else if (word == "reset") {
        avr_reset(chip.avr);
        start_at_boot_section(chip);
        report("reset");
    } else if (word == "state") {
        const uint8_t* d = chip.avr->data;
        report("state pc 0x%05x ucsr0a %02x ucsr0b %02x ubrr0 %u", chip.avr->pc, d[kUcsr0A], d[kUcsr0B],
               ((d[kUbrr0H] & 0x0F) << 8) | d[kUbrr0L]);
    } else if (word == "quit") {
        stop_requested = 1;
    } else if (!word.empty()) {
        report("unknown command %s", word.c_str());
    }
}

void read_commands(Chip& chip, bool& input_open) {
    char buf[512];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || errno != EINTR) input_open = false;  // keep serving the line
        return;
    }
    chip.command.append(buf, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = chip.command.find('\n')) != std::string::npos) {
        std::string text = chip.command.substr(0, end);
        chip.command.erase(0, end + 1);
        run_command(chip, text);
    }
}

// Runs one slice of emulated time, a frame long while the host's bytes are
// waiting to go in; false when the firmware stopped.
bool run_slice(Chip& chip) {
    avr_t* avr = chip.avr;
    auto length = static_cast<avr_cycle_count_t>(chip.options->clock * kSliceSeconds);
    if (!chip.from_host.empty())
        length = std::max<avr_cycle_count_t>(1, std::min(length, frame_cycles(chip)));
    avr_cycle_count_t end = avr->cycle + length;
    while (avr->cycle < end) {
        int state = avr_run(avr);
        if (state == cpu_Done || state == cpu_Crashed) {
            report("firmware stopped at byte address 0x%05x", avr->pc);
            return false;
        }
    }
    return true;
}

// Seconds to wait before the next slice so that emulated time keeps pace
// with the wall clock times the speed factor.
struct Pace {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    avr_cycle_count_t start_cycle = 0;

    double wait_seconds(const Chip& chip) {
        if (chip.options->speed <= 0) return 0;
        double emulated =
            static_cast<double>(chip.avr->cycle - start_cycle) / chip.options->clock / chip.options->speed;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (wall - emulated > kGiveUpLagSeconds) {
            start = std::chrono::steady_clock::now();
            start_cycle = chip.avr->cycle;
            return 0;
        }
        return emulated > wall ? emulated - wall : 0;
    }
};

// Waits for the host, a command or the next slice, whichever comes first.
void wait_for_work(Chip& chip, double seconds, bool& input_open) {
    // Without a host the master reports a hang-up at every poll: leave it
    // out then, or the wait would never wait.
    int master = chip.line.host_present() ? chip.line.master() : -1;
    pollfd fds[2] = {{master, POLLIN, 0}, {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
    timespec timeout{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
    if (ppoll(fds, 2, &timeout, nullptr) < 0) return;
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) read_commands(chip, input_open);
}

bool load_firmware(const Options& options, avr_t* avr) {
    std::vector<uint8_t> flash(kFlashBytes, 0xFF);
    std::string error;
    if (!load_hex(options.bootloader_path, flash, error) ||
        (!options.application_path.empty() && !load_hex(options.application_path, flash, error))) {
        std::fprintf(stderr, "tamborvine-avr: %s\n", error.c_str());
        return false;
    }
    std::memcpy(avr->flash, flash.data(), kFlashBytes);
    return true;
}

}  // namespace

int run(const Options& options) {
    Chip chip;
    chip.options = &options;
    chip.avr = avr_make_mcu_by_name("atmega128");
    if (chip.avr == nullptr || avr_init(chip.avr) != 0) {
        std::fprintf(stderr, "tamborvine-avr: no ATmega128 in this simulator library\n");
        return 1;
    }
    chip.avr->frequency = options.clock;
    chip.avr->log = LOG_ERROR;
    if (!load_firmware(options, chip.avr)) return 1;
    chip.avr->codeend = chip.avr->flashend;
    start_at_boot_section(chip);
    connect_uart(chip);

    if (!chip.line.open_pair() || !make_link(options.link_path, chip.line.slave_path())) {
        std::perror("tamborvine-avr: pseudo-terminal");
        return 1;
    }
    report("%s", chip.line.slave_path().c_str());

    Pace pace;
    pace.start_cycle = chip.avr->cycle;
    bool input_open = true;
    bool running = true;
    while (running && !stop_requested) {
        running = run_slice(chip);
        chip.line.read_available(chip.from_host);
        feed_uart(chip);
        deliver_to_host(chip);
        report_line_state(chip);
        wait_for_work(chip, pace.wait_seconds(chip), input_open);
    }
    if (!options.flash_path.empty()) save_flash(chip, options.flash_path);
    // Ending the process directly: the simulator's own teardown can hang.
    std::fflush(stdout);
    std::_Exit(running ? 0 : 1);
}

}  // namespace emulator

int main(int argc, char** argv) {
    emulator::Options options;
    if (!emulator::parse_options(argc, argv, options)) return 2;
    std::signal(SIGTERM, emulator::request_stop);
    std::signal(SIGINT, emulator::request_stop);
    std::signal(SIGHUP, emulator::request_stop);
    std::signal(SIGPIPE, SIG_IGN);
    return emulator::run(options);
}
