// A command on Windows: cmd.exe /c LINE, its output through a named pipe
// that this end reads overlapped, so that a wait ends on the read's event;
// the command in a job object that ends with the run (a make and the
// compilers it started).
#include <windows.h>

#include <array>
#include <atomic>
#include <string>

#include "base/command.h"
#include "base/fatal.h"
#include "base/files.h"

struct Command {
    PROCESS_INFORMATION process{};
    HANDLE output = INVALID_HANDLE_VALUE;
    OVERLAPPED pending{};
    bool reading = false;
    std::array<char, 4096> bytes{};
};

namespace {

// Closed by the system when the run ends, which ends what is in it.
HANDLE job = nullptr;

HANDLE the_job() {
    if (job != nullptr) return job;
    job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr)
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

// Our end, overlapped, and the command's, inherited.
bool make_pipe(Command* command, HANDLE* child_end) {
    static std::atomic<unsigned> made{0};
    std::string name = "\\\\.\\pipe\\tamborvine-build-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(made++);
    command->output = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE, 1, 0, 4096, 0, nullptr);
    if (command->output == INVALID_HANDLE_VALUE) return false;
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    *child_end = CreateFileA(name.c_str(), GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr);
    return *child_end != INVALID_HANDLE_VALUE;
}

bool spawn(Command* command, const char* line, HANDLE child_end) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                 OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = child_end;
    startup.hStdError = child_end;
    std::string text = std::string("cmd.exe /c ") + line;
    bool started = CreateProcessA(nullptr, text.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                  nullptr, &startup, &command->process) != 0;
    DWORD error = GetLastError();
    if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
    if (started) {
        AssignProcessToJobObject(the_job(), command->process.hProcess);
        ResumeThread(command->process.hThread);
    }
    SetLastError(error);
    return started;
}

// A read of the pipe begun; false when the output has ended.
bool start_read(Command* command) {
    ResetEvent(command->pending.hEvent);
    command->reading = ReadFile(command->output, command->bytes.data(),
                                static_cast<DWORD>(command->bytes.size()), nullptr, &command->pending) != 0 ||
                       GetLastError() == ERROR_IO_PENDING;
    return command->reading;
}

void let_go(Command* command) {
    if (command->output != INVALID_HANDLE_VALUE) {
        CancelIo(command->output);
        CloseHandle(command->output);
    }
    if (command->pending.hEvent != nullptr) CloseHandle(command->pending.hEvent);
    if (command->process.hProcess != nullptr) CloseHandle(command->process.hProcess);
    if (command->process.hThread != nullptr) CloseHandle(command->process.hThread);
    delete command;
}

}  // namespace

Command* command_start(const char* line, std::string* why) {
    auto* command = new Command;
    command->pending.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE child_end = INVALID_HANDLE_VALUE;
    bool started = command->pending.hEvent != nullptr && make_pipe(command, &child_end) &&
                   spawn(command, line, child_end);
    DWORD error = GetLastError();
    if (child_end != INVALID_HANDLE_VALUE) CloseHandle(child_end);
    if (!started) {
        *why = system_error_text(error);
        let_go(command);
        return nullptr;
    }
    start_read(command);
    return command;
}

WaitSource command_wait_source(const Command* command) {
    return {reinterpret_cast<std::intptr_t>(command->pending.hEvent), WaitSource::Kind::readable};
}

bool command_read(Command* command, std::string* out) {
    while (command->reading) {
        DWORD count = 0;
        if (!GetOverlappedResult(command->output, &command->pending, &count, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE) return true;
            command->reading = false;  // the command's end is closed: the output has ended
            return false;
        }
        out->append(command->bytes.data(), count);
        start_read(command);
    }
    return false;
}

int command_finish(Command* command) {
    WaitForSingleObject(command->process.hProcess, INFINITE);
    DWORD status = kExitFailure;
    GetExitCodeProcess(command->process.hProcess, &status);
    let_go(command);
    return static_cast<int>(status);
}
