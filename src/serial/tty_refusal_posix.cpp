// Why a terminal device did not open, in words a user can act on: the
// device's group when this user is not in it, the program that holds the
// device, what a path that is no terminal is instead.
#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "serial/tty_refusal.h"

namespace {

// Where UUCP lock files are kept (/var/lock is mostly a link to /run/lock).
constexpr const char* kLockDirectories[] = {"/run/lock", "/var/lock"};
constexpr const char* kLockPrefix = "LCK..";
// A lock file holds a pid in ten characters and a line end.
constexpr std::size_t kLockFileLimit = 32;
// Room for one group's entry, its member list included.
constexpr std::size_t kGroupEntryLimit = 1 << 16;
// The most groups this user is looked up in.
constexpr int kMostGroups = 1024;

std::string group_name(gid_t gid) {
    group entry{};
    group* found = nullptr;
    std::vector<char> room(kGroupEntryLimit);
    if (getgrgid_r(gid, &entry, room.data(), room.size(), &found) != 0 || found == nullptr)
        return std::to_string(gid);
    return shown_target_bytes(found->gr_name);
}

bool in_group(gid_t gid) {
    if (getegid() == gid) return true;
    std::array<gid_t, kMostGroups> groups{};
    int count = getgroups(kMostGroups, groups.data());
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid) return true;
    return false;
}

// A user not in the device's group is told which group it is and how to
// join it (udev gives serial adapters to a group such as dialout).
std::string permission_detail(const char* path) {
    struct stat device {};
    if (stat(path, &device) != 0) return {};
    std::string group = group_name(device.st_gid);
    if (!in_group(device.st_gid))
        return ": the device belongs to group " + group + ", which this user is not in (sudo usermod -aG " +
               group + " $USER, then log in again)";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(device.st_mode & 07777));
    return std::string(" (mode ") + mode + ", group " + group + ")";
}

// " (pid 4242, picocom)", or nothing when the holder is not known.
std::string holder_detail(long pid, const std::string& how = {}) {
    if (pid == 0) return {};
    std::string name = program_name(pid);
    return " (pid " + std::to_string(pid) + (name.empty() ? "" : ", " + name) + how + ")";
}

bool alive(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

// A live process other than this one whose UUCP lock file is on the device
// at path: its pid, else 0; *lock_file names the file.
long lock_file_holder(const char* path, std::string* lock_file) {
    std::array<char, PATH_MAX> real{};
    if (realpath(path, real.data()) == nullptr) return 0;
    const char* name = std::strrchr(real.data(), '/');
    name = name == nullptr ? real.data() : name + 1;
    for (const char* directory : kLockDirectories) {
        std::string file = std::string(directory) + "/" + kLockPrefix + name;
        std::ifstream in(file, std::ios::binary);
        std::string text(kLockFileLimit, '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        int64_t pid = 0;
        if (parse_decimal(text, 1, INT32_MAX, &pid, NumberForm::leading) && pid != getpid() && alive(pid)) {
            *lock_file = file;
            return static_cast<long>(pid);
        }
    }
    return 0;
}

}  // namespace

OpenError open_refusal(const char* path, int code) {
    switch (code) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR: return {OpenCause::no_such_device, {}};
        case EACCES:
        case EPERM: return {OpenCause::permission_denied, permission_detail(path)};
        case EBUSY: {  // held in exclusive mode (TIOCEXCL)
            struct stat device {};
            long pid = stat(path, &device) == 0 ? device_opener(device.st_rdev) : 0;
            return {OpenCause::in_use, holder_detail(pid)};
        }
        case EISDIR: return {OpenCause::not_a_port, " (a directory)"};
        default: return {OpenCause::other, std::strerror(code)};
    }
}

OpenError not_a_terminal(int fd) {
    struct stat file {};
    if (fstat(fd, &file) != 0) return {OpenCause::not_a_port, {}};
    if (S_ISREG(file.st_mode)) return {OpenCause::not_a_port, " (a regular file)"};
    if (S_ISFIFO(file.st_mode)) return {OpenCause::not_a_port, " (a pipe)"};
    if (S_ISSOCK(file.st_mode)) return {OpenCause::not_a_port, " (a socket)"};
    return {OpenCause::not_a_port, std::string(" (") + std::strerror(ENOTTY) + ")"};
}

OpenError held_by_another(const char* path, int fd, int lock_code) {
    std::string lock_file;
    long pid = lock_file_holder(path, &lock_file);
    if (pid != 0) return {OpenCause::in_use, holder_detail(pid, "; lock file " + lock_file)};
    if (lock_code == 0) return {};
    if (lock_code != EWOULDBLOCK) return {OpenCause::other, std::strerror(lock_code)};
    struct stat file {};
    return {OpenCause::in_use, holder_detail(fstat(fd, &file) == 0 ? lock_holder(file) : 0)};
}
