// Target bytes in messages: the bytes that could drive the user's terminal
// are shown in hex, the rest as they are.
#include "base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ShownTargetBytes, ControlsInHexTextAndLineControlsAsTheyAre) {
    using namespace std::string_literals;
    EXPECT_EQ(shown_target_bytes("AVR\r\n\t\b ~"), "AVR\r\n\t\b ~");
    EXPECT_EQ(shown_target_bytes("\x1b[2J"), "<1b>[2J");
    EXPECT_EQ(shown_target_bytes("\0\x07\x0b\x0c\x0e\x1f\x7f"s), "<00><07><0b><0c><0e><1f><7f>");
    EXPECT_EQ(shown_target_bytes("\x80\x9b\x9f\xa0\xc3\xa9\xff"), "<80><9b><9f>\xa0\xc3\xa9\xff");
    EXPECT_EQ(shown_target_bytes(""), "");
}

}  // namespace
