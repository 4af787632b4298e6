// Scripted steps after the downloads (--send, --expect, --timeout): the
// texts as the command line gives them, and the matcher that finds an
// expected text in what the target sends, however the reads split it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Turns the escapes of a step's text into bytes: \r \n \t \\ and \xHH
// (exactly two hex digits, either case); every other byte stands for
// itself. False for any other backslash sequence, with *error saying which
// one and what is allowed.
bool decode_step_text(std::string_view written, std::string* bytes, std::string* error);

// Finds one text in a stream of bytes fed one at a time: feed() is true on
// the byte that completes it, anywhere after the previous match (an earlier
// partial match that breaks off is not lost: "aab" is found in "aaab").
class TextMatcher {
   public:
    explicit TextMatcher(std::string text);
    bool feed(uint8_t byte);

   private:
    std::string text_;
    std::vector<std::size_t> fallback_;  // longest proper prefix that is also a suffix
    std::size_t matched_ = 0;            // bytes of text_ matched so far
};
