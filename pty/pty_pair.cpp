// termios2 carries any rate both ways; <sys/ioctl.h> and <termios.h> clash
// with its kernel header, so ioctl is declared by hand.
#include "pty/pty_pair.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace {

bool make_raw(int slave, uint32_t rate) {
    struct termios2 t {};
    if (ioctl(slave, TCGETS2, &t) != 0) return false;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8 | CREAD | CLOCAL;
    if (rate != 0) {
        t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | BOTHER;
        t.c_ispeed = t.c_ospeed = rate;
    }
    return ioctl(slave, TCSETS2, &t) == 0;
}

// Closes what was opened, keeping the errno of the failure.
PtyPair failed(PtyPair& pair) {
    int saved = errno;
    close_pty_pair(pair);
    errno = saved;
    return pair;
}

}  // namespace

PtyPair open_pty_pair(const PtySettings& settings) {
    PtyPair pair;
    pair.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pair.master < 0) return pair;
    char name[256];
    if (grantpt(pair.master) != 0 || unlockpt(pair.master) != 0 ||
        ptsname_r(pair.master, name, sizeof name) != 0)
        return failed(pair);
    pair.slave_path = name;
    if (settings.raw || settings.keep_slave) {
        pair.slave = open(name, O_RDWR | O_NOCTTY);
        if (pair.slave < 0 || (settings.raw && !make_raw(pair.slave, settings.rate))) return failed(pair);
        if (!settings.keep_slave) {
            close(pair.slave);
            pair.slave = -1;
        }
    }
    if (settings.nonblocking_master &&
        fcntl(pair.master, F_SETFL, fcntl(pair.master, F_GETFL) | O_NONBLOCK) != 0)
        return failed(pair);
    return pair;
}

void close_pty_pair(PtyPair& pair) {
    if (pair.master >= 0) close(pair.master);
    if (pair.slave >= 0) close(pair.slave);
    pair.master = pair.slave = -1;
}

uint32_t pty_rate(int master) {
    struct termios2 t {};
    if (master < 0 || ioctl(master, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}
