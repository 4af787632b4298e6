// The INI reader of the Windows build, which has no libinih: the same
// rules, line by line (a byte-order mark first, whole-line and end-of-line
// comments, "[section]", "key = value" or "key: value", no continuation
// lines), so that one file reads the same on either system.
#include <algorithm>
#include <cctype>

#include "app/ini.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kCommentStarts = ";#";

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

// Where the first of the stops is, or an end-of-line comment (a comment
// start after a space) begins; the text's size for neither.
std::size_t stop_or_comment(std::string_view text, std::string_view stops) {
    bool after_space = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (stops.find(text[at]) != std::string_view::npos) return at;
        if (after_space && kCommentStarts.find(text[at]) != std::string_view::npos) return at;
        after_space = is_space(text[at]);
    }
    return text.size();
}

struct Reading {
    std::string section;
    const std::function<std::string(const IniEntry&)>* take;
};

// One line, trimmed and not empty: what is wrong with it, or "".
std::string read_line(Reading* reading, std::string_view line, int number) {
    if (kCommentStarts.find(line.front()) != std::string_view::npos) return {};
    if (line.front() == '[') {
        std::string_view inside = line.substr(1);
        std::size_t end = stop_or_comment(inside, "]");
        if (end == inside.size() || inside[end] != ']') return "neither [section] nor key = value";
        reading->section = inside.substr(0, end);
        return {};
    }
    std::size_t equals = stop_or_comment(line, "=:");
    if (equals == line.size() || (line[equals] != '=' && line[equals] != ':'))
        return "neither [section] nor key = value";
    std::string_view value = line.substr(equals + 1);  // a comment may begin after the spaces before it
    value = trimmed(value.substr(0, stop_or_comment(value, "")));
    return (*reading->take)(IniEntry{reading->section, trimmed(line.substr(0, equals)), value, number});
}

}  // namespace

IniError read_ini(const std::string& text, const std::function<std::string(const IniEntry&)>& take) {
    std::string_view rest = text;
    if (rest.starts_with(kByteOrderMark)) rest.remove_prefix(kByteOrderMark.size());
    Reading reading{"", &take};
    for (int number = 1; !rest.empty(); ++number) {
        std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > kIniLongestLine)
            return IniError{number, "a line longer than " + std::to_string(kIniLongestLine) + " characters"};
        line = trimmed(line);
        if (line.empty()) continue;
        std::string what = read_line(&reading, line, number);
        if (!what.empty()) return IniError{number, what};
    }
    return {};
}
