// Setting any line rate the device takes, standard or not. Kept apart from
// the rest of the port because Linux needs its own termios2 definitions,
// which cannot share a file with <termios.h>.
#pragma once

#include <cstdint>

// true when the device took the rate; *error gets errno otherwise.
bool apply_line_rate(int fd, uint32_t rate, int* error);
