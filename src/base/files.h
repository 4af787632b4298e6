// Files the run writes, or must keep from harm: whether two names are one
// file, an output file whose writes never wait without bound, and a file
// written whole or not at all. One
// realization per platform (files_posix.cpp, files_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "base/wait.h"

// True when both names reach one existing file, whatever the spelling
// (links, "." and ".." included): the same device and inode on POSIX, the
// same volume serial number and file index on Windows. false when either
// is missing (nullptr, or no such file).
bool same_file(const char* a, const char* b);

// An open output file; see output_file_open.
struct OutputFile;

// The error code of a write that waited its whole time without the file
// taking a byte (a pipe whose reader has stopped reading).
constexpr int kFileTimedOut = -1;

// Opens the file for writing, created or truncated (or, with append,
// written on at its end); text mode where the platform has one, unless
// binary (every byte as written). Opening a pipe waits for its reader; a
// signal during that wait ends the run. nullptr when it does not open,
// with the system's code in *error.
OutputFile* output_file_open(const char* path, int* error, bool binary = false, bool append = false);

// Writes every byte; a file that takes nothing for wait_ms milliseconds has
// failed. false when not every byte went, with the code in *error.
bool output_file_write(OutputFile* file, const char* bytes, std::size_t count, int wait_ms, int* error);

// Closes the file; false when the close found an error (*error).
bool output_file_close(OutputFile* file, int* error);

// Writes the bytes into the file so that it appears whole or not at all:
// into a new file beside it, flushed to the disk, then renamed over the
// name (replacing what was there; a symbolic link stays, the file it names
// is replaced, with its permissions). The name must be a regular file or
// not exist yet. false with the code in *error, and nothing left beside.
bool write_file_whole(const char* path, const char* bytes, std::size_t count, int* error);

// The error code of write_file_whole for a name that is a directory, a
// device or a pipe: replacing it would not write the file the user meant.
constexpr int kFileNotRegular = -2;

// The system's text for an error code of the calls above.
const char* file_error_text(int error);

// The system's text for an error code of its own calls (errno on POSIX,
// GetLastError on Windows), without a line end.
std::string system_error_text(unsigned long code);

// What a wait for more of a file being read is: its descriptor when a read
// of it may wait (a pipe whose writer is slow, a terminal, a device);
// nothing for a file on disk or a directory, whose reads never wait, nor
// on Windows, where such a wait cannot be made on every kind of file.
WaitSource input_file_wait_source(std::FILE* file);

// The user's configuration file of the program: on POSIX
// $XDG_CONFIG_HOME/tamborvine/config, else ~/.config/tamborvine/config; on
// Windows %APPDATA%\tamborvine\config. Empty when the environment names no
// such place.
std::string user_config_file();
