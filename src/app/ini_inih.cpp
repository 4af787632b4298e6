// The INI reader of the host build: libinih, fed one line at a time so that
// every key knows its line and no line is longer than the parser's buffer.
#include <ini.h>

#include <cstring>

#include "app/ini.h"

namespace {

// Multi-line values would take an indented key for the value of the one
// above it; '#' ends a value as ';' does.
char kInlineComments[] = ";#";

struct Reading {
    const std::string* text;
    std::size_t next = 0;  // where the next line begins
    int line = 0;
    const std::function<std::string(const IniEntry&)>* take;
    IniError error;
};

void fail(Reading* reading, std::string what) {
    if (reading->error.line == 0) reading->error = IniError{reading->line, std::move(what)};
}

// libinih's reader: the next line with its end, or nullptr at the end of
// the text or after an error.
char* next_line(char* buffer, int size, void* stream) {
    auto* reading = static_cast<Reading*>(stream);
    const std::string& text = *reading->text;
    if (reading->next >= text.size() || reading->error.line != 0) return nullptr;
    std::size_t end = text.find('\n', reading->next);
    end = end == std::string::npos ? text.size() : end + 1;
    std::size_t length = end - reading->next;
    std::string_view content(text.data() + reading->next, length);
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) content.remove_suffix(1);
    ++reading->line;
    if (content.size() > kIniLongestLine || length >= static_cast<std::size_t>(size)) {
        fail(reading, "a line longer than " + std::to_string(kIniLongestLine) + " characters");
        return nullptr;
    }
    std::memcpy(buffer, text.data() + reading->next, length);
    buffer[length] = '\0';
    reading->next = end;
    return buffer;
}

int take_key(void* user, const char* section, const char* key, const char* value) {
    auto* reading = static_cast<Reading*>(user);
    std::string what = (*reading->take)(IniEntry{section, key, value, reading->line});
    if (what.empty()) return 1;
    fail(reading, std::move(what));
    return 0;
}

}  // namespace

IniError read_ini(const std::string& text, const std::function<std::string(const IniEntry&)>& take) {
    ini_allow_multiline = false;
    ini_inline_comment_prefixes = kInlineComments;
    Reading reading{&text, 0, 0, &take, {}};
    int bad_line = ini_parse_stream(next_line, &reading, take_key, &reading);
    if (reading.error.line != 0) return reading.error;
    if (bad_line > 0) return IniError{bad_line, "neither [section] nor key = value"};
    return {};
}
