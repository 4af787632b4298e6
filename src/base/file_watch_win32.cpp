// Watching a file on Windows: ReadDirectoryChangesW on its directory,
// overlapped, with an event that a wait ends on; the notifications of the
// file's name taken (a name compared as Windows compares names, without
// regard to letter case).
#include <windows.h>

#include <array>
#include <string>

#include "base/file_watch.h"
#include "base/files.h"

struct FileWatch {
    HANDLE directory = INVALID_HANDLE_VALUE;
    OVERLAPPED pending{};
    std::wstring name;
    // The notifications are written here while a read is pending.
    alignas(DWORD) std::array<char, 16384> bytes{};
};

namespace {

constexpr DWORD kChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                           FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_CREATION;

std::wstring wide(const std::string& text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), length);
    out.resize(out.size() - 1);
    return out;
}

std::string directory_of(const std::string& path) {
    std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return path.size() > 1 && path[1] == ':' ? path.substr(0, 2) + "." : ".";
    return path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
    std::size_t slash = path.find_last_of("/\\:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool start_read(FileWatch* watch) {
    ResetEvent(watch->pending.hEvent);
    return ReadDirectoryChangesW(watch->directory, watch->bytes.data(),
                                 static_cast<DWORD>(watch->bytes.size()), FALSE, kChanges, nullptr,
                                 &watch->pending, nullptr) != 0;
}

bool names_the_file(const FileWatch& watch, DWORD count) {
    if (count == 0) return true;  // the system's buffer overflowed: anything may have changed
    DWORD at = 0;
    for (;;) {
        const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.bytes.data() + at);
        std::wstring name(info->FileName, info->FileNameLength / sizeof(WCHAR));
        if (CompareStringOrdinal(name.c_str(), -1, watch.name.c_str(), -1, TRUE) == CSTR_EQUAL) return true;
        if (info->NextEntryOffset == 0 || at + info->NextEntryOffset >= count) return false;
        at += info->NextEntryOffset;
    }
}

}  // namespace

FileWatch* file_watch_open(const char* path, std::string* why) {
    auto* watch = new FileWatch;
    watch->name = wide(name_of(path));
    watch->directory = CreateFileA(directory_of(path).c_str(), FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    watch->pending.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watch->directory == INVALID_HANDLE_VALUE || watch->pending.hEvent == nullptr || !start_read(watch)) {
        *why = system_error_text(GetLastError());
        file_watch_close(watch);
        return nullptr;
    }
    return watch;
}

WaitSource file_watch_source(const FileWatch* watch) {
    return {reinterpret_cast<std::intptr_t>(watch->pending.hEvent), WaitSource::Kind::readable};
}

bool file_watch_take(FileWatch* watch) {
    bool named = false;
    DWORD count = 0;
    while (GetOverlappedResult(watch->directory, &watch->pending, &count, FALSE)) {
        named |= names_the_file(*watch, count);
        if (!start_read(watch)) return true;
    }
    return named;
}

void file_watch_close(FileWatch* watch) {
    if (watch == nullptr) return;
    if (watch->directory != INVALID_HANDLE_VALUE) {
        CancelIo(watch->directory);
        DWORD count = 0;
        GetOverlappedResult(watch->directory, &watch->pending, &count, TRUE);
        CloseHandle(watch->directory);
    }
    if (watch->pending.hEvent != nullptr) CloseHandle(watch->pending.hEvent);
    delete watch;
}
