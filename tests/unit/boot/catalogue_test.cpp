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

TEST(DeviceCatalogue, QuietGeometryMatchesTheDecodedOne) {
    for (int family : {8, 16, 32, 64, 128, 162, 169, 8515, 8535}) {
        set_device_family(family);
        decode_device_letters();
        DeviceGeometry quiet = geometry_of(family);
        EXPECT_EQ(quiet.flash_word_limit, device_geometry.flash_word_limit) << family;
        EXPECT_EQ(quiet.page_size, device_geometry.page_size) << family;
        EXPECT_EQ(quiet.eeprom_size, device_geometry.eeprom_size) << family;
    }
    EXPECT_EQ(geometry_of(0).flash_word_limit, 0u);
    EXPECT_EQ(geometry_of(83).flash_word_limit, 0u);
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
