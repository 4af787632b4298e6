// Files on Windows: identity by volume serial number and file index; output
// through the C runtime's text mode, so that each LF reaches the file as
// CR LF as a text stream writes it (binary for the event stream).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

bool same_file(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return false;
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    if (!file_identity(a, &first) || !file_identity(b, &second)) return false;
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

OutputFile* output_file_open(const char* path, int* error, bool binary) {
    check_pending_signal();
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | (binary ? _O_BINARY : _O_TEXT) | _O_NOINHERIT,
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

const char* file_error_text(int error) {
    if (error == kFileTimedOut) return "it took nothing for too long (nobody reading it?)";
    return std::strerror(error);
}

WaitSource input_file_wait_source(std::FILE*) { return WaitSource{}; }
