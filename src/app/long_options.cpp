// The long-option parser, driven by a table.
#include "app/long_options.h"

#include <cstdio>
#include <string_view>

#include "base/fatal.h"

bool is_long_option(const char* word) { return word[0] == '-' && word[1] == '-' && word[2] != '\0'; }

int take_long_option(std::span<const LongOption> table, int argc, char** argv, int index) {
    const char* word = argv[index] + 2;
    std::string_view given(word);
    std::size_t equals = given.find('=');
    std::string_view name = given.substr(0, equals);
    const LongOption* option = nullptr;
    for (const LongOption& row : table)
        if (name == row.name) option = &row;
    if (option == nullptr) report_error("Bad Argument");

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
