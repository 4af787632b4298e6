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

TEST(ParseDecimal, BoundsAndTheTwoForms) {
    struct Case {
        const char* word;
        NumberForm form;
        bool taken;
        int64_t value;
    };
    for (const Case& c :
         {Case{"65535", NumberForm::whole, true, 65535}, Case{"065535", NumberForm::whole, true, 65535},
          Case{"65536", NumberForm::whole, false, 0}, Case{"0", NumberForm::whole, true, 0},
          Case{"12x", NumberForm::whole, false, 0}, Case{"+12", NumberForm::whole, false, 0},
          Case{"", NumberForm::whole, false, 0}, Case{"99999999999999999999", NumberForm::whole, false, 0},
          Case{" -12baud", NumberForm::leading, true, -12}, Case{"x12", NumberForm::leading, false, 0},
          Case{"-101", NumberForm::leading, false, 0}}) {
        int64_t value = 0;
        EXPECT_EQ(parse_decimal(c.word, -100, 65535, &value, c.form), c.taken) << c.word;
        EXPECT_EQ(value, c.value) << c.word;
    }
}

}  // namespace
