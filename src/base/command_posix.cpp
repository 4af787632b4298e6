// A command on POSIX: /bin/sh -c LINE by posix_spawn in a process group of
// its own, its output through a pipe whose read end never blocks; what is
// still running at the run's end is sent SIGTERM, the group whole (a make
// and the compilers it started).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/command.h"
#include "base/fatal.h"
#include "base/files.h"

extern char** environ;

struct Command {
    pid_t pid = -1;
    int output = -1;
};

namespace {

// The process group of the command running, for the way out.
pid_t running_group = -1;

void end_running_group() {
    if (running_group > 0) kill(-running_group, SIGTERM);
}

bool spawn(Command* command, const char* line, int write_end) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, write_end, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, write_end, STDERR_FILENO);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    // The run's own signal handling is not the command's.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) sigaddset(&defaults, signal_number);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    char shell[] = "/bin/sh";
    char dash_c[] = "-c";
    char* argv[] = {shell, dash_c, const_cast<char*>(line), nullptr};
    int error = posix_spawn(&command->pid, shell, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    errno = error;
    return error == 0;
}

}  // namespace

Command* command_start(const char* line, std::string* why) {
    int ends[2];
    if (pipe(ends) != 0) {
        *why = system_error_text(static_cast<unsigned long>(errno));
        return nullptr;
    }
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    auto* command = new Command;
    bool started = spawn(command, line, ends[1]);
    *why = started ? "" : system_error_text(static_cast<unsigned long>(errno));
    close(ends[1]);
    if (!started) {
        close(ends[0]);
        delete command;
        return nullptr;
    }
    command->output = ends[0];
    static bool registered = std::atexit(end_running_group) == 0;
    (void)registered;
    running_group = command->pid;
    return command;
}

WaitSource command_wait_source(const Command* command) {
    return {command->output, WaitSource::Kind::readable};
}

bool command_read(Command* command, std::string* out) {
    std::array<char, 4096> bytes{};
    for (;;) {
        ssize_t n = read(command->output, bytes.data(), bytes.size());
        if (n > 0) {
            out->append(bytes.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN;
    }
}

int command_finish(Command* command) {
    int status = 0;
    while (waitpid(command->pid, &status, 0) < 0 && errno == EINTR) check_pending_signal();
    running_group = -1;
    close(command->output);
    delete command;
    if (WIFSIGNALED(status)) return kExitSignalBase + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kExitFailure;
}
