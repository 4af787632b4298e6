// What the target sends reaches a message only in a form that cannot drive
// the user's terminal.
#include "base/text.h"

#include <charconv>

namespace {

bool may_drive_the_terminal(unsigned char b) {
    if (b == '\r' || b == '\n' || b == '\t' || b == '\b') return false;
    return b < 0x20 || b == 0x7F || (b >= 0x80 && b <= 0x9F);
}

}  // namespace

std::string shown_target_bytes(std::string_view bytes) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (!may_drive_the_terminal(b)) {
            shown += c;
            continue;
        }
        shown += '<';
        shown += kHexDigits[b >> 4];
        shown += kHexDigits[b & 0xF];
        shown += '>';
    }
    return shown;
}

bool parse_decimal(std::string_view word, int64_t min, int64_t max, int64_t* value, NumberForm form) {
    std::size_t at = 0;
    bool negative = false;
    if (form == NumberForm::leading) {
        while (at < word.size() && is_blank(word[at])) ++at;
        if (at < word.size() && (word[at] == '+' || word[at] == '-')) negative = word[at++] == '-';
    }
    const char* digits = word.data() + at;
    const char* end = word.data() + word.size();
    if (digits == end || *digits < '0' || *digits > '9') return false;
    uint64_t magnitude = 0;
    auto [stop, error] = std::from_chars(digits, end, magnitude);
    if (error != std::errc() || (form == NumberForm::whole && stop != end)) return false;
    if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    int64_t number = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (number < min || number > max) return false;
    *value = number;
    return true;
}
