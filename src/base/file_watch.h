// Watching one file for a new version of it: the system's change
// notification on the file's directory (inotify on Linux, directory change
// notification on Windows), so that a file written beside and renamed onto
// the name is seen as well as one rewritten in place. Nothing is polled: the
// watch offers a source that a wait ends on when a change is there to take.
// One realization per platform (file_watch_linux.cpp, file_watch_win32.cpp,
// file_watch_none.cpp where the system has no such notification).
#pragma once

#include <string>

#include "base/wait.h"

// An open watch; see file_watch_open.
struct FileWatch;

// Watches the file by its name (it need not exist yet; its directory
// must). nullptr when the system cannot watch it, with the system's reason
// in *why.
FileWatch* file_watch_open(const char* path, std::string* why);

// What becomes ready when notifications are there to take.
WaitSource file_watch_source(const FileWatch* watch);

// Takes every notification that is there, without waiting; true when one
// of them is of the watched name (created, written, renamed onto, removed).
bool file_watch_take(FileWatch* watch);

void file_watch_close(FileWatch* watch);
