// Step texts: the escapes the command line takes, the ones it refuses, and
// matches that a read boundary or a false start must not hide.
#include <gtest/gtest.h>

#include <string>

#include "steps/steps.h"

namespace {

std::string decoded(const char* written) {
    std::string bytes, error;
    EXPECT_TRUE(decode_step_text(written, &bytes, &error)) << written << ": " << error;
    return bytes;
}

std::string refusal(const char* written) {
    std::string bytes, error;
    EXPECT_FALSE(decode_step_text(written, &bytes, &error)) << written;
    return error;
}

// The offsets (one past the end) at which the text is found in the stream.
std::vector<std::size_t> matches(const std::string& text, const std::string& stream) {
    TextMatcher matcher(text);
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < stream.size(); ++i)
        if (matcher.feed(static_cast<uint8_t>(stream[i]))) at.push_back(i + 1);
    return at;
}

TEST(StepText, Escapes) {
    EXPECT_EQ(decoded("plain text"), "plain text");
    EXPECT_EQ(decoded("a\\r\\n\\tb\\\\c"), "a\r\n\tb\\c");
    EXPECT_EQ(decoded("\\x41\\x7e\\xFf\\x00z"), std::string("A~\xff\0z", 5));
    EXPECT_EQ(decoded("\\\\x41"), "\\x41");
    EXPECT_EQ(decoded(""), "");
}

TEST(StepText, BadEscapesAreNamed) {
    EXPECT_EQ(refusal("a\\qb"), "Bad escape \"\\q\" in \"a\\qb\" (use \\r, \\n, \\t, \\\\ or \\xHH)");
    EXPECT_NE(refusal("end\\").find("\"\\\" in"), std::string::npos);
    EXPECT_NE(refusal("\\x4").find("\"\\x4\" in"), std::string::npos);
    EXPECT_NE(refusal("\\x4g!").find("\"\\x4g\" in"), std::string::npos);
    EXPECT_NE(refusal("\\0").find("\"\\0\" in"), std::string::npos);
}

TEST(StepText, MatchesAcrossFalseStartsAndRepeats) {
    EXPECT_EQ(matches("aab", "aaab"), (std::vector<std::size_t>{4}));
    EXPECT_EQ(matches("hello", "hehello"), (std::vector<std::size_t>{7}));
    EXPECT_EQ(matches("abab", "abababab"), (std::vector<std::size_t>{4, 8}));  // not overlapping
    EXPECT_EQ(matches("ok\r\n", "ok\rok\r\n"), (std::vector<std::size_t>{7}));
    EXPECT_EQ(matches(std::string("\0\xff", 2), std::string("x\0\0\xff", 4)), (std::vector<std::size_t>{4}));
    EXPECT_TRUE(matches("xyz", "xyxy").empty());
}

}  // namespace
