// The pseudo-terminal pair and the simulator's event loop.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>

#include "sim/sim.h"

extern "C" int ioctl(int fd, unsigned long request, ...);
extern "C" int grantpt(int fd);
extern "C" int unlockpt(int fd);
extern "C" int ptsname_r(int fd, char* buf, size_t buflen);
extern "C" int posix_openpt(int flags);

bool PtyLine::open_pair() {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_fd_ < 0 || grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0) return false;
    char name[256];
    if (ptsname_r(master_fd_, name, sizeof name) != 0) return false;
    slave_path_ = name;
    slave_fd_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_fd_ < 0) return false;
    // A raw line on the slave side until the program configures it.
    struct termios2 t {};
    if (ioctl(slave_fd_, TCGETS2, &t) == 0) {
        t.c_iflag = 0;
        t.c_oflag = 0;
        t.c_lflag = 0;
        t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8 | CREAD | CLOCAL;
        ioctl(slave_fd_, TCSETS2, &t);
    }
    fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
    return true;
}

void PtyLine::close_pair() {
    if (master_fd_ >= 0) close(master_fd_);
    if (slave_fd_ >= 0) close(slave_fd_);
    master_fd_ = slave_fd_ = -1;
}

uint32_t PtyLine::rate() const {
    struct termios2 t {};
    if (master_fd_ < 0 || ioctl(master_fd_, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

void PtyLine::write_bytes(const uint8_t* data, std::size_t count) {
    while (count > 0 && master_fd_ >= 0) {
        ssize_t n = write(master_fd_, data, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{master_fd_, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
}

namespace {

double now_seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void report(const char* format, const std::string& text) {
    std::printf(format, text.c_str());
    std::fflush(stdout);
}

std::string hex_of(const uint8_t* data, std::size_t count) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", data[i]);
        out += buf;
    }
    return out;
}

std::vector<uint8_t> parse_hex(const std::string& text) {
    std::vector<uint8_t> out;
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

}  // namespace

Bytes unescape_text(const std::string& text) {
    std::vector<uint8_t> out;
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

bool link_to(const std::string& link, const std::string& target) {
    if (link.empty()) return true;
    std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
    return rename(tmp.c_str(), link.c_str()) == 0;
}

}  // namespace

namespace {

// The wire as a UART would make it: a byte arrives 10 bit times after the
// previous one ended (or after it was written, when the line was idle), and
// a byte the target sends reaches the program 10 bit times after it starts.
// Without pacing every time is "now".
class Wire {
   public:
    Wire(PtyLine& line, bool pace) : line_(line), pace_(pace) {}

    double byte_time(uint32_t rate) const { return pace_ && rate > 0 ? 10.0 / rate : 0.0; }

    // When the byte read now finishes arriving.
    double arrival(uint32_t rate, double now) {
        if (answered_) {  // the program's turn ended: how long it took to speak again
            host_seconds_ += now - last_write_;
            ++turns_;
            answered_ = false;
        }
        rx_free_ = (rx_free_ > now ? rx_free_ : now) + byte_time(rate);
        ++received_;
        return rx_free_;
    }

    void queue(const Bytes& bytes, double not_before) {
        double bt = byte_time(line_.rate());
        for (uint8_t b : bytes) tx_.push_back({b, not_before, bt});
    }

    // Writes every byte whose transmission has ended by now; returns when
    // the next one will have (or a large value when none waits).
    double flush(double now) {
        Bytes batch;
        double next = now + 1.0;
        while (!tx_.empty()) {
            const Pending& item = tx_.front();
            double start = item.not_before > tx_free_ ? item.not_before : tx_free_;
            double done = start + item.byte_time;
            if (done > now + kSlack) {
                next = done;
                break;
            }
            batch.push_back(item.byte);
            tx_free_ = done;
            tx_.pop_front();
        }
        if (!batch.empty()) {
            late_seconds_ += now - tx_free_;
            line_.write_bytes(batch);
            sent_ += batch.size();
            last_write_ = now_seconds();
            answered_ = true;
        }
        return next;
    }

    // Bytes each way; the program's reaction time (from a reply written to
    // its next byte read) and the simulator's own lateness, in microseconds.
    std::string stats() const {
        return "rx " + std::to_string(received_) + " tx " + std::to_string(sent_) + " host_us " +
               std::to_string(static_cast<long>(host_seconds_ * 1e6)) + " turns " + std::to_string(turns_) +
               " late_us " + std::to_string(static_cast<long>(late_seconds_ * 1e6));
    }

   private:
    struct Pending {
        uint8_t byte;
        double not_before;
        double byte_time;
    };
    static constexpr double kSlack = 20e-6;
    PtyLine& line_;
    bool pace_;
    std::deque<Pending> tx_;
    double rx_free_ = 0;
    double tx_free_ = 0;
    unsigned long received_ = 0;
    unsigned long sent_ = 0;
    double last_write_ = 0;
    bool answered_ = false;
    double host_seconds_ = 0;
    unsigned long turns_ = 0;
    double late_seconds_ = 0;
};

constexpr double kSpinSeconds = 200e-6;

void report_line(std::FILE* record, bool quiet, const std::string& line) {
    if (!quiet) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    if (record != nullptr) {
        std::fprintf(record, "%s\n", line.c_str());
        std::fflush(record);
    }
}

}  // namespace

int run_sim(const SimOptions& options) {
    PtyLine line;
    if (!line.open_pair()) {
        std::perror("tamborvine-sim: pseudo-terminal");
        return 1;
    }
    std::FILE* record = options.record_path.empty() ? nullptr : std::fopen(options.record_path.c_str(), "a");
    if (!options.record_path.empty() && record == nullptr) {
        std::perror(("tamborvine-sim: " + options.record_path).c_str());
        return 1;
    }
    // Replies leave on time to within microseconds, not the default 50.
    if (options.pace) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    Wire wire(line, options.pace);
    TargetOutput output;
    output.send = [&wire](const Bytes& bytes, double not_before) { wire.queue(bytes, not_before); };
    output.report = [record, &options](const std::string& text) { report_line(record, options.quiet, text); };
    output.line_rate = [&line]() { return line.rate(); };
    Target target(options, output);
    if (!options.load_path.empty() && !target.load(options.load_path)) {
        std::fprintf(stderr, "tamborvine-sim: cannot load %s\n", options.load_path.c_str());
        return 1;
    }

    if (!link_to(options.link_path, line.slave_path())) {
        std::perror("tamborvine-sim: link");
        return 1;
    }
    report("%s\n", line.slave_path());
    std::string command;
    bool input_open = true;
    double next_send = now_seconds() + 1.0;
    for (;;) {
        double now = now_seconds();
        double wake = next_send;
        if (options.target && target.poll_greeting(now) && wake > now + 0.005) wake = now + 0.005;
        // A reply due within the timer's reach is waited for by spinning, so
        // that it leaves on time rather than a scheduler tick late.
        if (options.pace && next_send - now < kSpinSeconds) {
            while (now_seconds() < next_send) {
            }
            next_send = wire.flush(now_seconds());
            continue;
        }
        if (options.pace) wake -= kSpinSeconds / 2;
        double wait = wake > now ? wake - now : 0.0;
        timespec timeout{static_cast<time_t>(wait),
                         static_cast<long>((wait - static_cast<double>(static_cast<time_t>(wait))) * 1e9)};
        pollfd fds[2] = {{line.master(), POLLIN, 0}, {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) break;
        now = now_seconds();
        if (line.master() >= 0 && (fds[0].revents & POLLIN) != 0) {
            uint8_t buf[4096];
            ssize_t n = read(line.master(), buf, sizeof buf);
            if (n > 0) {
                uint32_t rate = line.rate();
                std::string hex = hex_of(buf, static_cast<std::size_t>(n));
                if (!options.quiet) {
                    std::printf("rx %u %s\n", rate, hex.c_str());
                    std::fflush(stdout);
                }
                if (record != nullptr) {
                    std::fprintf(record, "%u %s\n", rate, hex.c_str());
                    std::fflush(record);
                }
                for (ssize_t i = 0; i < n; ++i) {
                    double due = wire.arrival(rate, now);
                    if (options.target)
                        target.receive(buf[i], rate, due);
                    else if (options.echo)
                        wire.queue(Bytes{buf[i]}, due);
                }
            }
        }
        next_send = wire.flush(now_seconds());
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            char buf[4096];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                input_open = false;  // keep serving the line without commands
                continue;
            }
            command.append(buf, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = command.find('\n')) != std::string::npos) {
                std::string cmd = command.substr(0, end);
                command.erase(0, end + 1);
                std::string word = cmd.substr(0, cmd.find(' '));
                std::string rest = cmd.size() > word.size() ? cmd.substr(word.size() + 1) : "";
                if (word == "send") {
                    line.write_bytes(parse_hex(rest));
                } else if (word == "text") {
                    line.write_bytes(unescape_text(rest));
                } else if (word == "rate") {
                    std::printf("rate %u\n", line.rate());
                    std::fflush(stdout);
                } else if (word == "hangup") {
                    line.close_pair();
                } else if (word == "replug") {
                    line.close_pair();
                    if (!line.open_pair() || !link_to(options.link_path, line.slave_path())) return 1;
                    report("%s\n", line.slave_path());
                } else if (word == "dump") {
                    report(target.dump(rest) ? "dumped %s\n" : "dump failed %s\n", rest);
                } else if (word == "stats") {
                    report("stats %s\n", wire.stats() + " " + target.stats());
                } else if (word == "quit") {
                    return 0;
                }
            }
        }
    }
    return 0;
}
