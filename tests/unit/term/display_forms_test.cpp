// The display forms of a received byte and the time tag, without a screen.
#include <gtest/gtest.h>

#include <string>

#include "term/term.h"

namespace {

std::string text_of(const ByteText& t) { return std::string(t.bytes.data(), t.length); }

TEST(DisplayForms, HexForms) {
    EXPECT_EQ(text_of(hex_only_form(0x41)), " 41");
    EXPECT_EQ(text_of(hex_only_form(0x00)), " 00");
    EXPECT_EQ(text_of(hex_only_form(0xff)), " ff");
    EXPECT_EQ(text_of(escaped_console_form(27)), " <1b>");
    EXPECT_EQ(text_of(escaped_console_form(200)), " <c8>");
    EXPECT_EQ(text_of(escaped_log_form(127)), " <7f>\r\n");
}

TEST(DisplayForms, LineBytesInTheLog) {
    EXPECT_EQ(text_of(line_byte_log_form('\n')), "\r\n");
    EXPECT_EQ(text_of(line_byte_log_form('\r')), "");
    EXPECT_EQ(text_of(line_byte_log_form('A')), "A");
    EXPECT_EQ(text_of(line_byte_log_form(' ')), " ");
}

TEST(DisplayForms, TimeTag) {
    char tag[kTimeTagCapacity];
    std::size_t n = format_time_tag(TimeOfDay{9, 5, 3, 7}, tag, sizeof tag);
    EXPECT_EQ(std::string(tag, n), " 9:05:03.07 =");
    n = format_time_tag(TimeOfDay{23, 59, 59, 99}, tag, sizeof tag);
    EXPECT_EQ(std::string(tag, n), "23:59:59.99 =");
    // A buffer too small cuts the tag and stays terminated.
    char small[5];
    n = format_time_tag(TimeOfDay{12, 0, 0, 0}, small, sizeof small);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(small), "12:0");
}

}  // namespace
