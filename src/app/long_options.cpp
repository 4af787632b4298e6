// The long-option parser, driven by a table.
#include "app/long_options.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/fatal.h"
#include "base/text.h"

namespace {

// How far a typed name may be from an option's to be taken for a typing
// error of it: this many letters changed, left out, added or swapped, and
// no more than a third of the name's letters.
constexpr std::size_t kMostTypingErrors = 2;
constexpr std::size_t kLettersPerTypingError = 3;
// A name cut short is one an option begins with, of at least this many
// letters.
constexpr std::size_t kShortestCutName = 3;

char folded(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Letters changed, left out, added, or two neighbours swapped, whatever the
// letter case (the optimal string alignment distance).
std::size_t typing_errors(std::string_view a, std::string_view b) {
    const std::size_t width = b.size() + 1;
    std::vector<std::size_t> d((a.size() + 1) * width);
    for (std::size_t i = 0; i <= a.size(); ++i) d[i * width] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t change = folded(a[i - 1]) == folded(b[j - 1]) ? 0 : 1;
            std::size_t best = std::min(
                {d[(i - 1) * width + j] + 1, d[i * width + j - 1] + 1, d[(i - 1) * width + j - 1] + change});
            if (i > 1 && j > 1 && folded(a[i - 1]) == folded(b[j - 2]) &&
                folded(a[i - 2]) == folded(b[j - 1]))
                best = std::min(best, d[(i - 2) * width + j - 2] + 1);
            d[i * width + j] = best;
        }
    }
    return d[a.size() * width + b.size()];
}

bool cut_short(std::string_view typed, std::string_view name) {
    return typed.size() >= kShortestCutName && typed.size() < name.size() &&
           typing_errors(typed, name.substr(0, typed.size())) == 0;
}

}  // namespace

const LongOption* nearest_long_option(std::span<const LongOption> table, std::string_view typed) {
    const LongOption* nearest = nullptr;
    std::size_t fewest = kMostTypingErrors + 1;
    for (const LongOption& row : table) {
        std::string_view name(row.name);
        std::size_t errors = cut_short(typed, name) ? 1 : typing_errors(typed, name);
        if (errors < fewest && errors * kLettersPerTypingError <= name.size()) {
            fewest = errors;
            nearest = &row;
        }
    }
    return nearest;
}

void refuse_argument(const char* stop, const char* format, ...) {
    char why[kPathCapacity + 128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    std::fflush(stdout);
    std::fprintf(stderr, "tamborvine: %s\n", why);
    std::fflush(stderr);
    report_error(stop);
}

bool is_long_option(const char* word) { return word[0] == '-' && word[1] == '-' && word[2] != '\0'; }

namespace {

// "unknown option --incremantal (did you mean --incremental?)"
[[noreturn]] void refuse_unknown_long_option(std::span<const LongOption> table, const char* word,
                                             std::string_view name) {
    const LongOption* meant = nearest_long_option(table, name);
    std::string hint = meant == nullptr ? "" : std::string(" (did you mean --") + meant->name + "?)";
    refuse_argument("Bad Argument", "unknown option %s%s", shown_target_bytes(word).c_str(), hint.c_str());
}

}  // namespace

int take_long_option(std::span<const LongOption> table, int argc, char** argv, int index) {
    const char* word = argv[index] + 2;
    std::string_view given(word);
    std::size_t equals = given.find('=');
    std::string_view name = given.substr(0, equals);
    const LongOption* option = nullptr;
    for (const LongOption& row : table)
        if (name == row.name) option = &row;
    if (option == nullptr) refuse_unknown_long_option(table, argv[index], name);

    const char* value = equals == std::string_view::npos ? nullptr : word + equals + 1;
    if (option->value_name == nullptr && value != nullptr)
        report_error_format("Option --%s takes no value", option->name);
    if (option->value_name != nullptr && value == nullptr) {
        if (index + 1 >= argc)
            report_error_format("Option --%s needs a value: --%s %s", option->name, option->name,
                                option->value_name);
        value = argv[++index];
    }
    option->take(value);
    return index;
}

void print_long_options(std::span<const LongOption> table) {
    std::fputs("   [long options] optional\r\n", stdout);
    for (const LongOption& option : table) {
        if (option.value_name == nullptr)
            std::printf("       --%s : %s\r\n", option.name, option.help);
        else
            std::printf("       --%s %s : %s\r\n", option.name, option.value_name, option.help);
    }
    std::fputs("\r\n", stdout);
}
