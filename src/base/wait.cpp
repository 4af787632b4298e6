// The waits a lower layer makes on its own, the same on every platform:
// its source, the wait interrupter's and the deadline, on the one wait of
// the platform.
#include "base/wait.h"

#include <array>

#include "base/fatal.h"

namespace {

WaitInterrupter interrupter = nullptr;

}  // namespace

void set_wait_interrupter(WaitInterrupter given) { interrupter = given; }

WaitEnd wait_within(const WaitSource& own, const Deadline& deadline) {
    std::array<WaitSource, 2> sources{own, WaitSource{}};
    int limit = deadline.left_ms();
    if (interrupter != nullptr) {
        int interrupter_limit = interrupter(&sources[1]);
        if (interrupter_limit == 0) return WaitEnd::interrupted;
        limit = shorter_wait(limit, interrupter_limit);
    }
    int ready = wait_for_any(sources, limit);
    check_pending_signal();
    if (ready == 0) return WaitEnd::ready;
    if (ready == 1) return WaitEnd::interrupted;
    return deadline.passed() ? WaitEnd::timed_out : WaitEnd::woken;
}
