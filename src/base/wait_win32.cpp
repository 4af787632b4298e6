// The wait on Windows: WaitForMultipleObjects on the sources' handles and
// on an event that wake_waits sets, so that a stop requested by the console
// control thread, or a key taken by the pipe reader thread, ends it.
#include <windows.h>

#include <array>

#include "base/fatal.h"
#include "base/wait.h"

namespace {

constexpr std::size_t kMaxSources = 4;
constexpr DWORD kFailedWaitPauseMs = 10;

// Auto-reset: one wake ends one wait, and a wake that came while nobody
// waited ends the next wait at once. Made before main, so the threads that
// set it find it there.
const HANDLE wake_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);

}  // namespace

int wait_for_any(std::span<const WaitSource> sources, int timeout_ms) {
    std::array<HANDLE, kMaxSources + 1> handles{};
    std::array<int, kMaxSources + 1> index_of{};
    DWORD count = 0;
    for (std::size_t i = 0; i < sources.size() && count < kMaxSources; ++i) {
        const WaitSource& s = sources[i];
        if (s.kind == WaitSource::Kind::none || s.native == -1 || s.native == 0) continue;
        handles[count] = reinterpret_cast<HANDLE>(s.native);
        index_of[count++] = static_cast<int>(i);
    }
    DWORD wake_slot = count;
    if (wake_event != nullptr) handles[count++] = wake_event;
    DWORD limit = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    DWORD result = count == 0 ? WAIT_FAILED : WaitForMultipleObjects(count, handles.data(), FALSE, limit);
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + wake_slot)
        return index_of[result - WAIT_OBJECT_0];
    // Nothing that can be waited on: a short pause, so that a caller that
    // loops does not spin, and no wait without end.
    if (result == WAIT_FAILED) Sleep(limit < kFailedWaitPauseMs ? limit : kFailedWaitPauseMs);
    return -1;  // woken, timed out, or failed
}

void wake_waits() {
    if (wake_event != nullptr) SetEvent(wake_event);
}

int64_t monotonic_ms() { return static_cast<int64_t>(GetTickCount64()); }

void sleep_ms(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
    check_pending_signal();
}

namespace {

struct DetachedWork {
    void (*work)(void*);
    void* argument;
};

DWORD WINAPI run_work(void* raw) {
    DetachedWork given = *static_cast<DetachedWork*>(raw);
    delete static_cast<DetachedWork*>(raw);
    given.work(given.argument);
    return 0;
}

}  // namespace

bool run_detached(void (*work)(void*), void* argument) {
    auto* given = new DetachedWork{work, argument};
    HANDLE thread = CreateThread(nullptr, 0, run_work, given, 0, nullptr);
    if (thread == nullptr) {
        delete given;
        return false;
    }
    CloseHandle(thread);
    return true;
}
