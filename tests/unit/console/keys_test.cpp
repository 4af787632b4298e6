// Key decoding: standard input is a pseudo-terminal for the length of each
// test, and the test types on its master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "pty/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

class Keyboard : public ::testing::Test {
   protected:
    void SetUp() override {
        PtyPair pair = open_pty_pair();
        master_ = pair.master;
        const std::string& slave_path = pair.slave_path;
        ASSERT_GE(master_, 0);
        int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        cfmakeraw(&t);  // keys as a raw keyboard delivers them
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        saved_stdin_ = dup(STDIN_FILENO);
        ASSERT_EQ(dup2(slave, STDIN_FILENO), STDIN_FILENO);
        close(slave);
    }

    void TearDown() override {
        // Nothing typed may be left for the next test.
        EXPECT_FALSE(key_available());
        dup2(saved_stdin_, STDIN_FILENO);
        close(saved_stdin_);
        close(master_);
    }

    void type(const std::string& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::vector<int> read_keys(std::size_t n) const {
        std::vector<int> keys;
        while (keys.size() < n) keys.push_back(read_key());
        return keys;
    }

    // Types the bytes and reads the codes they give.
    std::vector<int> keys_of(const std::string& bytes, std::size_t n) const {
        type(bytes);
        return read_keys(n);
    }

    int master_ = -1;
    int saved_stdin_ = -1;
};

using Codes = std::vector<int>;

TEST_F(Keyboard, OrdinaryAndControlKeysAreTheirCodes) {
    EXPECT_EQ(keys_of("a\x01\x03\r\x7f\xe9", 6), (Codes{'a', 1, 3, 13, 127, 0xe9}));
}

TEST_F(Keyboard, CursorAndFunctionKeysComeAsTwoCodes) {
    EXPECT_EQ(keys_of("\x1b[A\x1b[B\x1b[C\x1b[D", 8), (Codes{0, 72, 0, 80, 0, 77, 0, 75}));
    EXPECT_EQ(keys_of("\x1bOA\x1bOH\x1b[H\x1b[F", 8), (Codes{0, 72, 0, 71, 0, 71, 0, 79}));
    EXPECT_EQ(keys_of("\x1bOP\x1bOS\x1b[15~\x1b[24~", 8), (Codes{0, 59, 0, 62, 0, 63, 0, 134}));
    EXPECT_EQ(keys_of("\x1b[2~\x1b[3~\x1b[5~\x1b[6~", 8), (Codes{0, 82, 0, 83, 0, 73, 0, 81}));
    // With Shift or Ctrl held the key is still the key, never Esc.
    EXPECT_EQ(keys_of("\x1b[1;5C\x1b[3;2~", 4), (Codes{0, 77, 0, 83}));
}

TEST_F(Keyboard, SecondCodeIsPendingAfterTheFirst) {
    type("\x1b[A");
    EXPECT_EQ(read_key(), 0);
    EXPECT_TRUE(key_available());
    EXPECT_EQ(read_key(), 72);
}

TEST_F(Keyboard, LoneEscIsEscAfterAShortWait) {
    auto typed = Clock::now();
    type("\x1b");
    EXPECT_EQ(read_key(), 27);
    // It waited to see whether a sequence follows.
    EXPECT_GE(Clock::now() - typed, std::chrono::milliseconds(20));
}

TEST_F(Keyboard, LoneEscIsNotAvailableAtOnceButIsLater) {
    type("\x1b");
    bool seen = false;
    for (int i = 0; i < 2000 && !seen; ++i) {
        seen = key_available();
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(seen);
    EXPECT_EQ(read_key(), 27);
}

TEST_F(Keyboard, EscFollowedByAnOrdinaryKeyIsBothKeys) {
    EXPECT_EQ(keys_of("\x1bx", 2), (Codes{27, 'x'}));
    EXPECT_EQ(keys_of("\x1b\x1b", 2), (Codes{27, 27}));
}

TEST_F(Keyboard, ControlKeyInsideAnUnfinishedSequenceIsKept) {
    // Esc, '[' and then Esc again: both Escs count, nothing is lost.
    EXPECT_EQ(keys_of("\x1b[\x1b", 3), (Codes{27, '[', 27}));
    EXPECT_EQ(keys_of("\x1bO\x03", 3), (Codes{27, 'O', 3}));
}

TEST_F(Keyboard, UnknownSequencesAreDroppedWhole) { EXPECT_EQ(keys_of("\x1b[99~z", 1), (Codes{'z'})); }

TEST_F(Keyboard, PastedBurstArrivesWholeAndInOrder) {
    std::string text;
    for (int i = 0; i < 600; ++i) text += static_cast<char>('a' + i % 26);
    type(text);
    std::string got;
    for (std::size_t i = 0; i < text.size(); ++i) got += static_cast<char>(read_key());
    EXPECT_EQ(got, text);
}

}  // namespace
