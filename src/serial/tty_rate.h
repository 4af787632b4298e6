// Setting any line rate the device takes, standard or not, and taking and
// putting back the device's whole line settings (non-standard rates
// included). Kept apart from the rest of the port because Linux needs its
// own termios2 definitions, which cannot share a file with <termios.h>.
#pragma once

#include <cstdint>

// true when the device took the rate; *error gets errno otherwise.
bool apply_line_rate(int fd, uint32_t rate, int* error);

// The device's line settings as found: every flag, control character and
// rate, kept in the platform's own record.
struct LineSnapshot {
    alignas(8) unsigned char record[128];
};

// true when the settings were read into *snapshot.
bool take_line_snapshot(int fd, LineSnapshot* snapshot);

// Puts the settings back at once (what is still queued to send is not
// waited for).
void put_line_snapshot(int fd, const LineSnapshot& snapshot);
