// Why a terminal device did not open, in the words of the system that
// refused it: the causes (tty_refusal_posix.cpp), and who holds a device,
// which only some systems tell (/proc on Linux: tty_holder_linux.cpp;
// tty_holder_none.cpp elsewhere).
#pragma once

#include <sys/stat.h>

#include <string>

#include "serial/device.h"

// open() of path failed with code.
OpenError open_refusal(const char* path, int code);

// The device at path opened as fd, but it is no terminal.
OpenError not_a_terminal(int fd);

// Whether another program holds the device at path, opened as fd: its
// lock (flock) is on it, lock_code being the error of this program's try
// (0 when it got the lock), or its UUCP lock file (LCK..NAME) names a live
// process. The cause is none when nothing holds it.
OpenError held_by_another(const char* path, int fd, int lock_code);

// The process whose lock (flock) is on the file, else 0.
long lock_holder(const struct stat& file);

// A process other than this one that has the device open, else 0.
long device_opener(dev_t device);

// A process's program name ("picocom"), empty when unknown.
std::string program_name(long pid);
