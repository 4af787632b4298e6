// The wait on POSIX: poll(2) on the sources and on a pipe that wake_waits
// writes to, so that a stop requested by a signal handler just before the
// wait began still ends it.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>

#include "base/fatal.h"
#include "base/wait.h"

namespace {

// The most sources one wait takes (the port, the keyboard, one more).
constexpr std::size_t kMaxSources = 4;

struct WakePipe {
    int read_end = -1;
    int write_end = -1;

    WakePipe() {
        int ends[2];
        if (pipe(ends) != 0) return;
        for (int fd : ends) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        read_end = ends[0];
        write_end = ends[1];
    }
};

// Made before main, so a signal handler finds it whole.
const WakePipe wake_pipe;

void drain_wake_pipe() {
    std::array<char, 64> bytes{};
    while (read(wake_pipe.read_end, bytes.data(), bytes.size()) > 0) {
    }
}

}  // namespace

int wait_for_any(std::span<const WaitSource> sources, int timeout_ms) {
    std::array<pollfd, kMaxSources + 1> fds{};
    std::array<int, kMaxSources + 1> index_of{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < sources.size() && count < kMaxSources; ++i) {
        const WaitSource& s = sources[i];
        if (s.kind == WaitSource::Kind::none || s.native < 0) continue;
        short events = s.kind == WaitSource::Kind::readable ? POLLIN : POLLOUT;
        fds[count] = pollfd{static_cast<int>(s.native), events, 0};
        index_of[count++] = static_cast<int>(i);
    }
    std::size_t wake_slot = count;
    if (wake_pipe.read_end >= 0) fds[count++] = pollfd{wake_pipe.read_end, POLLIN, 0};

    int ready = poll(fds.data(), count, timeout_ms < 0 ? -1 : timeout_ms);
    if (ready <= 0) return -1;  // the time ran out, or a signal came (EINTR)
    if (wake_slot < count && fds[wake_slot].revents != 0) drain_wake_pipe();
    for (std::size_t i = 0; i < wake_slot; ++i)
        if (fds[i].revents != 0) return index_of[i];
    return -1;
}

void wake_waits() {
    if (wake_pipe.write_end < 0) return;
    int saved = errno;  // a signal handler leaves errno as it found it
    char byte = 1;
    // A full pipe wakes the wait already.
    if (write(wake_pipe.write_end, &byte, 1) < 0) {
    }
    errno = saved;
}

int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleep_ms(int ms) {
    if (ms <= 0) return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) check_pending_signal();
    check_pending_signal();
}

namespace {

struct DetachedWork {
    void (*work)(void*);
    void* argument;
};

void* run_work(void* raw) {
    DetachedWork given = *static_cast<DetachedWork*>(raw);
    delete static_cast<DetachedWork*>(raw);
    given.work(given.argument);
    return nullptr;
}

}  // namespace

bool run_detached(void (*work)(void*), void* argument) {
    auto* given = new DetachedWork{work, argument};
    // The signals are the main thread's to take: the thread starts with
    // every one of them blocked.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    bool started = pthread_create(&thread, &attributes, run_work, given) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!started) delete given;
    return started;
}
