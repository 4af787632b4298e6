// The emulator's dealings with files and with the pseudo-terminal.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "emulator.h"
#include "pty/pty_pair.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace emulator {

namespace {

constexpr std::size_t kPendingLimit = 4096;  // bytes held for a host that does not read
// A USART at normal speed reads 8-bit frames while the two rates differ by
// less than about 4 %.
constexpr double kRateTolerance = 0.04;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes the hex pairs after the colon; false on a bad character.
bool decode_record(const std::string& line, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::size_t end = line.find_last_not_of(" \t\r\n");
    if (end == std::string::npos || (end % 2) != 0) return false;
    for (std::size_t i = 1; i + 1 <= end; i += 2) {
        int high = hex_digit(line[i]);
        int low = hex_digit(line[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

bool record_is_whole(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 5 || bytes.size() != 5u + bytes[0]) return false;
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    return sum == 0;
}

}  // namespace

bool load_hex(const std::string& path, std::vector<uint8_t>& flash, uint32_t& end, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    std::vector<uint8_t> bytes;
    uint32_t base = 0;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        if (line[0] != ':' || !decode_record(line, bytes) || !record_is_whole(bytes)) {
            error = path + ":" + std::to_string(number) + ": not an Intel HEX record";
            return false;
        }
        uint8_t count = bytes[0];
        uint32_t offset = (bytes[1] << 8) | bytes[2];
        const uint8_t* data = bytes.data() + 4;
        switch (bytes[3]) {
            case 0x00:
                if (uint64_t{base} + offset + count > flash.size()) {
                    error = path + ":" + std::to_string(number) + ": data beyond the flash";
                    return false;
                }
                std::memcpy(flash.data() + base + offset, data, count);
                end = std::max(end, base + offset + count);
                break;
            case 0x01: return true;
            case 0x02:
            case 0x04:
                if (count != 2) {
                    error = path + ":" + std::to_string(number) + ": address record without two bytes";
                    return false;
                }
                base = static_cast<uint32_t>((data[0] << 8) | data[1]) << (bytes[3] == 0x02 ? 4 : 16);
                break;
            default: break;  // start addresses mean nothing here
        }
    }
    return true;
}

bool write_memory_file(const std::string& path, const uint8_t* bytes, std::size_t size) {
    std::string tmp = path + ".part";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(bytes, 1, size, f) == size;
    ok = (std::fclose(f) == 0) && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool PtyLine::open_pair() {
    // A raw line at 9600 until a host configures it. The slave is not kept
    // open: while no host holds it, what the chip sends is lost, as on a
    // cable with nothing at its end, instead of piling up for the next host
    // to find.
    PtyPair pair =
        open_pty_pair({.raw = true, .rate = 9600, .keep_slave = false, .nonblocking_master = true});
    master_fd_ = pair.master;
    slave_path_ = pair.slave_path;
    if (master_fd_ < 0) return false;
    // Every open of the slave is told, also one that follows a close before
    // the loop looked (a host that ends and another that starts at once).
    open_watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (open_watch_ >= 0 && inotify_add_watch(open_watch_, slave_path_.c_str(), IN_OPEN) < 0) {
        close(open_watch_);
        open_watch_ = -1;
    }
    return true;
}

bool PtyLine::take_opened() {
    if (open_watch_ < 0) return false;
    alignas(inotify_event) char events[4096];
    bool opened = false;
    while (read(open_watch_, events, sizeof events) > 0) opened = true;
    return opened;
}

bool PtyLine::host_present() const {
    pollfd p{master_fd_, POLLOUT, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

uint32_t PtyLine::host_rate() const {
    struct termios2 t {};
    if (ioctl(master_fd_, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}

void PtyLine::read_available(std::deque<uint8_t>& into) {
    uint8_t buf[512];
    for (;;) {
        ssize_t n = read(master_fd_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        into.insert(into.end(), buf, buf + n);
    }
}

void PtyLine::write(const std::deque<uint8_t>& bytes) {
    if (bytes.empty()) {
        flush_pending();
        return;
    }
    if (!host_present()) {
        pending_.clear();
        return;
    }
    for (uint8_t byte : bytes)
        if (pending_.size() < kPendingLimit) pending_.push_back(byte);
    flush_pending();
}

void PtyLine::flush_pending() {
    while (!pending_.empty()) {
        uint8_t buf[512];
        std::size_t count = 0;
        for (auto it = pending_.begin(); it != pending_.end() && count < sizeof buf; ++it) buf[count++] = *it;
        ssize_t n = ::write(master_fd_, buf, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        pending_.erase(pending_.begin(), pending_.begin() + n);
    }
}

bool make_link(const std::string& link, const std::string& target) {
    if (link.empty()) return true;
    std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
    return rename(tmp.c_str(), link.c_str()) == 0;
}

bool rates_match(uint32_t line_rate, double uart_rate) {
    if (line_rate == 0 || uart_rate <= 0) return true;  // nothing to compare with
    return std::fabs(uart_rate / line_rate - 1.0) <= kRateTolerance;
}

namespace {

constexpr int kLastTcpPort = 65535;
constexpr double kMostMissedResets = 1000;

void usage() {
    std::fprintf(
        stderr,
        "usage: tamborvine-avr [--chip NAME] [--link PATH] [--app APP.hex] [--flash-out FILE]\n"
        "                      [--clock HZ] [--speed FACTOR] [--trace] [--rfc2217 PORT]\n"
        "                      [--reset-on-open | --no-reset-on-open] [--miss-resets N] BOOTLOADER.hex\n"
        "chips: %s (default atmega128)\n",
        chip_names().c_str());
}

bool parse_number(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && value >= 0;
}

bool is_tcp_port(double number) { return number <= kLastTcpPort && number == std::floor(number); }

}  // namespace

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        double number = 0;
        if (arg == "--link" && has_value) {
            options.link_path = argv[++i];
        } else if (arg == "--app" && has_value) {
            options.application_path = argv[++i];
        } else if (arg == "--flash-out" && has_value) {
            options.flash_path = argv[++i];
        } else if (arg == "--clock" && has_value && parse_number(argv[i + 1], number) && number >= 1e6 &&
                   number <= 2e7) {
            options.clock = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--speed" && has_value && parse_number(argv[i + 1], number)) {
            options.speed = number;
            ++i;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--chip" && has_value && find_chip(argv[i + 1]) != nullptr) {
            options.chip = find_chip(argv[++i]);
        } else if (arg == "--rfc2217" && has_value && parse_number(argv[i + 1], number) &&
                   is_tcp_port(number)) {
            options.rfc2217_port = static_cast<int>(number);
            ++i;
        } else if (arg == "--miss-resets" && has_value && parse_number(argv[i + 1], number) &&
                   number == std::floor(number) && number <= kMostMissedResets) {
            options.missed_resets = static_cast<int>(number);
            ++i;
        } else if (arg == "--reset-on-open" || arg == "--no-reset-on-open") {
            options.reset_on_open = arg == "--reset-on-open";
        } else if (!arg.empty() && arg[0] != '-' && options.bootloader_path.empty()) {
            options.bootloader_path = arg;
        } else {
            usage();
            return false;
        }
    }
    if (options.bootloader_path.empty()) {
        usage();
        return false;
    }
    return true;
}

}  // namespace emulator
