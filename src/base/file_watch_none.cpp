// Watching a file where the system has no change notification this program
// knows: no watch can be made (the run says so and stops).
#include "base/file_watch.h"

struct FileWatch {};

FileWatch* file_watch_open(const char*, std::string* why) {
    *why = "this system offers no change notification";
    return nullptr;
}

WaitSource file_watch_source(const FileWatch*) { return {}; }

bool file_watch_take(FileWatch*) { return false; }

void file_watch_close(FileWatch* watch) { delete watch; }
