// The simulated flash's page writes: a host page from any word address
// rewrites the device pages it touches and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "sim/target.h"

namespace {

std::array<uint16_t, Flash::kPageWords> words_from(uint16_t first) {
    std::array<uint16_t, Flash::kPageWords> words{};
    for (uint32_t i = 0; i < Flash::kPageWords; ++i) words[i] = static_cast<uint16_t>(first + i);
    return words;
}

std::vector<uint16_t> contents(const Flash& flash) {
    std::string path = ::testing::TempDir() + "flash_test.bin";
    EXPECT_TRUE(flash.dump(path));
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    std::vector<uint16_t> words(bytes.size() / 2);
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                         static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    return words;
}

TEST(Flash, HostPagesRewriteTheDevicePagesTheyTouchAndCountWhatThatCosts) {
    Flash flash;
    // Blank flash, a host page across device pages 0 and 1: both programmed, none erased.
    Flash::WriteCost cost = flash.write_host_page(0x40, words_from(0x1000));
    EXPECT_EQ(cost.programmed, 2);
    EXPECT_EQ(cost.erased, 0);
    // The same words again change nothing: nothing is programmed.
    cost = flash.write_host_page(0x40, words_from(0x1000));
    EXPECT_EQ(cost.programmed, 0);
    // A page that changes only device page 1 (words 0x80..0xBF) erases and programs only it.
    auto words = words_from(0x1000);
    words[0x7F] = 0x1234;
    cost = flash.write_host_page(0x40, words);
    EXPECT_EQ(cost.programmed, 1);
    EXPECT_EQ(cost.erased, 1);
    // The last application page, with the rest of the host page beyond the section.
    cost = flash.write_host_page(0xFBC0, words_from(0x2000));
    EXPECT_EQ(cost.programmed, 1);

    std::vector<uint16_t> w = contents(flash);
    ASSERT_EQ(w.size(), Flash::kWords);
    for (uint32_t a = 0; a < Flash::kWords; ++a) {
        uint16_t expected = Flash::kBlank;
        if (a >= 0x40 && a < 0xC0) expected = a == 0xBF ? 0x1234 : static_cast<uint16_t>(0x1000 + a - 0x40);
        if (a >= 0xFBC0 && a < Flash::kBootSectionWord) expected = static_cast<uint16_t>(0x2000 + a - 0xFBC0);
        ASSERT_EQ(w[a], expected) << "word " << a;
    }
    EXPECT_TRUE(flash.page_blank(2));
    EXPECT_FALSE(flash.page_blank(Flash::kApplicationPages - 1));
}

}  // namespace
