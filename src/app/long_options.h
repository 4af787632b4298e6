// GNU long options of the command line: "--name VALUE" and "--name=VALUE",
// exact names only, mixed freely with the option letters. The options
// themselves are a table in options.cpp; a new one is a row there and the
// function that takes its value.
#pragma once

#include <span>
#include <string_view>

struct LongOption {
    const char* name;        // the word after "--"
    const char* value_name;  // the value's name in the usage; nullptr for a flag
    const char* help;        // its line in the usage
    // Takes the value (nullptr for a flag). The value is the word as given,
    // of any length: the function checks what it takes.
    void (*take)(const char* value);
};

// True for a word that names a long option: "--" and at least one more
// character ("--" alone is not one).
bool is_long_option(const char* word);

// Takes the long option at argv[index] from the table, with its value: the
// text after '=', else the next word, whatever it begins with. Returns the
// index of the last word used. A name not in the table stops the run with
// "Bad Argument" (standard error names the word, and the option it may
// have meant); a flag given a value and a value option at the end of the
// command line stop it with a message that names the option.
int take_long_option(std::span<const LongOption> table, int argc, char** argv, int index);

// The table's option closest to what was typed (another letter case, a
// letter or two wrong, left out or extra, a name cut short), nullptr when
// none is close enough to be what was meant.
const LongOption* nearest_long_option(std::span<const LongOption> table, std::string_view typed);

// Stops the run with the specified stop line on standard output, after one
// line on standard error that says which word was wrong and why:
// "tamborvine: " and the formatted text.
[[noreturn]] void refuse_argument(const char* stop, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The usage's part for the table: a heading and one line per option.
void print_long_options(std::span<const LongOption> table);
