// Text helpers for fixed buffers: nothing is ever cut short silently.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// File and port names are taken at any length a path may have, never cut.
constexpr std::size_t kPathCapacity = PATH_MAX;

// Copy text into a fixed buffer; false when it does not fit.
template <std::size_t N>
bool copy_text(std::array<char, N>& to, const char* from) {
    std::size_t i = 0;
    for (; from[i] != '\0'; ++i) {
        if (i + 1 >= N) return false;
        to[i] = from[i];
    }
    to[i] = '\0';
    return true;
}

// The blanks that end a word: space, tab, line feed, carriage return,
// vertical tab and form feed.
constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Bytes from outside the program as a message shows them (what the target
// sent, a file or port name, a text of the command line): every byte that
// could start or carry a control sequence on the user's terminal (ESC and
// the other C0 controls but CR, LF, TAB and BS; DEL; 0x80-0x9F) becomes
// "<hh>" with two lower-case hex digits; every other byte stays as it is.
std::string shown_target_bytes(std::string_view bytes);

// How a decimal number is read from a word.
enum class NumberForm : uint8_t {
    whole,    // the word is the number: digits only, nothing before or after
    leading,  // as the C library reads one: blanks, a sign, the digits, the rest ignored
};

// The one decimal number parser of the program, for every option and name:
// a number from min to max. false when the word holds no number, or one
// outside the bounds (one too long for any integer included).
bool parse_decimal(std::string_view word, int64_t min, int64_t max, int64_t* value,
                   NumberForm form = NumberForm::whole);
