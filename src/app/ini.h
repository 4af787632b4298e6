// The INI form of the configuration file, one key at a time: "[section]"
// lines, "key = value" (or "key: value") lines, whole-line comments begun
// by ';' or '#', and the same two after a space at the end of a line.
// Values are unquoted and trimmed; there are no continuation lines. The
// host build reads it with Debian's libinih; the Windows build, which has
// no libinih, with a reader of the same rules (ini_lines.cpp).
#pragma once

#include <functional>
#include <string>
#include <string_view>

// The longest line the file may hold, without its line end: longer ones
// are an error, never cut in two.
constexpr std::size_t kIniLongestLine = 190;

struct IniEntry {
    std::string_view section;  // "" before the first section
    std::string_view key;
    std::string_view value;
    int line = 0;
};

struct IniError {
    int line = 0;  // 0: no error
    std::string what;
};

// Calls take for each key of the text in order, until one returns an
// error (non-empty) or a line is neither a section, a key nor a comment.
// The first error found, with its line.
IniError read_ini(const std::string& text, const std::function<std::string(const IniEntry&)>& take);
