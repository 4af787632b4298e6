// The serial device on POSIX: termios and ioctl, no serial library (those
// refuse pseudo-terminals, which is how many users reach virtual ports).
// This file owns the device's terminal settings; nothing else touches them.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/fatal.h"
#include "base/text.h"
#include "serial/device.h"
#include "serial/serial.h"
#include "serial/tty_rate.h"
#include "serial/tty_refusal.h"

namespace {

// When the port lets the device go, what it still holds to send gets this
// long to go out (looked at every few milliseconds); the rest is dropped,
// so that neither the close nor the settings put back wait on a line that
// does not move.
constexpr int kLetGoWaitMs = 1000;
constexpr int kLetGoLookMs = 5;

// What the device had when the port first opened it: put back whenever the
// port lets it go, also after a re-open of the same path (which finds the
// port's own settings), as other serial programs leave a port as found.
// Plain data only: the port is let go at exit, while statics end.
struct FoundSettings {
    std::array<char, kPathCapacity> path{};
    bool line_known = false;
    LineSnapshot line{};
    bool modem_known = false;
    int modem_bits = 0;
};

FoundSettings found;

void take_found_settings(int fd, const char* path) {
    if (found.path[0] != '\0' && std::strcmp(found.path.data(), path) == 0) return;
    if (!copy_text(found.path, path)) found.path[0] = '\0';
    found.line_known = take_line_snapshot(fd, &found.line);
    found.modem_known = ioctl(fd, TIOCMGET, &found.modem_bits) == 0;
}

void put_modem_line(int fd, int bit) {
    if (ioctl(fd, (found.modem_bits & bit) != 0 ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
    }
}

// Runs at exit too (the port is let go when the process ends): no signal
// check here, only bounded waits.
void put_found_settings(int fd) {
    bool drained = false;
    for (int waited = 0; waited < kLetGoWaitMs && !drained; waited += kLetGoLookMs) {
        int queued = 0;
        drained = ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0;
        if (!drained) poll(nullptr, 0, kLetGoLookMs);
    }
    // Drained: the last bytes leave the transmitter before the rate
    // changes (a pseudo-terminal keeps them for its reader). Stuck: what
    // is left is dropped, so that the close does not wait on it.
    if (drained)
        tcdrain(fd);
    else
        tcflush(fd, TCOFLUSH);
    if (found.modem_known) {
        put_modem_line(fd, TIOCM_DTR);
        put_modem_line(fd, TIOCM_RTS);
    }
    if (found.line_known) put_line_snapshot(fd, found.line);
}

DeviceError failure(int error) {
    return DeviceError{DeviceError::Kind::failed, static_cast<unsigned long>(error)};
}

// clang-format off
constexpr tcflag_t kDataBitsFlags[] = {CS5, CS6, CS7, CS8};  // 5 to 8 data bits
constexpr uint8_t kFewestDataBits = 5;
// clang-format on

#ifdef CRTSCTS
constexpr tcflag_t kHardwareFlow = CRTSCTS;
#else
constexpr tcflag_t kHardwareFlow = 0;
#endif

void put_line_settings(termios& t, const LineSettings& settings) {
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | kHardwareFlow);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag |= kDataBitsFlags[settings.data_bits - kFewestDataBits];
    if (settings.parity != Parity::none) t.c_cflag |= PARENB;
    if (settings.parity == Parity::odd) t.c_cflag |= PARODD;
    if (settings.stop_bits == 2) t.c_cflag |= CSTOPB;
    if (settings.flow == FlowControl::rts_cts) t.c_cflag |= kHardwareFlow;
    if (settings.flow == FlowControl::xon_xoff) t.c_iflag |= IXON | IXOFF;
}

LineSettings line_settings_of(const termios& t) {
    LineSettings settings;
    for (uint8_t i = 0; i < std::size(kDataBitsFlags); ++i)
        if ((t.c_cflag & CSIZE) == kDataBitsFlags[i]) settings.data_bits = kFewestDataBits + i;
    if ((t.c_cflag & PARENB) != 0) settings.parity = (t.c_cflag & PARODD) != 0 ? Parity::odd : Parity::even;
    settings.stop_bits = (t.c_cflag & CSTOPB) != 0 ? 2 : 1;
    if (kHardwareFlow != 0 && (t.c_cflag & kHardwareFlow) != 0) settings.flow = FlowControl::rts_cts;
    if ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF)) settings.flow = FlowControl::xon_xoff;
    return settings;
}

// Raw 8-N-1, no flow control, no processing either way, reads that return
// at once. Each step ends the set-up quietly if the device refuses it.
void configure_line(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    t.c_cflag |= CLOCAL | CREAD;
    put_line_settings(t, LineSettings{});
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

// A terminal device: a serial adapter, a built-in port, a pseudo-terminal.
class TtyDevice final : public Device {
   public:
    explicit TtyDevice(int fd) : fd_(fd) {}
    ~TtyDevice() override {
        put_found_settings(fd_);
        close(fd_);
    }

    std::size_t read_some(uint8_t* buffer, std::size_t capacity, DeviceError* error) override {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return 0;
        if ((p.revents & POLLIN) == 0) {
            if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
                *error = DeviceError{DeviceError::Kind::hung_up};
            return 0;
        }
        ssize_t n = read(fd_, buffer, capacity);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0)
            *error = DeviceError{DeviceError::Kind::hung_up};  // readable but empty: hung up
        else if (errno != EAGAIN && errno != EINTR)
            *error = failure(errno);
        return 0;
    }

    uint32_t queued_count() override {
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
        return static_cast<uint32_t>(waiting);
    }

    int wait_source(WaitSource::Kind kind, WaitSource* source) override {
        *source = WaitSource{fd_, kind};
        return kWaitForever;
    }

    // The descriptor never blocks: a full output queue is waited on with
    // poll, for no longer than the caller allows.
    std::size_t write_some(const uint8_t* bytes, std::size_t count, int wait_ms,
                           DeviceError* error) override {
        for (;;) {
            ssize_t n = write(fd_, bytes, count);
            if (n > 0) return static_cast<std::size_t>(n);
            if (n < 0 && errno == EINTR) {
                check_pending_signal();
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                *error = failure(errno);
                return 0;
            }
            if (wait_ms <= 0) return 0;
            pollfd p{fd_, POLLOUT, 0};
            int ready = poll(&p, 1, wait_ms);
            if (ready < 0 && errno == EINTR) check_pending_signal();
            if (ready <= 0) return 0;
            wait_ms = 0;  // room, or an error the write will say: one more try
        }
    }

    DeviceError set_rate(uint32_t rate) override {
        int error = 0;
        if (apply_line_rate(fd_, rate, &error)) return DeviceError{};
        return failure(error != 0 ? error : EINVAL);
    }

    DeviceError set_modem_line(ModemLine line, bool raised) override {
        int bits = line == ModemLine::dtr ? TIOCM_DTR : TIOCM_RTS;
        if (ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &bits) == 0) return DeviceError{};
        if (errno == ENOTTY || errno == EINVAL)
            return DeviceError{DeviceError::Kind::no_modem_lines, static_cast<unsigned long>(errno)};
        return failure(errno);
    }

    // A driver may keep another frame than asked without failing (a
    // pseudo-terminal keeps 8 bits without parity): what it holds is read
    // back.
    DeviceError set_line(const LineSettings& settings) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return failure(errno);
        put_line_settings(t, settings);
        if (tcsetattr(fd_, TCSANOW, &t) != 0 || tcgetattr(fd_, &t) != 0) return failure(errno);
        LineSettings kept = line_settings_of(t);
        if (kept != settings) return say_line_kept(settings, kept);
        return DeviceError{};
    }

   private:
    int fd_;
};

}  // namespace

std::string com_device_path(int64_t number) { return "/dev/ttyS" + std::to_string(number - 1); }

bool usb_adapter_path(const std::string& path) {
    for (const char* mark : {"ttyUSB", "ttyACM", "/serial/by-id/usb-", "cu.usb", "tty.usb"})
        if (path.find(mark) != std::string::npos) return true;
    return false;
}

std::unique_ptr<Device> open_local_device(const char* path, OpenError* error) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = open_refusal(path, errno);
        return nullptr;
    }
    // Ports are exclusive: a port another program holds is refused.
    if (!isatty(fd)) *error = not_a_terminal(fd);
    if (!*error) *error = held_by_another(path, fd, flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno);
    if (*error) {
        close(fd);
        return nullptr;
    }
    // Neither reads nor writes block (a full output queue is waited on for a
    // bounded time, see write_some). The settings as found are kept first.
    take_found_settings(fd, path);
    configure_line(fd);
    // What came in while no program had the port (a pseudo-terminal whose
    // other end keeps it) is not this run's: a serial port starts empty.
    tcflush(fd, TCIFLUSH);
    auto device = std::make_unique<TtyDevice>(fd);
    // RTS low with DTR; a device without modem lines says so at the DTR.
    device->set_modem_line(ModemLine::rts, false);
    return device;
}

void forget_found_settings() { found.path[0] = '\0'; }

void use_fine_timer() {}  // the POSIX sleeps are as fine as asked

std::string device_error_text(const DeviceError& error) {
    int code = static_cast<int>(error.code);
    switch (error.kind) {
        case DeviceError::Kind::hung_up: return "End of file (the device hung up)";
        case DeviceError::Kind::timed_out: return kTimedOutText;
        case DeviceError::Kind::not_open: code = EBADF; break;
        case DeviceError::Kind::bad_value: code = EINVAL; break;
        default: break;
    }
    return std::strerror(code);
}
