// Standard rates through cfsetspeed, for POSIX systems without termios2.
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "serial/tty_rate.h"

namespace {
// clang-format off
speed_t speed_code(uint32_t rate) {
    switch (rate) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
#ifdef B57600
        case 57600: return B57600;
#endif
#ifdef B115200
        case 115200: return B115200;
#endif
#ifdef B230400
        case 230400: return B230400;
#endif
        default: return static_cast<speed_t>(rate);  // systems whose speed_t is the rate itself
    }
}
// clang-format on
}  // namespace

bool apply_line_rate(int fd, uint32_t rate, int* error) {
    termios t{};
    if (tcgetattr(fd, &t) != 0 || cfsetspeed(&t, speed_code(rate)) != 0 || tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

static_assert(sizeof(termios) <= sizeof(LineSnapshot::record), "the settings fit the snapshot");

bool take_line_snapshot(int fd, LineSnapshot* snapshot) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    std::memcpy(snapshot->record, &t, sizeof t);
    return true;
}

void put_line_snapshot(int fd, const LineSnapshot& snapshot) {
    termios t{};
    std::memcpy(&t, snapshot.record, sizeof t);
    while (tcsetattr(fd, TCSANOW, &t) != 0 && errno == EINTR) {
    }
}
