// The serial port against a pseudo-terminal: the test holds the master side
// and sees what the line looks like from the target's end (the master
// reports the slave's settings, rate included).
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pty/pty_pair.h"
#include "serial/device.h"
#include "serial/serial.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace {

using Clock = std::chrono::steady_clock;

class PtyPort : public ::testing::Test {
   protected:
    void SetUp() override {
        PtyPair pair = open_pty_pair();
        master_ = pair.master;
        slave_path_ = pair.slave_path;
        ASSERT_GE(master_, 0);
    }

    void TearDown() override {
        close_port();
        if (master_ >= 0) close(master_);
    }

    termios2 line() const {
        termios2 t{};
        EXPECT_EQ(ioctl(master_, TCGETS2, &t), 0);
        return t;
    }

    void set_line(const termios2& t) const { ASSERT_EQ(ioctl(master_, TCSETS2, &t), 0); }

    void send_from_target(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Waits (bounded) until the port counts at least n bytes waiting.
    void wait_for_count(uint32_t n) const {
        for (int i = 0; i < 2000 && receive_count() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_GE(receive_count(), n);
    }

    // Reads until n bytes came or the line stayed silent for two seconds.
    std::string read_from_target(std::size_t n) const {
        std::string got;
        while (got.size() < n) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) break;
            char buf[65536];
            ssize_t r = read(master_, buf, sizeof buf);
            if (r <= 0) break;
            got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }

    int master_ = -1;
    std::string slave_path_;
};

TEST_F(PtyPort, OpensWithTheDriversRateAndSetsAnyRate) {
    termios2 before = line();
    before.c_cflag = (before.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | BOTHER;
    before.c_ispeed = before.c_ospeed = 4800;
    set_line(before);
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    EXPECT_EQ(line().c_ospeed, 4800u) << "open_port must leave the rate to set_baud_rate";
    for (int32_t rate : {9600, 19200, 115200, 250000, 1000000, 31250}) {
        EXPECT_EQ(set_baud_rate(rate), 1);
        termios2 t = line();
        EXPECT_EQ(t.c_ospeed, static_cast<speed_t>(rate));
        EXPECT_EQ(t.c_ispeed, static_cast<speed_t>(rate));
    }
}

TEST_F(PtyPort, RefusedRateReportsOnStandardError) {
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(set_baud_rate(0), 0);
    EXPECT_EQ(set_baud_rate(-9600), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err, "");
    EXPECT_EQ(err.back(), '\n');
}

TEST_F(PtyPort, LineIsRaw8N1WithoutFlowControl) {
    // Start from a cooked, 7-E-2, flow-controlled line.
    termios2 t = line();
    t.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP | INPCK;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    set_line(t);
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    t = line();
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(PtyPort, ClosePutsTheLineBackAsFound) {
    // Cooked, 7-E-2, at a rate no speed code names.
    termios2 t = line();
    t.c_iflag |= ICRNL | IXON;
    t.c_lflag |= ICANON | ECHO;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | CBAUD)) | CS7 | PARENB | CSTOPB | BOTHER;
    t.c_ispeed = t.c_ospeed = 250000;
    set_line(t);
    const termios2 found = line();
    for (int pass = 0; pass < 2; ++pass) {  // the second open finds the first one's put back
        ASSERT_EQ(open_port(slave_path_.c_str()), 1);
        ASSERT_EQ(set_baud_rate(9600), 1);
        ASSERT_EQ(reopen_port(), 1);  // a re-open keeps what was found first
        EXPECT_NE(line().c_ospeed, found.c_ospeed);
        close_port();
        termios2 after = line();
        EXPECT_EQ(after.c_cflag, found.c_cflag);
        EXPECT_EQ(after.c_iflag, found.c_iflag);
        EXPECT_EQ(after.c_lflag, found.c_lflag);
        EXPECT_EQ(after.c_oflag, found.c_oflag);
        EXPECT_EQ(after.c_ospeed, found.c_ospeed);
        EXPECT_EQ(after.c_ispeed, found.c_ispeed);
    }
}

TEST_F(PtyPort, EveryByteValuePassesUnchangedBothWays) {
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    send_from_target(all);
    wait_for_count(256);
    for (int i = 0; i < 256; ++i) {
        uint8_t b = 0;
        ASSERT_EQ(read_byte(&b), 1);
        EXPECT_EQ(b, i);
    }
    for (int i = 0; i < 256; ++i) EXPECT_EQ(send_byte(static_cast<uint8_t>(i)), 0);
    std::string got = read_from_target(256);
    ASSERT_EQ(got.size(), 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(static_cast<uint8_t>(got[i]), i);
}

TEST_F(PtyPort, ReadWithNothingWaitingGivesMinusOneAndLeavesTheByte) {
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    ::testing::internal::CaptureStdout();
    uint8_t b = 0xA5;
    EXPECT_EQ(receive_count(), 0u);
    EXPECT_EQ(read_byte(&b), -1);
    EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(PtyPort, CountIncludesBytesBehindOnesAlreadyBuffered) {
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    send_from_target({1, 2, 3, 4, 5});
    wait_for_count(5);
    send_from_target({6, 7, 8, 9, 10});
    wait_for_count(10);
    for (int i = 1; i <= 10; ++i) {
        uint8_t b = 0;
        ASSERT_EQ(read_byte(&b), 1);
        EXPECT_EQ(b, i);
    }
    EXPECT_EQ(receive_count(), 0u);
}

TEST_F(PtyPort, DrainTakesOneBytePerPollAndSleepsEveryPoll) {
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    std::vector<uint8_t> bytes(25);
    for (int i = 0; i < 25; ++i) bytes[i] = static_cast<uint8_t>(i);
    send_from_target(bytes);
    wait_for_count(25);
    auto start = Clock::now();
    drain_input(10);
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(10));
    ASSERT_EQ(receive_count(), 15u);
    uint8_t b = 0;
    ASSERT_EQ(read_byte(&b), 1);
    EXPECT_EQ(b, 10) << "the oldest bytes are the ones thrown away";

    start = Clock::now();
    drain_input(0);
    drain_input(-5);
    EXPECT_EQ(receive_count(), 14u);
}

TEST_F(PtyPort, WritesWaitForRoomInsteadOfFailing) {
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    constexpr std::size_t kBytes = 200000;  // far more than the line's queue holds
    std::string got;
    std::thread target([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        got = read_from_target(kBytes);
    });
    int failures = 0;
    for (std::size_t i = 0; i < kBytes; ++i) failures += send_byte(static_cast<uint8_t>(i * 7));
    target.join();
    EXPECT_EQ(failures, 0);
    ASSERT_EQ(got.size(), kBytes);
    for (std::size_t i = 0; i < kBytes; ++i)
        if (static_cast<uint8_t>(got[i]) != static_cast<uint8_t>(i * 7)) FAIL() << "byte " << i;
}

TEST_F(PtyPort, MissingDeviceIsRefusedSilently) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(open_port("/nonexistent/tty0"), 0);
    EXPECT_EQ(open_port("COM250"), 0);
    close_port();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(PtyPort, PortHeldByAnotherProgramIsRefused) {
    int other = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(open_port(slave_path_.c_str()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    close(other);
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    // Now the port is the holder.
    other = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

TEST_F(PtyPort, MissingModemLinesAreReportedOnceOnly) {
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    close_port();
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    set_dtr(1);
    set_dtr(2);
    set_dtr(0);
    std::string err = ::testing::internal::GetCapturedStderr();
    // A pseudo-terminal has no modem lines: one line of system text at most.
    EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST_F(PtyPort, VanishedDeviceIsReportedOnceAndLeftGone) {
    // Named by a link that goes with the device: the number of a pseudo-
    // terminal set free is soon another's, which the re-open would find.
    char dir_template[] = "/tmp/tvport-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string link = std::string(dir_template) + "/port";
    ASSERT_EQ(symlink(slave_path_.c_str(), link.c_str()), 0);
    ASSERT_EQ(open_port(link.c_str()), 1);
    ASSERT_EQ(set_baud_rate(38400), 1);
    EXPECT_FALSE(port_is_gone());
    unlink(link.c_str());
    close(master_);  // the adapter is unplugged: the slave vanishes with it
    master_ = -1;
    ::testing::internal::CaptureStdout();
    uint8_t b = 0x5A;
    int result = 0;
    for (int i = 0; i < 100 && !port_is_gone(); ++i) {
        if (receive_count() > 0) result = read_byte(&b);
        sleep_ms(1);
    }
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(port_is_gone());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(b, 0x5A);
    // "Bad read result", then the system text with its own line break and
    // one more: a blank line closes the report.
    const std::string head = "Bad read result\n";
    ASSERT_EQ(out.rfind(head, 0), 0u) << out;
    ASSERT_GT(out.size(), head.size() + 2) << "the system text follows";
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n") << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;

    // Gone stays quiet: no report per poll.
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(receive_count(), 0u);
        EXPECT_EQ(read_byte(&b), -1);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(reopen_port(), 0);
    EXPECT_TRUE(port_is_gone());
    EXPECT_STREQ(port_name(), link.c_str());
    rmdir(dir_template);
}

TEST_F(PtyPort, OpeningAnOpenPortAgainTakesItAgain) {
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    ASSERT_EQ(open_port(slave_path_.c_str()), 1);
    ASSERT_EQ(open_port(port_name()), 1);
    EXPECT_STREQ(port_name(), slave_path_.c_str());
    EXPECT_EQ(send_byte('k'), 0);
    EXPECT_EQ(read_from_target(1), "k");
}

TEST(PortNames, WindowsNamesStandForTheSerialDevices) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"Com1:", "/dev/ttyS0"},
        {"com2", "/dev/ttyS1"},
        {"cOm12:", "/dev/ttyS11"},
        {"COM0", "COM0"},
        {"COM", "COM"},
        {"COM:", "COM:"},
        {"COM1::", "COM1::"},
        {"COM1x", "COM1x"},
        {"COMx1", "COMx1"},
        {"C", "C"},
        {"", ""},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"COM123456", "COM123456"},
        {"./COM1", "./COM1"},
    };
    for (const auto& [name, path] : cases) {
        PortName parsed;
        ASSERT_TRUE(parse_port_name(name, &parsed)) << name;
        EXPECT_EQ(parsed.device, path) << name;
    }
    PortName parsed;
    EXPECT_FALSE(parse_port_name(std::string(PATH_MAX, 'p').c_str(), &parsed));
}

// A second pseudo-terminal pair, for a device that comes back.
struct OtherPty {
    OtherPty() {
        PtyPair pair = open_pty_pair();
        master = pair.master;
        slave_path = pair.slave_path;
    }
    ~OtherPty() {
        if (master >= 0) close(master);
    }
    int master = -1;
    std::string slave_path;
};

TEST_F(PtyPort, FailedReadReopensByNameAtTheRememberedRate) {
    // The port is named by a link, as /dev/serial/by-id names an adapter.
    char dir_template[] = "/tmp/tvport-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string link = std::string(dir_template) + "/port";
    ASSERT_EQ(symlink(slave_path_.c_str(), link.c_str()), 0);
    ASSERT_EQ(open_port(link.c_str()), 1);
    ASSERT_EQ(set_baud_rate(57600), 1);

    // Unplugged and plugged in again: a new device behind the same name.
    OtherPty back;
    ASSERT_FALSE(back.slave_path.empty());
    std::string moved = link + ".new";
    ASSERT_EQ(symlink(back.slave_path.c_str(), moved.c_str()), 0);
    ASSERT_EQ(rename(moved.c_str(), link.c_str()), 0);
    close(master_);
    master_ = -1;

    ::testing::internal::CaptureStdout();
    uint8_t b = 0;
    int failures = 0;
    for (int i = 0; i < 100 && failures == 0; ++i) {
        if (receive_count() > 0 && read_byte(&b) == -1) ++failures;
        sleep_ms(1);
    }
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(out.rfind("Bad read result\n", 0), 0u) << out;
    EXPECT_FALSE(port_is_gone());
    EXPECT_STREQ(port_name(), link.c_str());

    termios2 t{};
    ASSERT_EQ(ioctl(back.master, TCGETS2, &t), 0);
    EXPECT_EQ(t.c_ospeed, 57600u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    ASSERT_EQ(write(back.master, "z", 1), 1);
    for (int i = 0; i < 2000 && receive_count() == 0; ++i) sleep_ms(1);
    EXPECT_EQ(read_byte(&b), 1);
    EXPECT_EQ(b, 'z');

    close_port();
    unlink(link.c_str());
    rmdir(dir_template);
}

TEST_F(PtyPort, CloseBeforeOpenIsHarmless) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    close_port();
    close_port();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
