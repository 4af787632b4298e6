// Files on Windows: identity by volume serial number and file index; output
// through the C runtime's text mode, so that each LF reaches the file as
// CR LF as a text stream writes it (binary for the event stream).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fatal.h"
#include "base/files.h"

struct OutputFile {
    int fd;
};

namespace {

bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    // Directories open too with backup semantics; nothing is written.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool known = GetFileInformationByHandle(handle, info) != 0;
    CloseHandle(handle);
    return known;
}

// The device a name stands for, in capitals ("COM1", "com1:" and
// "\\.\COM1" all stand for \\.\COM1, as the system reads them); empty
// for a name that is no device. A device is never opened to ask: opening
// a port may move its modem lines.
std::string device_name(const char* path) {
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full || std::strncmp(full, "\\\\.\\", 4) != 0) return {};
    std::string name(full, n);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    while (!name.empty() && name.back() == ':') name.pop_back();
    return name;
}

}  // namespace

bool same_file(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return false;
    std::string device = device_name(a);
    if (!device.empty() || !device_name(b).empty()) return device == device_name(b);
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    if (!file_identity(a, &first) || !file_identity(b, &second)) return false;
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

OutputFile* output_file_open(const char* path, int* error, bool binary, bool append) {
    check_pending_signal();
    int fd = _open(path,
                   _O_WRONLY | _O_CREAT | (append ? _O_APPEND : _O_TRUNC) | (binary ? _O_BINARY : _O_TEXT) |
                       _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return new OutputFile{fd};
}

// Files and pipes on Windows take what is written or fail; a pipe whose
// reader stalls is not timed here.
bool output_file_write(OutputFile* file, const char* bytes, std::size_t count, int, int* error) {
    while (count > 0) {
        int n = _write(file->fd, bytes, static_cast<unsigned>(count));
        if (n <= 0) {
            *error = n < 0 ? errno : ENOSPC;
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool output_file_close(OutputFile* file, int* error) {
    bool closed = _close(file->fd) == 0;
    if (!closed) *error = errno;
    delete file;
    return closed;
}

namespace {

// Names tried beside the file before giving up: others may be left over
// from a run that was killed, or written by a run at the same time.
constexpr int kBesideAttempts = 100;

// Something other than a file on a disk (a directory, a device such as NUL
// or COM1, a pipe), which a rename must not replace.
bool names_other_than_a_file(const char* path) {
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    bool file = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) != 0 &&
                (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    CloseHandle(handle);
    return !file;
}

int open_beside(const std::string& name, std::string& beside) {
    for (int attempt = 0; attempt < kBesideAttempts; ++attempt) {
        beside = name + ".new-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
        int fd = _open(beside.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool write_every_byte(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        int n = _write(fd, bytes, static_cast<unsigned>(count));
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// The C runtime's code for why the rename failed.
int rename_error(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EACCES;
        case ERROR_DISK_FULL: return ENOSPC;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        default: return EIO;
    }
}

}  // namespace

bool write_file_whole(const char* path, const char* bytes, std::size_t count, int* error) {
    if (names_other_than_a_file(path)) {
        *error = kFileNotRegular;
        return false;
    }
    std::string beside;
    int fd = open_beside(path, beside);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    bool done = write_every_byte(fd, bytes, count) && _commit(fd) == 0;
    int failure = errno;
    if (_close(fd) != 0 && done) {
        done = false;
        failure = errno;
    }
    if (done && MoveFileExA(beside.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    if (done) failure = rename_error(GetLastError());
    _unlink(beside.c_str());
    *error = failure;
    return false;
}

const char* file_error_text(int error) {
    if (error == kFileTimedOut) return "it took nothing for too long (nobody reading it?)";
    if (error == kFileNotRegular) return "it is not a regular file";
    return std::strerror(error);
}

WaitSource input_file_wait_source(std::FILE*) { return WaitSource{}; }

std::string system_error_text(unsigned long code) {
    std::array<char, 256> text{};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, text.data(), static_cast<DWORD>(text.size()), nullptr);
    std::string out(text.data(), length);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == '.')) out.pop_back();
    return out.empty() ? "error " + std::to_string(code) : out;
}

std::string user_config_file() {
    const char* app_data = std::getenv("APPDATA");
    if (app_data != nullptr && app_data[0] != '\0') return std::string(app_data) + "\\tamborvine\\config";
    return {};
}
