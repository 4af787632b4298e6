// The serial port on POSIX: termios and ioctl, no serial library (those
// refuse pseudo-terminals, which is how many users reach virtual ports).
// This file owns the port's terminal settings; nothing else touches them.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/fatal.h"
#include "serial/port_rate.h"
#include "serial/serial.h"

namespace {

struct SerialPort {
    int fd = -1;
    std::array<char, PATH_MAX> name{};
    int32_t remembered_rate = 0;
    bool gone = false;           // the device vanished and the re-open failed
    int pending_read_error = 0;  // a failed read found by receive_count, reported by read_byte
    bool modem_lines_reported = false;
};

SerialPort port;

// Received bytes taken from the device and not yet handed out by read_byte.
// receive_count includes them, so callers see one queue.
std::array<uint8_t, 1 << 16> rx{};
std::size_t rx_head = 0;
std::size_t rx_count = 0;

constexpr int kReadFailureEof = -1;
constexpr long kMaxComNumber = 99999;  // COM1 to COM99999  // pending_read_error for end of file / hang-up

void print_errno_text(int error) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", std::strerror(error));
}

// Raw 8-N-1, no flow control, no processing either way, reads that return
// at once. Each step ends the set-up quietly if the device refuses it.
void configure_line(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL);
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

bool modem_line(unsigned long request, int bits) {
    if (port.fd < 0) {
        errno = EBADF;
        return false;
    }
    return ioctl(port.fd, request, &bits) == 0;
}

// A device without modem lines (a pseudo-terminal) refuses every DTR
// change; say so once per run, not at every open and pulse.
void report_modem_line_failure() {
    int error = errno;
    if ((error == ENOTTY || error == EINVAL) && port.modem_lines_reported) return;
    if (error == ENOTTY || error == EINVAL) port.modem_lines_reported = true;
    print_errno_text(error);
}

// The device ended or failed: report as a failed read does, then re-open
// in place by the remembered name at the remembered rate.
void handle_read_failure(int error) {
    // The system text carries its own line break, and the report adds one.
    std::printf("Bad read result\n");
    std::printf("%s\n\n", error == kReadFailureEof ? "End of file (the device hung up)" : std::strerror(error));
    std::fflush(stdout);
    close_port();
    char name[PATH_MAX];
    std::snprintf(name, sizeof name, "%s", port.name.data());
    if (open_port(name) == 1) {
        set_baud_rate(port.remembered_rate);
    } else {
        port.gone = true;
    }
}

// Take what the device has into the receive buffer; note a failure for
// read_byte to report.
void fill_rx() {
    if (port.fd < 0 || port.gone || port.pending_read_error != 0 || rx_count == rx.size()) return;
    pollfd p{port.fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return;
    if ((p.revents & POLLIN) == 0) {
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) port.pending_read_error = kReadFailureEof;
        return;
    }
    std::size_t tail = (rx_head + rx_count) % rx.size();
    std::size_t room = rx_head + rx_count < rx.size() ? rx.size() - tail : rx_head - tail;
    ssize_t n = read(port.fd, rx.data() + tail, room);
    if (n > 0) {
        rx_count += static_cast<std::size_t>(n);
    } else if (n == 0) {
        port.pending_read_error = kReadFailureEof;  // readable but empty: hung up
    } else if (errno != EAGAIN && errno != EINTR) {
        port.pending_read_error = errno;
    }
}

// Bytes waiting in the device beyond the receive buffer.
uint32_t device_count() {
    int waiting = 0;
    if (port.fd < 0 || port.gone || ioctl(port.fd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<uint32_t>(waiting);
}

}  // namespace

bool port_device_path(const char* name, char* path, std::size_t capacity) {
    bool windows_name = std::tolower(static_cast<unsigned char>(name[0])) == 'c' &&
                        std::tolower(static_cast<unsigned char>(name[1])) == 'o' &&
                        std::tolower(static_cast<unsigned char>(name[2])) == 'm';
    if (windows_name) {
        const char* p = name + 3;
        long n = 0;
        while (std::isdigit(static_cast<unsigned char>(*p)) && n < kMaxComNumber) n = n * 10 + (*p++ - '0');
        if (*p == ':') ++p;
        if (p > name + 3 && *p == '\0' && n >= 1 && n <= kMaxComNumber) {
            int written = std::snprintf(path, capacity, "/dev/ttyS%ld", n - 1);
            return written >= 0 && static_cast<std::size_t>(written) < capacity;
        }
    }
    int written = std::snprintf(path, capacity, "%s", name);
    return written >= 0 && static_cast<std::size_t>(written) < capacity;
}

int open_port(const char* name) {
    // A name that does not fit would open another device: refuse it.
    char path[PATH_MAX + 16];
    if (std::strlen(name) >= port.name.size() || !port_device_path(name, path, sizeof path)) return 0;
    // The name may be the port's own (a re-open): keep it before closing.
    std::array<char, PATH_MAX> given{};
    std::memcpy(given.data(), name, std::strlen(name) + 1);
    close_port();  // a port opened again lets go of its old descriptor and lock
    port.name = given;
    port.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port.fd < 0) return 0;
    // Ports are exclusive: a port another program holds is refused.
    if (flock(port.fd, LOCK_EX | LOCK_NB) != 0 || !isatty(port.fd)) {
        close(port.fd);
        port.fd = -1;
        return 0;
    }
    // Writes wait when the output queue is full; reads never wait (VMIN 0).
    int flags = fcntl(port.fd, F_GETFL);
    if (flags >= 0) fcntl(port.fd, F_SETFL, flags & ~O_NONBLOCK);
    configure_line(port.fd);
    if (!modem_line(TIOCMBIC, TIOCM_RTS)) errno = 0;  // RTS low with DTR; failure shows at set_dtr
    set_dtr(0);
    port.gone = false;
    return 1;
}

void set_dtr(int level) {
    if (!modem_line(level != 0 ? TIOCMBIS : TIOCMBIC, TIOCM_DTR)) report_modem_line_failure();
}

int set_baud_rate(int32_t rate) {
    port.remembered_rate = rate;
    int error = 0;
    if (port.fd < 0) {
        error = EBADF;
    } else if (rate <= 0) {
        error = EINVAL;
    } else if (!apply_line_rate(port.fd, static_cast<uint32_t>(rate), &error)) {
        if (error == 0) error = EINVAL;
    } else {
        return 1;
    }
    print_errno_text(error);
    return 0;
}

int send_byte(uint8_t byte) {
    for (;;) {
        ssize_t n = port.fd >= 0 ? write(port.fd, &byte, 1) : (errno = EBADF, -1);
        if (n >= 0) return 0;
        if (errno == EINTR) {
            check_pending_signal();
            continue;
        }
        if (errno == EAGAIN) {  // should not happen with blocking writes; wait for room
            pollfd p{port.fd, POLLOUT, 0};
            poll(&p, 1, 10);
            check_pending_signal();
            continue;
        }
        print_errno_text(errno);
        return 1;
    }
}

uint32_t receive_count() {
    if (rx_count == 0) fill_rx();
    // A pending failure counts as something to read: read_byte reports it.
    if (rx_count == 0) return port.pending_read_error != 0 ? 1u : 0u;
    // Bytes the device holds beyond the buffer count too, so that a caller
    // waiting for a number of bytes sees them arrive.
    return static_cast<uint32_t>(rx_count) + device_count();
}

bool byte_waiting() {
    if (rx_count == 0) fill_rx();
    return rx_count > 0 || port.pending_read_error != 0;
}

int read_byte(uint8_t* out) {
    if (rx_count == 0) fill_rx();
    if (rx_count > 0) {
        *out = rx[rx_head];
        rx_head = (rx_head + 1) % rx.size();
        --rx_count;
        if (rx_count == 0) rx_head = 0;
        return 1;
    }
    if (port.pending_read_error != 0) {
        int error = port.pending_read_error;
        port.pending_read_error = 0;
        handle_read_failure(error);
    }
    return -1;
}

void close_port() {
    if (port.fd >= 0) close(port.fd);
    port.fd = -1;
    rx_head = rx_count = 0;
    port.pending_read_error = 0;
}

void sleep_ms(int ms) {
    if (ms <= 0) return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) check_pending_signal();
    check_pending_signal();
}

void wait_for_byte_ms(int ms) {
    if (rx_count > 0 || port.fd < 0 || port.gone) {
        if (rx_count == 0) sleep_ms(ms);
        return;
    }
    pollfd p{port.fd, POLLIN, 0};
    if (poll(&p, 1, ms) < 0 && errno == EINTR) check_pending_signal();
    check_pending_signal();
}

bool port_is_gone() { return port.gone; }

int reopen_port() {
    char name[PATH_MAX];
    std::snprintf(name, sizeof name, "%s", port.name.data());
    int32_t rate = port.remembered_rate;
    close_port();
    if (open_port(name) != 1) {
        port.gone = true;
        return 0;
    }
    set_baud_rate(rate);
    return 1;
}

const char* port_name() { return port.name.data(); }
