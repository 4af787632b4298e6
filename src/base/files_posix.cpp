// Files on POSIX: identity by device and inode; output through a plain
// descriptor that never blocks once open, so that a write to a pipe whose
// reader stalls waits only as long as the caller allows.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fatal.h"
#include "base/files.h"

struct OutputFile {
    int fd;
};

bool same_file(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return false;
    struct stat first {};
    struct stat second {};
    if (stat(a, &first) != 0 || stat(b, &second) != 0) return false;
    // Two nodes of one device (a serial port under another name) are one.
    if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

OutputFile* output_file_open(const char* path, int* error, bool, bool append) {
    check_pending_signal();
    int fd = -1;
    for (;;) {
        fd = open(path, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC) | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EINTR) break;
        check_pending_signal();
    }
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return new OutputFile{fd};
}

// A pipe whose reader has gone fails the write (EPIPE) like a full disk:
// the file has failed, not the run (SIGPIPE is ignored for the whole run).
// A signal does not end the write: the line being written is finished (or
// its time runs out) and the stop is acted on where the run looks for it,
// so that the way out never begins in the middle of a line.
bool output_file_write(OutputFile* file, const char* bytes, std::size_t count, int wait_ms, int* error) {
    Deadline stalled = Deadline::in_ms(wait_ms);
    while (count > 0) {
        ssize_t n = write(file->fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
            stalled = Deadline::in_ms(wait_ms);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *error = errno;
            return false;
        }
        // Full: wait for room, for a bounded time.
        if (stalled.passed()) {
            *error = kFileTimedOut;
            return false;
        }
        pollfd p{file->fd, POLLOUT, 0};
        poll(&p, 1, stalled.left_ms());
    }
    return true;
}

bool output_file_close(OutputFile* file, int* error) {
    bool closed = close(file->fd) == 0 || errno == EINTR;
    if (!closed) *error = errno;
    delete file;
    return closed;
}

namespace {

// Names tried beside the file before giving up: others may be left over
// from a run that was killed, or written by a run at the same time.
constexpr int kBesideAttempts = 100;

// The name whose file is replaced: a symbolic link's file, so that the
// link stays; the name itself when it does not resolve (a new file).
std::string replaced_name(const char* path) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) return resolved;
    return path;
}

// A new file in the same directory as the name, so that the rename cannot
// cross file systems.
int open_beside(const std::string& name, std::string& beside) {
    for (int attempt = 0; attempt < kBesideAttempts; ++attempt) {
        beside = name + ".new-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        int fd = open(beside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || (errno != EEXIST && errno != EINTR)) return fd;
        check_pending_signal();
    }
    errno = EEXIST;
    return -1;
}

bool write_every_byte(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR) {
            check_pending_signal();
            continue;
        }
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool write_file_whole(const char* path, const char* bytes, std::size_t count, int* error) {
    std::string name = replaced_name(path);
    struct stat existing {};
    bool exists = stat(name.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        *error = kFileNotRegular;
        return false;
    }
    std::string beside;
    int fd = open_beside(name, beside);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    bool done = (!exists || fchmod(fd, existing.st_mode & 07777) == 0) &&
                write_every_byte(fd, bytes, count) && fsync(fd) == 0;
    int failure = errno;
    if (close(fd) != 0 && errno != EINTR && done) {
        done = false;
        failure = errno;
    }
    if (done && rename(beside.c_str(), name.c_str()) == 0) return true;
    if (done) failure = errno;
    unlink(beside.c_str());
    *error = failure;
    return false;
}

const char* file_error_text(int error) {
    if (error == kFileTimedOut) return "it took nothing for too long (nobody reading it?)";
    if (error == kFileNotRegular) return "it is not a regular file";
    return std::strerror(error);
}

WaitSource input_file_wait_source(std::FILE* file) {
    int fd = fileno(file);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
        return WaitSource{};
    return WaitSource{fd, WaitSource::Kind::readable};
}

std::string system_error_text(unsigned long code) { return std::strerror(static_cast<int>(code)); }

// An XDG directory must be absolute; a relative one is ignored, as the
// freedesktop.org rules for these directories ask.
std::string user_config_file() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tamborvine/config";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/tamborvine/config";
    return {};
}
