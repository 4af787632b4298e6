// Who holds a device, as Linux tells it in /proc: the locks of every process
// with the file each is on (/proc/locks), the descriptors each process has
// open (/proc/PID/fd, readable for this user's processes, or all of them
// for root), and each process's program name (/proc/PID/comm).
#include <dirent.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "base/text.h"
#include "serial/tty_refusal.h"

namespace {

constexpr const char* kLocks = "/proc/locks";
constexpr const char* kProcesses = "/proc";
// A program name is at most 15 characters; read no more than this.
constexpr std::size_t kNameLimit = 64;

// A decimal process id from a word; 0 when it is none.
long as_pid(std::string_view word) {
    int64_t pid = 0;
    return parse_decimal(word, 1, INT32_MAX, &pid) ? static_cast<long>(pid) : 0;
}

// One line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 4242 00:05:19 0 EOF"
// (a process waiting for the lock has "->" after the number): the pid of
// the holder when the lock is on the file.
long holder_in_line(const std::string& line, const struct stat& file) {
    std::istringstream words(line);
    std::string number, type, mode, access, pid, where;
    words >> number >> type;
    if (type == "->") return 0;  // waits for the lock, does not hold it
    words >> mode >> access >> pid >> where;
    unsigned major_number = 0, minor_number = 0;
    unsigned long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%lu", &major_number, &minor_number, &inode) != 3) return 0;
    if (major_number != major(file.st_dev) || minor_number != minor(file.st_dev) || inode != file.st_ino)
        return 0;
    return as_pid(pid);
}

// Whether one of the process's descriptors is the device.
bool has_open(const std::string& pid, dev_t device) {
    std::string fds = std::string(kProcesses) + "/" + pid + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        struct stat opened {};
        std::string fd = fds + "/" + entry->d_name;
        if (entry->d_name[0] != '.' && stat(fd.c_str(), &opened) == 0 && S_ISCHR(opened.st_mode) &&
            opened.st_rdev == device) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

long lock_holder(const struct stat& file) {
    std::ifstream locks(kLocks);
    for (std::string line; std::getline(locks, line);) {
        long pid = holder_in_line(line, file);
        if (pid != 0) return pid;
    }
    return 0;
}

long device_opener(dev_t device) {
    DIR* dir = opendir(kProcesses);
    if (dir == nullptr) return 0;
    long holder = 0;
    while (const dirent* entry = readdir(dir)) {
        long pid = as_pid(entry->d_name);
        if (pid != 0 && pid != getpid() && has_open(entry->d_name, device)) {
            holder = pid;
            break;
        }
    }
    closedir(dir);
    return holder;
}

std::string program_name(long pid) {
    std::ifstream comm(std::string(kProcesses) + "/" + std::to_string(pid) + "/comm");
    std::string name(kNameLimit, '\0');
    comm.read(name.data(), static_cast<std::streamsize>(name.size()));
    name.resize(static_cast<std::size_t>(comm.gcount()));
    std::size_t end = name.find('\n');
    if (end != std::string::npos) name.resize(end);
    return shown_target_bytes(name);
}
