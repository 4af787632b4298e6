// tamborvine-avr: an emulated AVR board whose USART0 is a pseudo-terminal
// (and, with --rfc2217, a network port as well).
//
// It loads the bootloader (and optionally an application) into the chip
// --chip names, starts at the boot section as a chip with BOOTRST
// programmed does, prints the path of the pseudo-terminal on its first line
// (and links it where --link says) and with --rfc2217 "rfc2217 PORT" on its
// second, and runs the chip in real time (or --speed times faster). Its
// standard input takes commands, one a line:
//
//   corrupt N          flip the lowest bit of the N-th byte the host sends from now
//   drop N             lose the N-th byte the host sends from now
//   flash [PATH]       write the flash (raw, the chip's whole flash) to PATH or --flash-out
//   dump PATH          write the flash to PATH; "dumped PATH" once it is there
//   dump-eeprom PATH   write the EEPROM (raw, the chip's whole EEPROM) to PATH; "dumped PATH"
//   reset [power-on]   an external reset, or a power-on one
//   state              report the program counter, the USART's registers, the
//                      cycle count and how far the chip fell behind the wall clock
//                      at most since the last state report
//   stats              "stats rx N tx N external_resets N watchdog_resets N": the
//                      bytes that crossed the line each way and the resets
//   quit               end, writing the flash to --flash-out
//
// and its standard output reports what happens: "uart RATE" whenever the
// USART's rate changes, "lost N bytes ..." when the host's line rate and
// the USART's rate are too far apart to understand each other (the bytes
// are dropped, as a real receiver would garble them), "overrun N bytes ..."
// when the firmware took received bytes too late, "corrupted A to B",
// "dropped XX", "flash written PATH", "reset external WHY" (WHY: stdin, open, dtr, rts),
// "reset power-on", "reset watchdog", "rfc2217 client", "rfc2217 closed",
// "rfc2217 NAME VALUE" for each COM-PORT request, "ignored N bytes" from
// the pseudo-terminal while a network client holds the line, and with
// --trace "line CYCLE host XX" and "line CYCLE chip XX" for every byte from
// the host and from the chip, at the cycle its stop bit ended; "reset missed
// LINE" for a pulse that --miss-resets N keeps from the chip (the first N).
//
// A board that resets when its port is opened (--reset-on-open, the default
// of the chips with auto-reset) does so whenever a program opens the
// pseudo-terminal and whenever a network client connects, as a USB board
// does when its port is opened, directly or by a serial server. Over the
// network, SET-CONTROL raising DTR or RTS resets it as well: the line drives
// RESET through a capacitor, which passes the edge of the line being
// asserted.
//
// Real time at 1,000,000 baud: the line's bytes move at their cycles inside
// the emulated time (see Usart), so the chip runs in slices and between
// slices only reads and writes the line; the simulator itself runs these
// chips about three times faster than real time on one core. A slice runs
// ahead of the wall clock, and what the chip says reaches the host when the
// wall clock gets there. A host byte lands at the cycle the chip has
// reached, so while the line is busy the slices are short: a byte that
// answers the chip lands close to the moment it was written, not up to a
// whole slice later at every change of direction. A slice also ends where a
// reply of the chip is wholly on the line, so that the reply is not held
// back until the slice's end. When the process could not run for a while
// (the machine was busy, it was stopped), the chip does not race to catch
// up: beyond a small lag the lost time is dropped, so that the watchdog
// still measures its second in the wall clock's time.
#include <poll.h>
#include <sim_avr.h>
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
#include "rfc2217_server/rfc2217_server.h"

namespace emulator {

namespace {

// Emulated time between looks at the host and the wall clock: short while
// bytes cross the line (and for a while after), longer while it is quiet.
// The line's timing inside the emulated time does not depend on it: bytes
// cross at the cycles their frames end.
constexpr double kSliceSeconds = 0.001;
constexpr double kBusySliceSeconds = 0.0001;
constexpr double kBusyAfterSeconds = 0.02;  // the line counts as busy this long after a byte
constexpr double kGiveUpLagSeconds = 0.1;   // behind by more: drop the lag instead of catching up

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

struct Counts {
    uint64_t from_host = 0;  // bytes taken from the host
    uint64_t to_host = 0;    // bytes the chip's line delivered
    uint64_t external_resets = 0;
    uint64_t watchdog_resets = 0;
};

struct Board;

// Seconds to wait before the next slice so that emulated time keeps pace
// with the wall clock times the speed factor.
struct Pace {
    const Options* options = nullptr;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    avr_cycle_count_t start_cycle = 0;

    double wall_seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    double wait_seconds(const avr_t* avr, double& max_lag) {
        if (options->speed <= 0) return 0;
        double emulated = static_cast<double>(avr->cycle - start_cycle) / options->clock / options->speed;
        double wall = wall_seconds();
        max_lag = std::max(max_lag, wall - emulated);
        if (wall - emulated > kGiveUpLagSeconds) {
            start = std::chrono::steady_clock::now();
            start_cycle = avr->cycle;
            return 0;
        }
        return emulated > wall ? emulated - wall : 0;
    }

    // The cycle the wall clock has reached, at most the give-up lag past the
    // chip's own.
    avr_cycle_count_t cycle_now(const avr_t* avr) const {
        if (options->speed <= 0) return avr->cycle;
        double cycles = wall_seconds() * options->clock * options->speed;
        double most = avr->cycle + kGiveUpLagSeconds * options->clock * options->speed;
        return static_cast<avr_cycle_count_t>(std::min(start_cycle + cycles, most));
    }
};

struct Board {
    const Options* options = nullptr;
    Core core;
    avr_t* avr = nullptr;
    Usart usart;
    Pace pace;
    bool reset_on_open = false;
    PtyLine line;
    bool pty_host_was_present = false;
    Rfc2217Server server;
    std::unique_ptr<Rfc2217Session> session;  // while a network client holds the line
    std::deque<uint8_t> from_host;
    bool running = true;      // false once the firmware stopped
    uint64_t corrupt_at = 0;  // host byte number to damage, 0 for none
    uint64_t drop_at = 0;     // host byte number to lose, 0 for none
    int resets_to_miss = 0;   // modem-line pulses still to pass by the chip (--miss-resets)
    Counts counts;
    Usart::Losses lost;  // the losses of the burst going on
    bool lost_last_slice = false;
    double reported_rate = -1;
    double max_lag = 0;       // seconds behind the wall clock, at most, since the last state report
    uint64_t busy_until = 0;  // cycle up to which the line counts as busy
    std::string command;
};

// ---- the host's end of the line ---------------------------------------------

bool networked(const Board& board) { return board.session != nullptr; }

uint32_t host_rate(const Board& board) {
    return networked(board) ? board.session->rate() : board.line.host_rate();
}

void note_busy_line(Board& board) {
    board.busy_until = board.avr->cycle + static_cast<uint64_t>(board.options->clock * kBusyAfterSeconds);
}

// Whether the host's next byte reaches the line (drop N loses it).
bool arrives(Board& board, uint8_t byte) {
    ++board.counts.from_host;
    if (board.drop_at == 0 || board.counts.from_host != board.drop_at) return true;
    board.drop_at = 0;
    report("dropped %02x", byte);
    return false;
}

uint8_t maybe_corrupt(Board& board, uint8_t byte) {
    if (board.corrupt_at == 0 || board.counts.from_host != board.corrupt_at) return byte;
    board.corrupt_at = 0;
    uint8_t damaged = byte ^ 0x01;
    report("corrupted %02x to %02x", byte, damaged);
    return damaged;
}

void deliver_to_host(Board& board) {
    std::deque<uint8_t>& bytes = board.usart.delivered();
    if (!bytes.empty()) note_busy_line(board);
    board.counts.to_host += bytes.size();
    if (networked(board)) {
        Bytes out(bytes.begin(), bytes.end());
        if (!out.empty()) board.server.send(board.session->encode(out.data(), out.size()));
    } else {
        board.line.write(bytes);
    }
    bytes.clear();
}

// ---- running the chip ---------------------------------------------------------

// Runs the chip up to the cycle end, with stop_at_reply no further than
// the end of a reply that is wholly on the line; false when the firmware
// stopped.
bool run_chip(Board& board, avr_cycle_count_t end, bool stop_at_reply) {
    avr_t* avr = board.avr;
    while (board.running && avr->cycle < end) {
        int state = avr_run(avr);
        if (state == cpu_Done || state == cpu_Crashed) {
            report("firmware stopped at byte address 0x%05x", avr->pc);
            board.running = false;
        }
        if (stop_at_reply && !board.usart.delivered().empty() && board.usart.transmitter_idle()) break;
    }
    return board.running;
}

// One slice of emulated time, or less when a reply of the chip is wholly on
// the line before its end.
bool run_slice(Board& board) {
    double seconds = board.avr->cycle < board.busy_until ? kBusySliceSeconds : kSliceSeconds;
    return run_chip(board, board.avr->cycle + static_cast<avr_cycle_count_t>(board.options->clock * seconds),
                    true);
}

// The chip runs up to the moment the wall clock has reached: what the host
// does now happens at that cycle.
void catch_up(Board& board) { run_chip(board, board.pace.cycle_now(board.avr), false); }

// What the host wrote goes on the line, one frame after the other, from the
// moment it was read: the chip is first run up to that moment (what it says
// meanwhile is late already and leaves at once).
void pass_host_bytes(Board& board) {
    if (board.from_host.empty()) return;
    note_busy_line(board);
    catch_up(board);
    for (uint8_t byte : board.from_host)
        if (arrives(board, byte)) board.usart.send(maybe_corrupt(board, byte));
    board.from_host.clear();
}

void reset_from_outside(Board& board, ResetCause cause, const char* why) {
    pass_host_bytes(board);
    catch_up(board);
    board.core.reset(cause);
    if (cause == ResetCause::external) {
        ++board.counts.external_resets;
        report("reset external %s", why);
    } else {
        report("reset power-on");
    }
}

// A raised DTR or RTS resets the chip through the capacitor, unless the
// board is to miss it (--miss-resets: a pulse too short to take, as on a
// board whose capacitor or adapter is marginal).
void reset_by_modem_line(Board& board, const char* line) {
    if (board.resets_to_miss > 0) {
        --board.resets_to_miss;
        report("reset missed %s", line);
        return;
    }
    reset_from_outside(board, ResetCause::external, line);
}

// Every reset, ours or the chip's own: the USART starts afresh.
void on_reset(Board& board, ResetCause cause) {
    board.usart.reset();
    if (cause != ResetCause::watchdog) return;
    ++board.counts.watchdog_resets;
    report("reset watchdog");
}

// The pseudo-terminal's bytes, and a host that opened it. The host's rate
// is looked at after its bytes are read: a host sets its rate before it
// writes at it.
void take_from_pty(Board& board) {
    std::deque<uint8_t> bytes;
    board.line.read_available(bytes);
    bool present = board.line.host_present();
    bool opened = board.line.take_opened() || (present && !board.pty_host_was_present);
    board.pty_host_was_present = present;
    if (networked(board)) {
        if (!bytes.empty()) report("ignored %zu bytes", bytes.size());
        return;
    }
    board.usart.set_host(present, board.line.host_rate());
    if (opened && board.reset_on_open) reset_from_outside(board, ResetCause::external, "open");
    board.from_host.insert(board.from_host.end(), bytes.begin(), bytes.end());
}

// ---- the network port ---------------------------------------------------------

void accept_client(Board& board) {
    if (!board.server.accept_client()) return;
    Rfc2217Events events;
    events.data = [&board](const Bytes& bytes) {
        board.from_host.insert(board.from_host.end(), bytes.begin(), bytes.end());
    };
    events.rate = [&board](uint32_t rate) {
        pass_host_bytes(board);  // what came before goes at the old rate
        board.usart.set_host(true, rate);
    };
    events.asserted = [&board](const char* line) { reset_by_modem_line(board, line); };
    events.report = [](const std::string& text) { report("%s", text.c_str()); };
    board.session = std::make_unique<Rfc2217Session>(std::move(events), "tamborvine-avr");
    report("rfc2217 client");
    board.server.send(board.session->opening());
    board.usart.set_host(true, board.session->rate());
    if (board.reset_on_open) reset_from_outside(board, ResetCause::external, "open");
}

void close_client(Board& board) {
    board.server.drop_client();
    board.session.reset();
    report("rfc2217 closed");
    board.usart.set_host(board.line.host_present(), board.line.host_rate());
}

void read_client(Board& board) {
    Bytes in;
    if (!board.server.read_client(in)) {
        close_client(board);
        return;
    }
    board.session->receive(in.data(), in.size());
    board.server.send(board.session->take_answers());
}

// ---- commands and reports -----------------------------------------------------

void report_trace(Board& board) {
    auto& entries = board.usart.trace();
    if (entries.empty()) return;
    for (const auto& e : entries)
        std::printf("line %llu %s %02x\n", static_cast<unsigned long long>(e.cycle),
                    e.from_host ? "host" : "chip", e.byte);
    std::fflush(stdout);
    entries.clear();
}

void report_line_state(Board& board) {
    double rate = board.usart.rate();
    if (std::fabs(rate - board.reported_rate) > 0.5) {
        board.reported_rate = rate;
        report("uart %.0f", rate);
    }
    // Losses are told once a burst of them is over, not once a slice.
    Usart::Losses now = board.usart.take_losses();
    bool burst_goes_on = now.from_host + now.to_host + now.overrun != 0;
    board.lost.from_host += now.from_host;
    board.lost.to_host += now.to_host;
    board.lost.overrun += now.overrun;
    if (burst_goes_on || !board.lost_last_slice) {
        board.lost_last_slice = burst_goes_on;
        return;
    }
    board.lost_last_slice = false;
    if (board.lost.from_host + board.lost.to_host != 0)
        report("lost %u bytes from host, %u to host: line %u, uart %.0f", board.lost.from_host,
               board.lost.to_host, host_rate(board), rate);
    if (board.lost.overrun != 0)
        report("overrun %u bytes from host: the firmware took them too late, uart %.0f", board.lost.overrun,
               rate);
    board.lost = Usart::Losses{};
}

bool save_flash(const Board& board, const std::string& path) {
    if (path.empty()) {
        report("no flash file named");
        return false;
    }
    if (!board.core.write_flash(path)) {
        report("cannot write %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    report("flash written %s", path.c_str());
    return true;
}

void dump(bool written, const std::string& path) {
    report("%s %s", written ? "dumped" : "dump failed", path.c_str());
}

void report_state(Board& board) {
    const uint8_t* d = board.avr->data;
    const UsartRegisters& r = board.options->chip->usart;
    report("state pc 0x%05x ucsr0a %02x ucsr0b %02x ubrr0 %u cycle %llu behind %.3f ms", board.avr->pc,
           d[r.status], d[r.control], ((d[r.rate_high] & 0x0F) << 8) | d[r.rate_low],
           static_cast<unsigned long long>(board.avr->cycle), board.max_lag * 1e3);
    board.max_lag = 0;
}

void report_stats(const Board& board) {
    const Counts& c = board.counts;
    report("stats rx %llu tx %llu external_resets %llu watchdog_resets %llu",
           static_cast<unsigned long long>(c.from_host), static_cast<unsigned long long>(c.to_host),
           static_cast<unsigned long long>(c.external_resets),
           static_cast<unsigned long long>(c.watchdog_resets));
}

void run_command(Board& board, const std::string& text) {
    std::string word = text.substr(0, text.find(' '));
    std::string rest = text.size() > word.size() ? text.substr(word.size() + 1) : "";
    if (word == "corrupt") {
        board.corrupt_at = board.counts.from_host + std::strtoull(rest.c_str(), nullptr, 10);
    } else if (word == "drop") {
        board.drop_at = board.counts.from_host + std::strtoull(rest.c_str(), nullptr, 10);
    } else if (word == "flash") {
        save_flash(board, rest.empty() ? board.options->flash_path : rest);
    } else if (word == "dump" && !rest.empty()) {
        dump(board.core.write_flash(rest), rest);
    } else if (word == "dump-eeprom" && !rest.empty()) {
        dump(board.core.write_eeprom(rest), rest);
    } else if (word == "reset" && (rest.empty() || rest == "power-on")) {
        reset_from_outside(board, rest.empty() ? ResetCause::external : ResetCause::power_on, "stdin");
    } else if (word == "state") {
        report_state(board);
    } else if (word == "stats") {
        report_stats(board);
    } else if (word == "quit") {
        stop_requested = 1;
    } else if (!word.empty()) {
        report("unknown command %s", text.c_str());
    }
}

void read_commands(Board& board, bool& input_open) {
    char buf[512];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || errno != EINTR) input_open = false;  // keep serving the line
        return;
    }
    board.command.append(buf, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = board.command.find('\n')) != std::string::npos) {
        std::string text = board.command.substr(0, end);
        board.command.erase(0, end + 1);
        run_command(board, text);
    }
}

// ---- the loop -------------------------------------------------------------------

// Waits for the host, a network client, a command or the next slice,
// whichever comes first, and takes what came.
void wait_for_work(Board& board, double seconds, bool& input_open) {
    // Without a host the master reports a hang-up at every poll: leave it
    // out then, or the wait would never wait.
    int master = board.line.host_present() ? board.line.master() : -1;
    pollfd fds[4] = {{master, POLLIN, 0},
                     {input_open ? STDIN_FILENO : -1, POLLIN, 0},
                     {board.server.listen_fd(), POLLIN, 0},
                     {board.server.client_fd(), POLLIN, 0}};
    timespec timeout{static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
    if (ppoll(fds, 4, &timeout, nullptr) < 0) return;
    if ((fds[3].revents & (POLLIN | POLLHUP | POLLERR)) != 0) read_client(board);
    if ((fds[2].revents & POLLIN) != 0) accept_client(board);  // a second client is turned away
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) read_commands(board, input_open);
}

bool start(Board& board, const Options& options) {
    board.options = &options;
    board.pace.options = &options;
    board.reset_on_open = options.reset_on_open.value_or(options.chip->reset_on_open);
    board.resets_to_miss = options.missed_resets;
    if (!board.core.make(options)) return false;
    board.avr = board.core.avr();
    board.core.on_reset([&board](ResetCause cause) { on_reset(board, cause); });
    board.usart.attach(board.avr, options.chip->usart, options.clock);
    board.usart.set_trace(options.trace);
    if (!board.line.open_pair() || !make_link(options.link_path, board.line.slave_path())) {
        std::perror("tamborvine-avr: pseudo-terminal");
        return false;
    }
    if (options.rfc2217_port >= 0 && !board.server.listen_on(options.rfc2217_port)) {
        std::perror(("tamborvine-avr: port " + std::to_string(options.rfc2217_port)).c_str());
        return false;
    }
    return true;
}

}  // namespace

int run(const Options& options) {
    Board board;
    if (!start(board, options)) return 1;
    // The firmware sets its USART up in its first cycles: nobody hears of the
    // line before that, so no host byte meets a chip that is not yet there.
    run_slice(board);
    report("%s", board.line.slave_path().c_str());
    if (options.rfc2217_port >= 0) report("rfc2217 %u", board.server.port());

    // The short waits between slices end on time to within microseconds,
    // not the default 50.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    board.pace.start = std::chrono::steady_clock::now();
    board.pace.start_cycle = board.avr->cycle;
    bool input_open = true;
    while (board.running && !stop_requested) {
        take_from_pty(board);
        pass_host_bytes(board);
        run_slice(board);
        // What the chip said leaves when the wall clock has caught up with
        // it (or at once, when the host spoke meanwhile).
        wait_for_work(board, board.pace.wait_seconds(board.avr, board.max_lag), input_open);
        deliver_to_host(board);
        report_trace(board);
        report_line_state(board);
    }
    if (!options.flash_path.empty()) save_flash(board, options.flash_path);
    // Ending the process directly: the simulator's own teardown can hang.
    std::fflush(stdout);
    std::_Exit(board.running ? 0 : 1);
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
