// Any rate through termios2 and BOTHER, so that odd rates (250000, 1000000,
// or a rate to match a target's crystal) work as well as the standard ones.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>
#include <cstring>

#include "serial/tty_rate.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

bool apply_line_rate(int fd, uint32_t rate, int* error) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        *error = errno;
        return false;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    t.c_cflag |= BOTHER;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD << IBSHIFT);  // input rate follows the output rate
    if (ioctl(fd, TCSETS2, &t) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

static_assert(sizeof(struct termios2) <= sizeof(LineSnapshot::record), "the settings fit the snapshot");

bool take_line_snapshot(int fd, LineSnapshot* snapshot) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    std::memcpy(snapshot->record, &t, sizeof t);
    return true;
}

void put_line_snapshot(int fd, const LineSnapshot& snapshot) {
    struct termios2 t {};
    std::memcpy(&t, snapshot.record, sizeof t);
    while (ioctl(fd, TCSETS2, &t) != 0 && errno == EINTR) {
    }
}
