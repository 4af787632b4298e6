// The texts of the steps: escapes decoded once at the command line, and a
// matcher that carries a partial match from one read into the next.

#include "steps/steps.h"

namespace {

constexpr std::string_view kAllowedEscapes = "\\r, \\n, \\t, \\\\ or \\xHH";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool refuse(std::string_view escape, std::string_view written, std::string* error) {
    *error = "Bad escape \"";
    error->append(escape);
    error->append("\" in \"");
    error->append(written);
    error->append("\" (use ");
    error->append(kAllowedEscapes);
    error->append(")");
    return false;
}

}  // namespace

bool decode_step_text(std::string_view written, std::string* bytes, std::string* error) {
    bytes->clear();
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] != '\\') {
            bytes->push_back(written[i]);
            continue;
        }
        if (i + 1 >= written.size()) return refuse("\\", written, error);
        char kind = written[i + 1];
        switch (kind) {
            case 'r': bytes->push_back('\r'); break;
            case 'n': bytes->push_back('\n'); break;
            case 't': bytes->push_back('\t'); break;
            case '\\': bytes->push_back('\\'); break;
            case 'x': {
                int high = i + 2 < written.size() ? hex_value(written[i + 2]) : -1;
                int low = i + 3 < written.size() ? hex_value(written[i + 3]) : -1;
                if (high < 0 || low < 0) return refuse(written.substr(i, 4), written, error);
                bytes->push_back(static_cast<char>(high * 16 + low));
                i += 2;
                break;
            }
            default: return refuse(written.substr(i, 2), written, error);
        }
        ++i;
    }
    return true;
}

TextMatcher::TextMatcher(std::string text) : text_(std::move(text)), fallback_(text_.size(), 0) {
    for (std::size_t i = 1, k = 0; i < text_.size(); ++i) {
        while (k > 0 && text_[i] != text_[k]) k = fallback_[k - 1];
        if (text_[i] == text_[k]) ++k;
        fallback_[i] = k;
    }
}

bool TextMatcher::feed(uint8_t byte) {
    if (text_.empty()) return true;
    const char c = static_cast<char>(byte);
    while (matched_ > 0 && text_[matched_] != c) matched_ = fallback_[matched_ - 1];
    if (text_[matched_] == c) ++matched_;
    if (matched_ < text_.size()) return false;
    matched_ = 0;  // the next match starts after this one
    return true;
}
