// A pseudo-terminal pair for tests that need a serial line or a keyboard.
#pragma once

#include <fcntl.h>
#include <stdlib.h>

#include <string>

// Opens a master side; returns its descriptor (or -1) and the slave's path.
inline int open_pty_master(std::string* slave_path) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[256];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0)
        return -1;
    *slave_path = name;
    return master;
}
