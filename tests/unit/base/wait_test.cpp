// The wait on several sources: which source ends it, the time limit, and a
// wake that must never be lost (one that came before the wait began ends
// that wait at once).
#include "base/wait.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <thread>

namespace {

class Pipes : public ::testing::Test {
   protected:
    void SetUp() override {
        for (auto& p : pipes_) ASSERT_EQ(pipe(p.data()), 0);
    }
    void TearDown() override {
        for (auto& p : pipes_)
            for (int fd : p)
                if (fd >= 0) close(fd);
    }
    WaitSource readable(int i) const { return WaitSource{pipes_[i][0], WaitSource::Kind::readable}; }

    std::array<std::array<int, 2>, 2> pipes_{};
};

TEST_F(Pipes, TheSourceThatIsReadyEndsTheWaitAndNoneMeansTheTimeRanOut) {
    std::array<WaitSource, 3> sources{readable(0), WaitSource{}, readable(1)};
    int64_t start = monotonic_ms();
    EXPECT_EQ(wait_for_any(sources, 30), -1);
    EXPECT_GE(monotonic_ms() - start, 29);

    ASSERT_EQ(write(pipes_[1][1], "x", 1), 1);
    EXPECT_EQ(wait_for_any(sources, kWaitForever), 2);
    // A writable end is ready at once.
    std::array<WaitSource, 1> out{WaitSource{pipes_[0][1], WaitSource::Kind::writable}};
    EXPECT_EQ(wait_for_any(out, kWaitForever), 0);
}

TEST_F(Pipes, AHungUpSourceCountsAsReady) {
    close(pipes_[0][1]);
    pipes_[0][1] = -1;
    std::array<WaitSource, 1> sources{readable(0)};
    EXPECT_EQ(wait_for_any(sources, kWaitForever), 0);
}

TEST(Wake, AWakeFromAnotherThreadEndsAWaitWithoutLimit) {
    std::thread waker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        wake_waits();
    });
    EXPECT_EQ(wait_for_any({}, kWaitForever), -1);
    waker.join();
}

TEST(Wake, AWakeBeforeTheWaitEndsItAtOnceAndOnlyIt) {
    wake_waits();
    wake_waits();
    EXPECT_EQ(wait_for_any({}, kWaitForever), -1);
    // Both wakes were taken by that wait: the next one runs its time.
    int64_t start = monotonic_ms();
    EXPECT_EQ(wait_for_any({}, 20), -1);
    EXPECT_GE(monotonic_ms() - start, 19);
}

}  // namespace
