// Watching a file on Linux: inotify on its directory, the events of the
// file's name taken. A file renamed onto the name comes as IN_MOVED_TO, one
// written in place as IN_MODIFY and IN_CLOSE_WRITE.
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "base/file_watch.h"
#include "base/files.h"

struct FileWatch {
    int fd = -1;
    std::string name;  // the file's name within its directory
};

namespace {

constexpr uint32_t kChanges =
    IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB;

// Room for several events with the longest name each.
constexpr std::size_t kEventBytes = 8 * (sizeof(inotify_event) + NAME_MAX + 1);

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The events of one read; true when one is of the name (an overflowed
// queue may have lost one, so it counts too).
bool events_name(const FileWatch& watch, const char* bytes, std::size_t count) {
    bool named = false;
    std::size_t at = 0;
    while (at + sizeof(inotify_event) <= count) {
        inotify_event event{};
        std::memcpy(&event, bytes + at, sizeof event);
        const char* name = bytes + at + sizeof event;
        if ((event.mask & IN_Q_OVERFLOW) != 0 || (event.len > 0 && watch.name == name)) named = true;
        at += sizeof event + event.len;
    }
    return named;
}

}  // namespace

FileWatch* file_watch_open(const char* path, std::string* why) {
    auto* watch = new FileWatch;
    watch->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watch->name = name_of(path);
    if (watch->fd < 0 || inotify_add_watch(watch->fd, directory_of(path).c_str(), kChanges) < 0) {
        *why = system_error_text(static_cast<unsigned long>(errno));
        file_watch_close(watch);
        return nullptr;
    }
    return watch;
}

WaitSource file_watch_source(const FileWatch* watch) { return {watch->fd, WaitSource::Kind::readable}; }

bool file_watch_take(FileWatch* watch) {
    alignas(inotify_event) std::array<char, kEventBytes> bytes{};
    bool named = false;
    for (;;) {
        ssize_t n = read(watch->fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return named;
        named |= events_name(*watch, bytes.data(), static_cast<std::size_t>(n));
    }
}

void file_watch_close(FileWatch* watch) {
    if (watch == nullptr) return;
    if (watch->fd >= 0) close(watch->fd);
    delete watch;
}
