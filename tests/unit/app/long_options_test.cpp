// The long-option parser with a table of its own: a value option and a
// flag, the two kinds every later option is one of.
#include "app/long_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::string> taken;

const LongOption kTable[] = {
    {"rate", "N", "a value", [](const char* value) { taken.push_back(value); }},
    {"quiet", nullptr, "a flag",
     [](const char* value) { taken.push_back(value == nullptr ? "(flag)" : value); }},
};

// Parses the words (after a program name) from the first; returns the
// index of the last word used.
int parse(std::vector<std::string> words) {
    std::vector<char*> argv;
    static std::vector<std::string> keep;
    keep = std::move(words);
    keep.insert(keep.begin(), "tamborvine");
    for (std::string& w : keep) argv.push_back(w.data());
    return take_long_option(kTable, static_cast<int>(argv.size()), argv.data(), 1);
}

TEST(LongOptions, ValuesFromTheSameWordOrTheNextWhateverTheyBeginWith) {
    taken.clear();
    EXPECT_EQ(parse({"--rate", "5", "-w"}), 2);
    EXPECT_EQ(parse({"--rate=6", "-w"}), 1);
    EXPECT_EQ(parse({"--rate", "-7"}), 2);  // the next word, even an option's
    EXPECT_EQ(parse({"--rate", "--quiet"}), 2);
    EXPECT_EQ(parse({"--rate=a=b"}), 1);       // only the first '=' splits
    EXPECT_EQ(parse({"--rate="}), 1);          // an empty value is a value
    EXPECT_EQ(parse({"--quiet", "word"}), 1);  // a flag takes no word
    EXPECT_EQ(taken, (std::vector<std::string>{"5", "6", "-7", "--quiet", "a=b", "", "(flag)"}));
    EXPECT_TRUE(is_long_option("--x"));
    EXPECT_FALSE(is_long_option("--"));
    EXPECT_FALSE(is_long_option("-x"));
}

// What a stop writes to standard output, and its status.
std::string stop_of(std::vector<std::string> words) {
    std::string path = testing::TempDir() + "long_options_stop.txt";
    EXPECT_EXIT(
        {
            if (std::freopen(path.c_str(), "w", stdout) == nullptr) std::_Exit(99);
            parse(words);
        },
        testing::ExitedWithCode(1), "");
    std::ifstream in(path, std::ios::binary);
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path.c_str());
    return out;
}

TEST(LongOptions, StopsNameTheOptionOrSayBadArgument) {
    EXPECT_EQ(stop_of({"--rate"}), "\r\nOption --rate needs a value: --rate N\r\n\r\n");
    EXPECT_EQ(stop_of({"--quiet=1"}), "\r\nOption --quiet takes no value\r\n\r\n");
    EXPECT_EQ(stop_of({"--quiet="}), "\r\nOption --quiet takes no value\r\n\r\n");
    // Exact names only: no abbreviation, no other case, nothing unknown.
    for (const char* word : {"--rat", "--Rate", "--rates=1", "--x=1", "---rate"})
        EXPECT_EQ(stop_of({word, "1"}), "\r\nBad Argument\r\n\r\n") << word;
}

}  // namespace
