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

// ---- the steps after the downloads ----------------------------------------

struct Step {
    enum class Kind { send, expect };
    Kind kind = Kind::send;
    std::string written;           // as the command line gave it (messages, events)
    std::string bytes;             // escapes decoded
    double timeout_seconds = 0.0;  // how long an expect waits
};

// Runs the steps in command-line order on the open port: a send sends its
// bytes, an expect reads until its text has arrived, looking only at what
// came after the previous match. Everything read is shown, tagged and
// logged as the terminal shows it, flushed as it comes; no key is read.
// True when every step passed. An expect that runs out of time says
// "Timed out after N s waiting for "TEXT"" on standard error, puts that
// text in *failure and returns false.
bool run_steps(const std::vector<Step>& steps, std::string* failure);
