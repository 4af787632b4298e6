// The timed exchange against a pseudo-terminal: the program holds the slave
// side as its port, the test plays the target on the master side. Poll
// counts show as bytes left in the queue or as lower bounds on the time a
// call took; nothing here asserts an upper bound on time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "base/run_options.h"
#include "pty/pty_pair.h"
#include "serial/serial.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class Exchange : public ::testing::Test {
   protected:
    void SetUp() override {
        PtyPair pair = open_pty_pair();
        master = pair.master;
        const std::string& slave = pair.slave_path;
        ASSERT_GE(master, 0);
        ASSERT_EQ(open_port(slave.c_str()), 1);
        reply_poll_limit = kReplyPollLimit;
        run_options.verbose = false;
    }

    void TearDown() override {
        close_port();
        if (master >= 0) close(master);
        reply_poll_limit = kReplyPollLimit;
        run_options.verbose = false;
    }

    // The target sends bytes; returns once the port has them all queued.
    void target_sends(const std::string& bytes) {
        uint32_t before = receive_count();
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        for (int i = 0; i < 2000 && receive_count() < before + bytes.size(); ++i) sleep_ms(1);
        ASSERT_EQ(receive_count(), before + bytes.size());
    }

    // What reached the target within the given time.
    std::string target_receives(int wait_ms) {
        std::string got;
        pollfd p{master, POLLIN, 0};
        char chunk[256];
        while (poll(&p, 1, wait_ms) > 0) {
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0) break;
            got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

    int master = -1;
};

std::string captured(const std::function<void()>& body) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

TEST_F(Exchange, ReadBytesTakesOneBytePerPollAndLeavesTheRestQueued) {
    target_sends("0123456789");
    char reply[7] = "XXXXXX";
    EXPECT_EQ(read_bytes(6, reply), 6);
    EXPECT_STREQ(reply, "012345");
    EXPECT_EQ(receive_count(), 4u);
    EXPECT_EQ(read_bytes(6, reply), 4);
    EXPECT_STREQ(reply, "6789");
}

TEST_F(Exchange, ShortReplyReturnsAfterTheWholeBudget) {
    target_sends("abc");
    char reply[7] = "XXXXXX";
    auto start = Clock::now();
    EXPECT_EQ(read_bytes(6, reply), 3);
    // 200 polls, of which at least 197 found nothing and slept 1 ms.
    EXPECT_GE(elapsed_ms(start), 197);
    EXPECT_STREQ(reply, "abc");
    EXPECT_EQ(reply[3], '\0');
}

TEST_F(Exchange, BudgetIsReadFromTheLimitAtEachCall) {
    auto late_byte = [this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ASSERT_EQ(write(master, "\r", 1), 1);
    };
    char reply[2] = "X";
    reply_poll_limit = kReplyPollLimit;
    std::thread sender(late_byte);
    EXPECT_EQ(read_bytes(1, reply), 0);  // 200 polls end before the byte comes
    EXPECT_STREQ(reply, "");
    sender.join();
    drain_input(20);

    reply_poll_limit = kEraseReplyPollLimit;
    std::thread erase_reply(late_byte);
    auto start = Clock::now();
    EXPECT_EQ(read_bytes(1, reply), 1);
    EXPECT_GE(elapsed_ms(start), 500);
    EXPECT_STREQ(reply, "\r");
    erase_reply.join();
}

TEST_F(Exchange, ReadByteTimeoutTakesAWaitingByte) {
    target_sends("Kz");
    uint8_t got = 0;
    EXPECT_EQ(read_byte_timeout(&got), 1);
    EXPECT_EQ(got, 'K');
    EXPECT_EQ(receive_count(), 1u);
}

TEST_F(Exchange, ReadByteTimeoutGivesUpAfterAThousandEmptyPolls) {
    uint8_t got = 0x5A;
    auto start = Clock::now();
    EXPECT_EQ(read_byte_timeout(&got), 0);
    EXPECT_GE(elapsed_ms(start), 1000);
    EXPECT_EQ(got, 0x5A);
}

TEST_F(Exchange, ReadReplySaysNothingWhenNoByteCame) {
    char reply[3] = "XX";
    run_options.verbose = false;
    int count = -1;
    EXPECT_EQ(captured([&] { count = read_reply(2, reply); }), "nothing\r\n");
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(reply, "");

    run_options.verbose = true;
    EXPECT_EQ(captured([&] { count = read_reply(1, reply); }), "nothing\r\n");
}

TEST_F(Exchange, ReadReplyEchoesOnlyTheFirstByteUnderVerbose) {
    char reply[8] = {};
    int count = -1;
    target_sends("AVRBOOT");
    EXPECT_EQ(captured([&] { count = read_reply(7, reply); }), "");
    EXPECT_EQ(count, 7);
    EXPECT_STREQ(reply, "AVRBOOT");

    run_options.verbose = true;
    target_sends("AVRBOOT");
    EXPECT_EQ(captured([&] { count = read_reply(7, reply); }), " A\r\n");
    EXPECT_EQ(count, 7);
    target_sends("?");
    EXPECT_EQ(captured([&] { count = read_reply(2, reply); }), " ?\r\n");
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(reply, "?");
}

TEST_F(Exchange, SendTextSendsEachByteInOrderAndNothingForEmptyText) {
    send_text("");
    EXPECT_EQ(target_receives(50), "");
    send_text("Mancb\x01\xff");
    EXPECT_EQ(target_receives(200), "Mancb\x01\xff");
}

TEST_F(Exchange, SendByteCheckedDeliversTheByte) {
    send_byte_checked('k');
    EXPECT_EQ(target_receives(200), "k");
}

using ExchangeDeathTest = Exchange;

TEST_F(ExchangeDeathTest, SendByteCheckedStopsTheRunWhenTheWriteFails) {
    // The far end hangs up: every write to the port now fails.
    close(master);
    master = -1;
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // one stream, in the order written
            send_byte_checked('x');
        },
        ::testing::ExitedWithCode(1), "Input/output error\n\r\nSerial Write failure\r\n\r\n$");
}

}  // namespace
