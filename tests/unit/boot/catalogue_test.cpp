// The device catalogue's three tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/fatal.h"
#include "base/run_options.h"
#include "boot/boot.h"

namespace {

std::string name_of(int code, int* family) {
    char name[40];
    std::memset(name, 'x', sizeof name);
    *family = lookup_device_code(code, name);
    EXPECT_EQ(name[16], '\0');
    return std::string(name);
}

TEST(DeviceCatalogue, Mega128CodesAndTheirNames) {
    int family = 0;
    EXPECT_EQ(name_of(0x43, &family), "ATmega128       ");
    EXPECT_EQ(family, 128);
    EXPECT_EQ(name_of(0x44, &family), "ATmega128 BOOT  ");
    EXPECT_EQ(family, 128);
}

TEST(DeviceCatalogue, EveryListedCodeHasASixteenCharacterName) {
    int listed = 0;
    for (int code = 0; code < 256; ++code) {
        int family = -1;
        std::string name = name_of(code, &family);
        EXPECT_EQ(name.size(), 16u) << code;
        if (name != "Unknown         ")
            ++listed;
        else
            EXPECT_EQ(family, 0) << code;
    }
    EXPECT_EQ(listed, 47);
    int family = 0;
    EXPECT_EQ(name_of(0x6B, &family), "ATmega8535 BOOT?");
    EXPECT_EQ(family, 8535);
    EXPECT_EQ(name_of(0x10, &family), "AT90S1200 rev. A");
    EXPECT_EQ(name_of(0x72, &family), "ATmega32        ");
    EXPECT_EQ(family, 32);
    EXPECT_EQ(name_of(0x65, &family), "ATmega83        ");
    EXPECT_EQ(family, 83);
}

TEST(DeviceCatalogue, UnlistedCodesAndOnlyTheLowByteCounts) {
    for (int code : {0x00, 0x0F, 0x78, 0x88, 0xFF}) {
        int family = -1;
        EXPECT_EQ(name_of(code, &family), "Unknown         ") << code;
        EXPECT_EQ(family, 0);
    }
    int family = 0;
    EXPECT_EQ(name_of(0x143, &family), "ATmega128       ");
    EXPECT_EQ(family, 128);
}

TEST(DeviceCatalogue, FamilyGeometry) {
    run_options.verbose = false;
    struct Expected {
        int family;
        DeviceLetters letters;
        uint32_t limit;
        int32_t page;
        int32_t eeprom;
    };
    const Expected table[] = {
        {8, {'A', 'l', 'R', '1'}, 0x1C00, 64, 512},     {16, {'B', 'm', 'S', '1'}, 0x3C00, 128, 512},
        {32, {'E', 'n', 'S', '2'}, 0x7C00, 128, 1024},  {64, {'C', 'o', 'T', '3'}, 0xFC00, 256, 2048},
        {128, {'D', 'p', 'T', '4'}, 0xFC00, 256, 4096}, {162, {'F', 'm', 'S', '1'}, 0x3C00, 128, 512},
        {169, {'G', 'm', 'S', '1'}, 0x3C00, 128, 512},  {8515, {'H', 'l', 'R', '1'}, 0x1C00, 64, 512},
        {8535, {'I', 'l', 'R', '1'}, 0x1C00, 64, 512},
    };
    for (const Expected& e : table) {
        set_device_family(e.family);
        EXPECT_EQ(device_letters.device_id, e.letters.device_id) << e.family;
        EXPECT_EQ(device_letters.flash_size, e.letters.flash_size) << e.family;
        EXPECT_EQ(device_letters.page_size, e.letters.page_size) << e.family;
        EXPECT_EQ(device_letters.eeprom_size, e.letters.eeprom_size) << e.family;
        decode_device_letters();
        EXPECT_EQ(device_geometry.flash_word_limit, e.limit) << e.family;
        EXPECT_EQ(device_geometry.page_size, e.page) << e.family;
        EXPECT_EQ(device_geometry.eeprom_size, e.eeprom) << e.family;
    }
}

TEST(DeviceCatalogue, QuietFlashLimitMatchesTheDecodedOne) {
    for (int family : {8, 16, 32, 64, 128, 162, 169, 8515, 8535}) {
        set_device_family(family);
        decode_device_letters();
        EXPECT_EQ(flash_word_limit_of(family), device_geometry.flash_word_limit) << family;
    }
    EXPECT_EQ(flash_word_limit_of(0), 0u);
    EXPECT_EQ(flash_word_limit_of(83), 0u);
}

TEST(DeviceCatalogue, VerboseLinesForTheMega128InOrder) {
    run_options.verbose = true;
    set_device_family(128);
    testing::internal::CaptureStdout();
    decode_device_letters();
    std::fflush(stdout);
    std::string shown = testing::internal::GetCapturedStdout();
    run_options.verbose = false;
    EXPECT_EQ(shown,
              "DeviceID = Mega128\r\nFlashSize = 64k\r\nPageSize = 256 bytes\r\nEEpromSize = 4096 bytes\r\n");
}

TEST(DeviceCatalogueDeathTest, FamiliesWithoutLettersStop) {
    for (int family : {0, 83, 161, 163, 100}) {
        EXPECT_EXIT(set_device_family(family), testing::ExitedWithCode(kExitFailure), "") << family;
    }
}

TEST(DeviceCatalogueDeathTest, LettersTheTablesNeverWriteStop) {
    device_letters = {'Z', 'p', 'T', '4'};
    EXPECT_EXIT(decode_device_letters(), testing::ExitedWithCode(kExitFailure), "");
    device_letters = {'D', 'q', 'T', '4'};
    EXPECT_EXIT(decode_device_letters(), testing::ExitedWithCode(kExitFailure), "");
    device_letters = {'D', 'p', 'U', '4'};
    EXPECT_EXIT(decode_device_letters(), testing::ExitedWithCode(kExitFailure), "");
    device_letters = {'D', 'p', 'T', '5'};
    EXPECT_EXIT(decode_device_letters(), testing::ExitedWithCode(kExitFailure), "");
}

}  // namespace
