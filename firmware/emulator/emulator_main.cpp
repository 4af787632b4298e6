// tamborvine-avr: an emulated ATmega128 whose USART0 is a pseudo-terminal.
//
// It loads the bootloader (and optionally an application), starts at the
// boot section as a chip with BOOTRST programmed does, prints the path of
// the pseudo-terminal on its first line (and links it where --link says),
// and runs the chip in real time (or --speed times faster). Its standard
// input takes commands, one a line:
//
//   corrupt N    flip the lowest bit of the N-th byte the host sends from now
//   drop N       lose the N-th byte the host sends from now
//   flash [PATH] write the flash (131,072 bytes, raw) to PATH or --flash-out
//   dump-eeprom PATH  write the EEPROM (4,096 bytes, raw) to PATH
//   reset        an external reset
//   state        report the program counter, the USART's registers, the
//                cycle count and how far the chip fell behind the wall clock
//                at most since the last state report
//   quit         end, writing the flash to --flash-out
//
// and its standard output reports what happens: "uart RATE" whenever the
// USART's rate changes, "lost N bytes ..." when the host's line rate and
// the USART's rate are too far apart to understand each other (the bytes
// are dropped, as a real receiver would garble them), "overrun N bytes ..."
// when the firmware took received bytes too late, "corrupted A to B",
// "dropped XX", "flash written PATH", "eeprom written PATH", "reset", and
// with --trace "line CYCLE host XX" and
// "line CYCLE chip XX" for every byte from the host and from the chip, at
// the cycle its stop bit ended.
//
// Real time at 1,000,000 baud: the line's bytes move at their cycles inside
// the emulated time (see Usart), so the chip runs in slices and between
// slices only reads and writes the pseudo-terminal; the simulator itself
// runs this chip about three times faster than real time on one core. A
// slice runs ahead of the wall clock, and what the chip says reaches the
// host when the wall clock gets there. A host byte lands at the cycle the
// chip has reached, so while the line is busy the slices are short: a byte
// that answers the chip lands close to the moment it was written, not up to
// a whole slice later at every change of direction. A slice also ends where
// a reply of the chip is wholly on the line, so that the reply is not held
// back until the slice's end.
#include <avr_eeprom.h>
#include <avr_flash.h>
#include <poll.h>
#include <sim_avr.h>
#include <sim_cycle_timers.h>
#include <sim_io.h>
#include <sys/prctl.h>
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

// USART0 registers of the ATmega128 in data space, for the state report.
constexpr uint16_t kUbrr0L = 0x29;
constexpr uint16_t kUcsr0B = 0x2A;
constexpr uint16_t kUcsr0A = 0x2B;
constexpr uint16_t kUbrr0H = 0x90;

// Emulated time between looks at the host and the wall clock: short while
// bytes cross the line (and for a while after), longer while it is quiet.
// The line's timing inside the emulated time does not depend on it: bytes
// cross at the cycles their frames end.
constexpr double kSliceSeconds = 0.001;
constexpr double kBusySliceSeconds = 0.0001;
constexpr double kBusyAfterSeconds = 0.02;  // the line counts as busy this long after a byte
constexpr double kGiveUpLagSeconds = 0.1;   // behind by more: stop trying to catch up

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
    Usart usart;
    std::deque<uint8_t> from_host;
    uint64_t host_bytes = 0;  // bytes taken from the host so far
    uint64_t corrupt_at = 0;  // host byte number to damage, 0 for none
    uint64_t drop_at = 0;     // host byte number to lose, 0 for none
    Usart::Losses lost;       // the losses of the burst going on
    bool lost_last_slice = false;
    double reported_rate = -1;
    double max_lag = 0;       // seconds behind the wall clock, at most, since the last state report
    uint64_t busy_until = 0;  // cycle up to which the line counts as busy
    std::string command;
};

void note_busy_line(Chip& chip) {
    chip.busy_until = chip.avr->cycle + static_cast<uint64_t>(chip.options->clock * kBusyAfterSeconds);
}

// Whether the host's next byte reaches the line (drop N loses it).
bool arrives(Chip& chip, uint8_t byte) {
    ++chip.host_bytes;
    if (chip.drop_at == 0 || chip.host_bytes != chip.drop_at) return true;
    chip.drop_at = 0;
    report("dropped %02x", byte);
    return false;
}

uint8_t maybe_corrupt(Chip& chip, uint8_t byte) {
    if (chip.corrupt_at == 0 || chip.host_bytes != chip.corrupt_at) return byte;
    chip.corrupt_at = 0;
    uint8_t damaged = byte ^ 0x01;
    report("corrupted %02x to %02x", byte, damaged);
    return damaged;
}

void deliver_to_host(Chip& chip) {
    if (!chip.usart.delivered().empty()) note_busy_line(chip);
    chip.line.write(chip.usart.delivered());
    chip.usart.delivered().clear();
}

void report_trace(Chip& chip) {
    auto& entries = chip.usart.trace();
    if (entries.empty()) return;
    for (const auto& e : entries)
        std::printf("line %llu %s %02x\n", static_cast<unsigned long long>(e.cycle),
                    e.from_host ? "host" : "chip", e.byte);
    std::fflush(stdout);
    entries.clear();
}

void report_line_state(Chip& chip) {
    double rate = chip.usart.rate();
    if (std::fabs(rate - chip.reported_rate) > 0.5) {
        chip.reported_rate = rate;
        report("uart %.0f", rate);
    }
    // Losses are told once a burst of them is over, not once a slice.
    Usart::Losses now = chip.usart.take_losses();
    bool burst_goes_on = now.from_host + now.to_host + now.overrun != 0;
    chip.lost.from_host += now.from_host;
    chip.lost.to_host += now.to_host;
    chip.lost.overrun += now.overrun;
    if (burst_goes_on || !chip.lost_last_slice) {
        chip.lost_last_slice = burst_goes_on;
        return;
    }
    chip.lost_last_slice = false;
    if (chip.lost.from_host + chip.lost.to_host != 0)
        report("lost %u bytes from host, %u to host: line %u, uart %.0f", chip.lost.from_host,
               chip.lost.to_host, chip.line.host_rate(), rate);
    if (chip.lost.overrun != 0)
        report("overrun %u bytes from host: the firmware took them too late, uart %.0f", chip.lost.overrun,
               rate);
    chip.lost = Usart::Losses{};
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

// The simulator copies its EEPROM into the buffer named (its answer is -1
// all the same).
bool save_eeprom(const Chip& chip, const std::string& path) {
    uint8_t bytes[kEepromBytes];
    avr_eeprom_desc_t desc{bytes, 0, kEepromBytes};
    avr_ioctl(chip.avr, AVR_IOCTL_EEPROM_GET, &desc);
    if (path.empty() || !write_flash_file(path, desc.ee, kEepromBytes)) {
        report("cannot write the eeprom to %s", path.c_str());
        return false;
    }
    report("eeprom written %s", path.c_str());
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
    } else if (word == "drop") {
        chip.drop_at = chip.host_bytes + std::strtoull(rest.c_str(), nullptr, 10);
    } else if (word == "dump-eeprom") {
        save_eeprom(chip, rest);
    } else if (word == "flash") {
        save_flash(chip, rest.empty() ? chip.options->flash_path : rest);
    } else if (word == "reset") {
        avr_reset(chip.avr);
        chip.usart.reset();
        start_at_boot_section(chip);
        report("reset");
    } else if (word == "state") {
        const uint8_t* d = chip.avr->data;
        report("state pc 0x%05x ucsr0a %02x ucsr0b %02x ubrr0 %u cycle %llu behind %.3f ms", chip.avr->pc,
               d[kUcsr0A], d[kUcsr0B], ((d[kUbrr0H] & 0x0F) << 8) | d[kUbrr0L],
               static_cast<unsigned long long>(chip.avr->cycle), chip.max_lag * 1e3);
        chip.max_lag = 0;
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

// Runs the chip up to the cycle end, with stop_at_reply no further than
// the end of a reply that is wholly on the line; false when the firmware
// stopped.
bool run_chip(Chip& chip, avr_cycle_count_t end, bool stop_at_reply) {
    avr_t* avr = chip.avr;
    while (avr->cycle < end) {
        int state = avr_run(avr);
        if (state == cpu_Done || state == cpu_Crashed) {
            report("firmware stopped at byte address 0x%05x", avr->pc);
            return false;
        }
        if (stop_at_reply && !chip.usart.delivered().empty() && chip.usart.transmitter_idle()) break;
    }
    return true;
}

// One slice of emulated time, or less when a reply of the chip is wholly on
// the line before its end.
bool run_slice(Chip& chip) {
    double seconds = chip.avr->cycle < chip.busy_until ? kBusySliceSeconds : kSliceSeconds;
    return run_chip(chip, chip.avr->cycle + static_cast<avr_cycle_count_t>(chip.options->clock * seconds),
                    true);
}

// Seconds to wait before the next slice so that emulated time keeps pace
// with the wall clock times the speed factor.
struct Pace {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    avr_cycle_count_t start_cycle = 0;

    double wait_seconds(Chip& chip) {
        if (chip.options->speed <= 0) return 0;
        double emulated =
            static_cast<double>(chip.avr->cycle - start_cycle) / chip.options->clock / chip.options->speed;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        chip.max_lag = std::max(chip.max_lag, wall - emulated);
        if (wall - emulated > kGiveUpLagSeconds) {
            start = std::chrono::steady_clock::now();
            start_cycle = chip.avr->cycle;
            return 0;
        }
        return emulated > wall ? emulated - wall : 0;
    }

    // The cycle the wall clock has reached, at most the give-up lag past the
    // chip's own.
    avr_cycle_count_t cycle_now(const Chip& chip) const {
        if (chip.options->speed <= 0) return chip.avr->cycle;
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double cycles = wall * chip.options->clock * chip.options->speed;
        double most = chip.avr->cycle + kGiveUpLagSeconds * chip.options->clock * chip.options->speed;
        return static_cast<avr_cycle_count_t>(std::min(start_cycle + cycles, most));
    }
};

// What the host wrote goes on the line, one frame after the other, from the
// moment it was read: a chip behind the wall clock is first run up to that
// moment (what it says meanwhile is late already and leaves at once). The
// host's rate is looked at after its bytes are read: a host sets its rate
// before it writes at it. False when the firmware stopped.
bool take_from_host(Chip& chip, const Pace& pace) {
    chip.line.read_available(chip.from_host);
    chip.usart.set_host(chip.line.host_present(), chip.line.host_rate());
    if (chip.from_host.empty()) return true;
    note_busy_line(chip);
    bool running = run_chip(chip, pace.cycle_now(chip), false);
    for (uint8_t byte : chip.from_host)
        if (arrives(chip, byte)) chip.usart.send(maybe_corrupt(chip, byte));
    chip.from_host.clear();
    return running;
}

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

// The simulator's page write copies the page buffer over the flash; the
// chip's can only clear bits (only an erase sets them), so a page written
// without its erase holds the old bits AND the new ones. Emulated so, a
// bootloader that forgets an erase cannot pass here.
using IoControl = int (*)(avr_io_t*, uint32_t, void*);
IoControl simulator_flash_control = nullptr;

int flash_control_as_on_the_chip(avr_io_t* io, uint32_t request, void* param) {
    auto* flash = reinterpret_cast<avr_flash_t*>(io);
    avr_t* avr = io->avr;
    if (request != AVR_IOCTL_FLASH_SPM || !avr_regbit_get(avr, flash->pgwrt) ||
        avr_regbit_get(avr, flash->pgers))
        return simulator_flash_control(io, request, param);
    uint32_t high = avr->rampz != 0 ? avr->data[avr->rampz] : 0;
    uint32_t z = (high << 16) | (avr->data[31] << 8) | avr->data[30];
    uint32_t page = z & ~(flash->spm_pagesize - 1u);
    if (page + flash->spm_pagesize > kFlashBytes) return simulator_flash_control(io, request, param);
    std::vector<uint8_t> before(avr->flash + page, avr->flash + page + flash->spm_pagesize);
    int result = simulator_flash_control(io, request, param);
    for (std::size_t i = 0; i < before.size(); ++i) avr->flash[page + i] &= before[i];
    return result;
}

void program_flash_as_on_the_chip(avr_t* avr) {
    for (avr_io_t* io = avr->io_port; io != nullptr; io = io->next) {
        if (io->kind != nullptr && std::strcmp(io->kind, "flash") == 0 && io->ioctl != nullptr) {
            simulator_flash_control = io->ioctl;
            io->ioctl = flash_control_as_on_the_chip;
        }
    }
}

// The simulator writes an EEPROM byte at once; the chip takes 8.5 ms, and
// meanwhile EEWE stays set and the EEPROM takes neither a read nor another
// write. Emulated so, a firmware that does not wait for a write cannot
// pass here.
constexpr uint16_t kEecr = 0x3C;                // EECR in data space
constexpr uint8_t kEepromRead = 1 << 0;         // EERE
constexpr uint8_t kEepromWrite = 1 << 1;        // EEWE
constexpr uint8_t kEepromWriteEnable = 1 << 2;  // EEMWE
constexpr double kEepromWriteSeconds = 0.0085;

struct EepromWrites {
    avr_io_write_t simulator_control = nullptr;
    void* simulator_param = nullptr;
    avr_cycle_count_t busy_until = 0;
} eeprom_writes;

avr_cycle_count_t eeprom_write_done(avr_t* avr, avr_cycle_count_t, void*) {
    avr->data[kEecr] &= static_cast<uint8_t>(~kEepromWrite);
    return 0;
}

void eeprom_control_as_on_the_chip(avr_t* avr, avr_io_addr_t addr, uint8_t value, void*) {
    if (avr->cycle < eeprom_writes.busy_until) {
        avr->data[addr] = static_cast<uint8_t>((value & ~kEepromRead) | kEepromWrite);
        return;
    }
    bool starts_write = (value & kEepromWrite) != 0 && (value & kEepromWriteEnable) != 0;
    eeprom_writes.simulator_control(avr, addr, value, eeprom_writes.simulator_param);
    if (!starts_write) return;
    auto cycles = static_cast<avr_cycle_count_t>(avr->frequency * kEepromWriteSeconds);
    eeprom_writes.busy_until = avr->cycle + cycles;
    avr->data[addr] |= kEepromWrite;
    avr_cycle_timer_register(avr, cycles, eeprom_write_done, nullptr);
}

void write_eeprom_as_on_the_chip(avr_t* avr) {
    auto& control = avr->io[AVR_DATA_TO_IO(kEecr)].w;
    eeprom_writes.simulator_control = control.c;
    eeprom_writes.simulator_param = control.param;
    control.c = eeprom_control_as_on_the_chip;
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
    program_flash_as_on_the_chip(chip.avr);
    write_eeprom_as_on_the_chip(chip.avr);
    chip.usart.attach(chip.avr, options.clock);
    chip.usart.set_trace(options.trace);

    if (!chip.line.open_pair() || !make_link(options.link_path, chip.line.slave_path())) {
        std::perror("tamborvine-avr: pseudo-terminal");
        return 1;
    }
    // The firmware sets its USART up in its first cycles: nobody hears of the
    // line before that, so no host byte meets a chip that is not yet there.
    bool running = run_slice(chip);
    report("%s", chip.line.slave_path().c_str());

    // The short waits between slices end on time to within microseconds,
    // not the default 50.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Pace pace;
    pace.start_cycle = chip.avr->cycle;
    bool input_open = true;
    while (running && !stop_requested) {
        running = take_from_host(chip, pace) && run_slice(chip);
        // What the chip said leaves when the wall clock has caught up with
        // it (or at once, when the host spoke meanwhile).
        wait_for_work(chip, pace.wait_seconds(chip), input_open);
        deliver_to_host(chip);
        report_trace(chip);
        report_line_state(chip);
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
