// The simulator's event loop: the line (the pseudo-terminal, or a network
// client while one is connected), standard input's commands, the target's
// timers and the paced wire.
//
// Commands (standard input, one a line):
//   send HEX...        write these bytes to the line (e.g. "send 48 65 0d")
//   text STRING        write the string; C escapes \r \n \t \e \\ \xHH
//   rate               print "rate N": the rate the program set on the line
//   hangup             close the master side, as an unplugged adapter
//   replug             a new pseudo-terminal: prints its path, moves the link
//   dump FILE          write the target's flash (131072 bytes) to FILE;
//                      prints "dumped FILE"
//   dump-eeprom FILE   write the target's EEPROM (4096 bytes) to FILE;
//                      prints "dumped FILE"
//   stats              print "stats rx N tx N host_us N turns N late_us N
//                      late_max_us N pages N erases N device_writes N device_erases N
//                      eeprom_writes N"
//   reset              reset the target into its bootloader (as a pulse on RESET)
//   drop               close the network client's connection
//   quit               end
// Reports (standard output, one line each, flushed):
//   rx RATE HEX...     bytes that arrived, with the line rate in force
//   cmd RATE NAME ...  (--target) a command or event the target met, with the rate
//   lost RATE HEX ...  (--target) a byte sent at a rate the target was not at
//   ignored RATE HEX...  bytes from the pseudo-terminal while a network client holds the line
//   rfc2217 ...        (--rfc2217) the port, clients coming and going, each COM-PORT request
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "rfc2217_server/rfc2217_server.h"
#include "sim/line.h"
#include "sim/target.h"

Bytes unescape_text(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out.push_back(static_cast<uint8_t>(c));
            continue;
        }
        char e = text[++i];
        switch (e) {
            case 'r': out.push_back('\r'); break;
            case 'n': out.push_back('\n'); break;
            case 't': out.push_back('\t'); break;
            case 'e': out.push_back(27); break;
            case '0': out.push_back(0); break;
            case 'x':
                if (i + 2 < text.size()) {
                    out.push_back(
                        static_cast<uint8_t>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16)));
                    i += 2;
                }
                break;
            default: out.push_back(static_cast<uint8_t>(e)); break;
        }
    }
    return out;
}

namespace {

// A reply due within this time is waited for by spinning, so that it
// leaves on time rather than a scheduler tick late.
constexpr double kSpinSeconds = 200e-6;

std::string hex_of(const uint8_t* data, std::size_t count) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", data[i]);
        out += buf;
    }
    return out;
}

Bytes parse_hex(const std::string& text) {
    Bytes out;
    const char* p = text.c_str();
    while (*p != '\0') {
        char* end = nullptr;
        unsigned long v = std::strtoul(p, &end, 16);
        if (end == p) break;
        out.push_back(static_cast<uint8_t>(v));
        p = end;
    }
    return out;
}

// The target's line: a network client's while one is connected, else the
// pseudo-terminal.
class ActiveLine : public Line {
   public:
    explicit ActiveLine(PtyLine& pty) : pty_(pty) {}
    void connect(Rfc2217Server* server, Rfc2217Session* session) {
        server_ = server;
        session_ = session;
    }
    bool networked() const { return session_ != nullptr; }
    uint32_t rate() const override { return session_ ? session_->rate() : pty_.rate(); }
    void write_bytes(const uint8_t* data, std::size_t count) override {
        if (session_)
            server_->send(session_->encode(data, count));
        else
            pty_.write_bytes(data, count);
    }
    using Line::write_bytes;

   private:
    PtyLine& pty_;
    Rfc2217Server* server_ = nullptr;
    Rfc2217Session* session_ = nullptr;
};

class Simulator {
   public:
    explicit Simulator(const SimOptions& options)
        : options_(options), line_(pty_), wire_(line_, options.pace), target_(options, target_output()) {}
    ~Simulator() {
        if (record_ != nullptr) std::fclose(record_);
    }
    int run();

   private:
    struct StdinCommand {
        const char* word;
        void (Simulator::*run)(const std::string& rest);
    };
    static const StdinCommand kStdinCommands[];

    TargetOutput target_output();
    bool start();
    void report(const std::string& line, bool to_record = true);
    void wait_for_events(double until);
    void read_pty();
    void read_client();
    void accept_client();
    void close_client(const char* why);
    void arrived(const uint8_t* data, std::size_t count, uint32_t rate);
    void read_stdin();
    void send_hex(const std::string& rest) { line_.write_bytes(parse_hex(rest)); }
    void send_text(const std::string& rest) { line_.write_bytes(unescape_text(rest)); }
    void print_rate(const std::string&) { report("rate " + std::to_string(line_.rate()), false); }
    void hang_up(const std::string&) { pty_.close_pair(); }
    void replug(const std::string&);
    void dump(const std::string& path) {
        report((target_.flash().dump(path) ? "dumped " : "dump failed ") + path, false);
    }
    void dump_eeprom(const std::string& path) {
        report((target_.dump_eeprom(path) ? "dumped " : "dump failed ") + path, false);
    }
    void print_stats(const std::string&) { report("stats " + wire_.stats() + " " + target_.stats(), false); }
    void reset(const std::string&) {
        if (options_.target) target_.reset(now_seconds(), "stdin");
    }
    void drop(const std::string&) { close_client("dropped"); }
    void quit(const std::string&) { running_ = false; }

    const SimOptions& options_;
    PtyLine pty_;
    ActiveLine line_;
    Wire wire_;
    Target target_;
    std::FILE* record_ = nullptr;
    Rfc2217Server server_;
    std::unique_ptr<Rfc2217Session> session_;
    bool input_open_ = true;
    std::string input_;
    bool running_ = true;
    int status_ = 0;
    double next_send_ = 0;
    double now_ = 0;  // when the bytes being handled were read
};

const Simulator::StdinCommand Simulator::kStdinCommands[] = {
    {"send", &Simulator::send_hex},
    {"text", &Simulator::send_text},
    {"rate", &Simulator::print_rate},
    {"hangup", &Simulator::hang_up},
    {"replug", &Simulator::replug},
    {"dump", &Simulator::dump},
    {"stats", &Simulator::print_stats},
    {"reset", &Simulator::reset},
    {"drop", &Simulator::drop},
    {"quit", &Simulator::quit},
    {"dump-eeprom", &Simulator::dump_eeprom},
};

TargetOutput Simulator::target_output() {
    TargetOutput output;
    output.send = [this](const Bytes& bytes, double not_before) { wire_.queue(bytes, not_before); };
    output.report = [this](const std::string& text) { report(text); };
    output.line_rate = [this]() { return line_.rate(); };
    output.drop_unsent = [this]() { wire_.drop_unsent(); };
    return output;
}

void Simulator::report(const std::string& line, bool to_record) {
    if (!options_.quiet || !to_record) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    if (to_record && record_ != nullptr) {
        std::fprintf(record_, "%s\n", line.c_str());
        std::fflush(record_);
    }
}

bool Simulator::start() {
    if (!pty_.open_pair()) {
        std::perror("tamborvine-sim: pseudo-terminal");
        return false;
    }
    if (!options_.record_path.empty() &&
        (record_ = std::fopen(options_.record_path.c_str(), "a")) == nullptr) {
        std::perror(("tamborvine-sim: " + options_.record_path).c_str());
        return false;
    }
    if (!options_.load_path.empty() && !target_.flash().load(options_.load_path)) {
        std::fprintf(stderr, "tamborvine-sim: cannot load %s\n", options_.load_path.c_str());
        return false;
    }
    if (options_.rfc2217_port >= 0 && !server_.listen_on(options_.rfc2217_port)) {
        std::perror(("tamborvine-sim: port " + std::to_string(options_.rfc2217_port)).c_str());
        return false;
    }
    if (!link_to(options_.link_path, pty_.slave_path())) {
        std::perror("tamborvine-sim: link");
        return false;
    }
    // Replies leave on time to within microseconds, not the default 50.
    if (options_.pace) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    report(pty_.slave_path(), false);
    if (options_.rfc2217_port >= 0) report("rfc2217 " + std::to_string(server_.port()), false);
    return true;
}

int Simulator::run() {
    if (!start()) return 1;
    next_send_ = now_seconds() + 1.0;
    while (running_) {
        double now = now_seconds();
        double due = next_send_;
        if (options_.target) {
            due = std::min(due, target_.poll(now));
            next_send_ = wire_.flush(now);  // the target may have queued a greeting
            due = std::min(due, next_send_);
        }
        if (options_.pace && next_send_ - now < kSpinSeconds) {
            while (now_seconds() < next_send_) {
            }
            next_send_ = wire_.flush(now_seconds());
            continue;
        }
        if (options_.pace) due -= kSpinSeconds / 2;
        wait_for_events(due);
        next_send_ = wire_.flush(now_seconds());
    }
    return status_;
}

void Simulator::wait_for_events(double until) {
    double now = now_seconds();
    double wait = until > now ? until - now : 0.0;
    timespec timeout{static_cast<time_t>(wait),
                     static_cast<long>((wait - static_cast<double>(static_cast<time_t>(wait))) * 1e9)};
    const short line_events = pty_.holding() ? POLLIN | POLLOUT : POLLIN;
    pollfd fds[4] = {{pty_.master(), line_events, 0},
                     {input_open_ ? STDIN_FILENO : -1, POLLIN, 0},
                     {server_.listen_fd(), POLLIN, 0},
                     {server_.client_fd(), POLLIN, 0}};
    if (ppoll(fds, 4, &timeout, nullptr) < 0) return;
    now_ = now_seconds();
    if (pty_.holding()) pty_.write_held(now_);
    if ((fds[0].revents & POLLIN) != 0) read_pty();
    if ((fds[3].revents & (POLLIN | POLLHUP | POLLERR)) != 0) read_client();
    if ((fds[2].revents & POLLIN) != 0) accept_client();
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) read_stdin();
}

void Simulator::read_pty() {
    uint8_t buf[4096];
    ssize_t n = read(pty_.master(), buf, sizeof buf);
    if (n <= 0) return;
    uint32_t rate = pty_.rate();
    std::size_t count = static_cast<std::size_t>(n);
    if (line_.networked()) {  // the client holds the line
        if (!options_.quiet) report("ignored " + std::to_string(rate) + " " + hex_of(buf, count), false);
        return;
    }
    arrived(buf, count, rate);
}

// Bytes that came in on the line at rate: reported, then each handed to the
// target when its stop bit ends.
void Simulator::arrived(const uint8_t* data, std::size_t count, uint32_t rate) {
    std::string hex = hex_of(data, count);
    if (!options_.quiet) report("rx " + std::to_string(rate) + " " + hex, false);
    if (record_ != nullptr) {
        std::fprintf(record_, "%u %s\n", rate, hex.c_str());
        std::fflush(record_);
    }
    for (std::size_t i = 0; i < count; ++i) {
        double due = wire_.arrival(rate, now_);
        if (options_.target)
            target_.receive(data[i], rate, due);
        else if (options_.echo)
            wire_.queue(Bytes{data[i]}, due);
    }
}

void Simulator::accept_client() {
    if (!server_.accept_client()) return;
    Rfc2217Events events;
    events.data = [this](const Bytes& bytes) { arrived(bytes.data(), bytes.size(), session_->rate()); };
    // The simulated target's auto-reset: it starts again once the line is
    // released.
    events.pulse = [this](const char* line) {
        if (options_.target) target_.reset(now_, line);
    };
    events.report = [this](const std::string& text) {
        if (!options_.quiet) report(text, false);
    };
    session_ = std::make_unique<Rfc2217Session>(std::move(events), "tamborvine-sim");
    line_.connect(&server_, session_.get());
    wire_.new_line();
    if (!options_.quiet) report("rfc2217 client", false);
    server_.send(session_->opening());
}

void Simulator::read_client() {
    Bytes in;
    if (!server_.read_client(in)) {
        close_client("closed");
        return;
    }
    session_->receive(in.data(), in.size());
    server_.send(session_->take_answers());
}

void Simulator::close_client(const char* why) {
    if (!session_) return;
    server_.drop_client();
    line_.connect(nullptr, nullptr);
    wire_.new_line();
    session_.reset();
    if (!options_.quiet) report(std::string("rfc2217 ") + why, false);
}

void Simulator::replug(const std::string&) {
    pty_.close_pair();
    if (!pty_.open_pair() || !link_to(options_.link_path, pty_.slave_path())) {
        status_ = 1;
        running_ = false;
        return;
    }
    report(pty_.slave_path(), false);
}

void Simulator::read_stdin() {
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) return;
        input_open_ = false;  // keep serving the line without commands
        return;
    }
    input_.append(buf, static_cast<std::size_t>(n));
    std::size_t end;
    while (running_ && (end = input_.find('\n')) != std::string::npos) {
        std::string line = input_.substr(0, end);
        input_.erase(0, end + 1);
        std::string word = line.substr(0, line.find(' '));
        std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
        for (const StdinCommand& command : kStdinCommands)
            if (word == command.word) (this->*command.run)(rest);
    }
}

}  // namespace

int run_sim(const SimOptions& options) { return Simulator(options).run(); }
