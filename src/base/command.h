// A command line run by the system's shell beside the run (--build): its
// input empty, its output (standard output and standard error together)
// read through a pipe as it comes, so that the caller shows it while it
// waits on the keyboard as well. One realization per platform
// (command_posix.cpp, command_win32.cpp).
#pragma once

#include <string>

#include "base/wait.h"

// A command that runs; see command_start.
struct Command;

// Starts the line with the shell (/bin/sh -c, cmd.exe /c). nullptr when
// it could not be started, with the system's reason in *why. A command
// still running when the run ends is ended with it.
Command* command_start(const char* line, std::string* why);

// What becomes ready when output comes or the output ends.
WaitSource command_wait_source(const Command* command);

// Appends the output that is there to *out, without waiting; false once
// the output has ended (the command is done, or closed it).
bool command_read(Command* command, std::string* out);

// Waits for the command to end and lets go of it: its exit status, or
// 128 + the signal that ended it.
int command_finish(Command* command);
