// The HEX reader on small files: the console lines of each case, the code it
// stops with, and the words it leaves in the image.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "image/image.h"

namespace {

// One record with its checksum, as a tool would write it.
std::string record(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
    char text[16];
    std::string line;
    uint8_t sum = static_cast<uint8_t>(data.size() + (offset >> 8) + (offset & 0xFF) + type);
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()), offset, type);
    line = text;
    for (uint8_t b : data) {
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
        sum = static_cast<uint8_t>(sum + b);
    }
    std::snprintf(text, sizeof text, "%02X\n", static_cast<uint8_t>(-sum));
    return line + text;
}

std::string data_record(uint16_t offset, const std::vector<uint8_t>& data) {
    return record(0x00, offset, data);
}
std::string linear_base(uint16_t value) { return record(0x04, 0, {uint8_t(value >> 8), uint8_t(value)}); }
std::string segment_base(uint16_t value) { return record(0x02, 0, {uint8_t(value >> 8), uint8_t(value)}); }
const std::string kEndRecord = ":00000001FF\n";

std::string range_line(uint32_t lo, uint32_t hi) {
    char text[64];
    std::snprintf(text, sizeof text, "LoAddr =  %x    HiAddr =  %x\r\n", lo, hi);
    return text;
}

const std::string kNotHexLong = "WARNING: file not HEX format!\n\r";
const std::string kNotHex = "WARNING: file not HEX format!\r\n";
const std::string kCorrupt = "WARNING: HEX file corrupt!\r\n";

class HexReader : public ::testing::Test {
   protected:
    void SetUp() override {
        create_flash_image();
        LoAddr = HiAddr = 0;
        hex_error = kHexOk;
        hex_base_address = 0;
        char pattern[] = "/tmp/hexreaderXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override {
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    std::string write_file(const std::string& content, const std::string& name = "f.hex") {
        std::string path = dir + "/" + name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return path;
    }

    // Loads the content as a file; the console lines it printed.
    std::string load(const std::string& content) {
        std::string path = write_file(content);
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        result = load_hex_file(path.c_str(), flash_memory());
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

    // A fresh read in the same run (hex_error is 0 whenever a read begins).
    std::string load_again(const std::string& content) {
        hex_error = kHexOk;
        return load(content);
    }

    std::string dir;
    int result = -1;
};

TEST(HexDigit, ValuesOfDigitsAndOfWhateverElseComes) {
    EXPECT_EQ(hex_digit_value('0'), 0);
    EXPECT_EQ(hex_digit_value('9'), 9);
    EXPECT_EQ(hex_digit_value('A'), 10);
    EXPECT_EQ(hex_digit_value('f'), 15);
    EXPECT_EQ(hex_digit_value('G'), 16);
    EXPECT_EQ(hex_digit_value('g'), 16);
    EXPECT_EQ(hex_digit_value(':'), 3);
    EXPECT_EQ(hex_digit_value('\n'), 218);
}

TEST_F(HexReader, DataRecordLandsLittleEndian) {
    EXPECT_EQ(load(":020000000C945E\n" + kEndRecord), range_line(0, 1));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(flash_word(0), 0x940C);
    EXPECT_EQ(flash_word(1), 0xFFFF);
}

TEST_F(HexReader, OddAddressFillsTheHighByteOnly) {
    EXPECT_EQ(load(":0100010012EC\n" + kEndRecord), range_line(0, 1));
    EXPECT_EQ(flash_word(0), 0x12FF);
}

TEST_F(HexReader, ExtendedAddressesOfBothKinds) {
    EXPECT_EQ(load(":020000040001F9\n:02000000FFCF30\n" + kEndRecord), range_line(0x8000, 0x8001));
    EXPECT_EQ(flash_word(0x8000), 0xCFFF);
    EXPECT_EQ(flash_word(0), 0xFFFF);

    SetUp();
    EXPECT_EQ(load(segment_base(0x1000) + ":02000000FFCF30\n" + kEndRecord), range_line(0x8000, 0x8001));
    EXPECT_EQ(flash_word(0x8000), 0xCFFF);

    // The later base record of either kind replaces the earlier one.
    SetUp();
    EXPECT_EQ(load(linear_base(1) + segment_base(0x0010) + data_record(0, {0x34, 0x12}) + kEndRecord),
              range_line(0x80, 0x81));
    EXPECT_EQ(flash_word(0x80), 0x1234);
}

TEST_F(HexReader, TopOfTheImageIsAcceptedOneByteMoreIsTooLarge) {
    EXPECT_EQ(load(linear_base(1) + data_record(0xFFFE, {0x11, 0x22}) + kEndRecord),
              range_line(0xFFFF, 0x10000));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(flash_word(0xFFFF), 0x2211);

    SetUp();
    EXPECT_EQ(load(linear_base(1) + data_record(0xFFFD, {0x11, 0x22, 0x33, 0x44})), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(hex_error, kHexTooLarge);
    EXPECT_EQ(flash_word(0xFFFE), 0x11FF);  // the bytes up to the top are in
    EXPECT_EQ(flash_word(0xFFFF), 0x3322);

    SetUp();
    EXPECT_EQ(load(linear_base(2) + data_record(0, {0x00})), "");
    EXPECT_EQ(hex_error, kHexTooLarge);
}

TEST_F(HexReader, RecordsAfterTheEndRecordAreStillRead) {
    EXPECT_EQ(load(data_record(0, {1, 2}) + kEndRecord + data_record(0x10, {0xAA, 0xBB})), range_line(0, 9));
    EXPECT_EQ(flash_word(8), 0xBBAA);
}

TEST_F(HexReader, BlankLinesAreNotHex) {
    for (const std::string& blank : {std::string("\n"), std::string(" \r \r\n")}) {
        SetUp();
        EXPECT_EQ(load(data_record(0, {1, 2}) + blank + data_record(2, {3, 4})), kNotHex) << blank;
        EXPECT_EQ(result, 0);
        EXPECT_EQ(hex_error, kHexNotHex);
        EXPECT_EQ(flash_word(0), 0x0201);
        EXPECT_EQ(flash_word(1), 0xFFFF);
    }
    SetUp();
    EXPECT_EQ(load(data_record(0, {1, 2}) + kEndRecord + "\n"), kNotHex);
    SetUp();
    EXPECT_EQ(load("020000000C945E\n"), kNotHex);
}

TEST_F(HexReader, BlanksCarriageReturnsAndLetterCaseDoNotMatter) {
    EXPECT_EQ(load(": 02 0000 00 0C94 5E\r\n:00000001ff\r\n"), range_line(0, 1));
    EXPECT_EQ(flash_word(0), 0x940C);
    SetUp();
    EXPECT_EQ(load(":020000000c945e\n" + kEndRecord), range_line(0, 1));
    EXPECT_EQ(flash_word(0), 0x940C);
}

TEST_F(HexReader, LineLengthLimit) {
    // Text after the checksum is not looked at, up to 98 characters a line.
    std::string line = data_record(0, {0x0C, 0x94});
    line.pop_back();
    std::string longest = line + std::string(98 - line.size(), 'x') + "\n";
    EXPECT_EQ(load(longest + kEndRecord), range_line(0, 1));
    EXPECT_EQ(flash_word(0), 0x940C);

    SetUp();
    EXPECT_EQ(load(line + std::string(99 - line.size(), 'x') + "\n"), kNotHexLong);
    EXPECT_EQ(hex_error, kHexNotHex);
    EXPECT_EQ(flash_word(0), 0xFFFF);

    // 43 data bytes make 97 characters; 44 make 99 and the line feed 100.
    SetUp();
    EXPECT_EQ(load(data_record(0, std::vector<uint8_t>(43, 0x5A)) + kEndRecord), range_line(0, 22));
    EXPECT_EQ(flash_word(20), 0x5A5A);
    EXPECT_EQ(flash_word(21), 0xFF5A);
    SetUp();
    EXPECT_EQ(load(data_record(0, std::vector<uint8_t>(44, 0x5A))), kNotHexLong);
    EXPECT_EQ(flash_word(0), 0xFFFF);

    // Blanks and carriage returns do not count against the limit.
    SetUp();
    EXPECT_EQ(load(line + std::string(200, ' ') + std::string(200, '\r') + "\n" + kEndRecord),
              range_line(0, 1));
}

TEST_F(HexReader, CarriageReturnsAloneEndNoLine) {
    std::string text;
    for (int i = 0; i < 8; ++i) {
        std::string line = data_record(static_cast<uint16_t>(2 * i), {0x01, 0x02});
        line.back() = '\r';
        text += line;
    }
    EXPECT_EQ(load(text), kNotHexLong);
    EXPECT_EQ(hex_error, kHexNotHex);

    // A shorter one is one record, the last of the file, without an
    // end-of-file record after it.
    SetUp();
    std::string one = data_record(0, {0x01, 0x02});
    one.back() = '\r';
    EXPECT_EQ(load(one), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(hex_error, kHexNoEndRecord);
}

TEST_F(HexReader, LastLineWithoutLineEndIsARecord) {
    std::string end = kEndRecord;
    end.pop_back();
    EXPECT_EQ(load(data_record(0, {1, 2}) + end), range_line(0, 1));
    EXPECT_EQ(result, 1);
    SetUp();
    std::string last = data_record(2, {0x77, 0x66});
    last.pop_back();
    EXPECT_EQ(load(data_record(0, {1, 2}) + last + "\r\x1a"), "");
    EXPECT_EQ(hex_error, kHexNoEndRecord);
    EXPECT_EQ(flash_word(1), 0x6677);  // read, though the file is refused
    // A record cut in the middle is damaged like any other.
    SetUp();
    EXPECT_EQ(load(data_record(0, {1, 2}) + ":0200020077"), kCorrupt);
    EXPECT_EQ(hex_error, kHexCorrupt);
}

TEST_F(HexReader, CtrlZEndsTheText) {
    EXPECT_EQ(load(data_record(0, {1, 2}) + kEndRecord + "\x1a"), range_line(0, 1));
    EXPECT_EQ(result, 1);
    // Nothing after a Ctrl-Z is read, not even a line that is not HEX.
    SetUp();
    EXPECT_EQ(load(data_record(0, {1, 2}) + kEndRecord + "\x1a" + "020000000C945E\n\n"), range_line(0, 1));
    EXPECT_EQ(flash_word(0), 0x0201);
    // A Ctrl-Z before the end-of-file record cuts the image short.
    SetUp();
    EXPECT_EQ(load(data_record(0, {1, 2}) + "\x1a" + kEndRecord), "");
    EXPECT_EQ(hex_error, kHexNoEndRecord);
}

// Only an end-of-file record with data before it makes a whole image: an
// empty, cut or data-less file would have the chip erased for nothing.
TEST_F(HexReader, FilesWithoutAWholeImageAreRefused) {
    struct Case {
        std::string content;
        uint8_t error;
    } cases[] = {
        {"", kHexNoEndRecord},
        {"\r \x1a", kHexNoEndRecord},
        {data_record(0, {1, 2}), kHexNoEndRecord},
        {kEndRecord, kHexNoData},
        {data_record(0x40, {}) + kEndRecord, kHexNoData},
        {linear_base(1) + kEndRecord + data_record(0, {1, 2}), kHexNoData},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(load(c.content), "") << c.content;  // no range line
        EXPECT_EQ(result, 0) << c.content;
        EXPECT_EQ(hex_error, c.error) << c.content;
    }
}

TEST_F(HexReader, SecondFileStartsFromBaseZero) {
    EXPECT_EQ(load(linear_base(1) + data_record(0x10, {1, 2}) + kEndRecord), range_line(0x8008, 0x8009));
    EXPECT_EQ(load_again(data_record(0x10, {3, 4}) + kEndRecord), range_line(8, 9));
    EXPECT_EQ(flash_word(8), 0x0403);
    EXPECT_EQ(flash_word(0x8008), 0x0201);
}

TEST_F(HexReader, ChecksumFailureStoresNothingOfTheRecord) {
    EXPECT_EQ(load(":020000000C945F\n"), kCorrupt);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(hex_error, kHexCorrupt);
    EXPECT_EQ(flash_word(0), 0xFFFF);

    // 'G' counts as 16 and is caught by the checksum.
    SetUp();
    EXPECT_EQ(load(":020000000G945E\n"), kCorrupt);
    EXPECT_EQ(flash_word(0), 0xFFFF);

    // Every type is checked, not only data records.
    SetUp();
    EXPECT_EQ(load(":00000001FE\n"), kCorrupt);
}

TEST_F(HexReader, LaterRecordForTheSameAddressWins) {
    EXPECT_EQ(load(data_record(0, {1, 2, 3, 4}) + data_record(1, {0xEE}) + kEndRecord), range_line(0, 2));
    EXPECT_EQ(flash_word(0), 0xEE01);
    EXPECT_EQ(flash_word(1), 0x0403);
}

// Records whose fields would run past their line are refused as corrupt
// (code 1): nothing beyond the stored characters is read, nothing stored.
TEST_F(HexReader, RecordsCutShortAreCorrupt) {
    const char* short_lines[] = {
        ":\n",
        ":10000000\n",
        ":1000000001020304\n",
        ":020000000C94\n",   // checksum missing
        ":020000000C945\n",  // half a checksum
        ":FF00000000\n",     // a count no line can carry
        ":00000004FC\n",     // base record without its base digits
        ":0000000400\n",
        ":02000002\n",
    };
    for (const char* line : short_lines) {
        SetUp();
        EXPECT_EQ(load(data_record(0, {1, 2}) + line + data_record(2, {3, 4})), kCorrupt) << line;
        EXPECT_EQ(result, 0) << line;
        EXPECT_EQ(hex_error, kHexCorrupt) << line;
        EXPECT_EQ(flash_word(1), 0xFFFF) << line;
    }
    // A parser given a line without its line feed reads only what it holds.
    HexRecordData data{};
    uint32_t address = 0;
    hex_error = kHexOk;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(parse_hex_record(":0200000001", data, &address), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kCorrupt);
}

TEST_F(HexReader, MissingFileAndDirectoryAreNotFound) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_hex_file((dir + "/absent.hex").c_str(), flash_memory()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "tamborvine: opening " + dir + "/absent.hex: No such file or directory\n");
    EXPECT_EQ(hex_error, kHexNotFound);

    // A directory opens but cannot be read: that is no empty image.
    hex_error = kHexOk;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_hex_file(dir.c_str(), flash_memory()), 0);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tamborvine: reading " + dir + ": Is a directory\n");
    EXPECT_EQ(hex_error, kHexNotFound);
}

TEST_F(HexReader, LinesAcrossTheReadChunkReadAsOne) {
    // Enough records that lines straddle every chunk boundary.
    std::string text;
    for (uint32_t i = 0; i < 4096; ++i) {
        uint16_t word = static_cast<uint16_t>(i);
        text += data_record(static_cast<uint16_t>(2 * i), {uint8_t(word), uint8_t(word >> 8)});
    }
    EXPECT_EQ(load(text + kEndRecord), range_line(0, 0x1000));
    for (uint32_t w = 0; w < 0x1000; ++w) ASSERT_EQ(flash_word(w), w) << w;
}

// The whole stop, as the user sees it on standard output.
using HexReaderDeathTest = HexReader;

TEST_F(HexReaderDeathTest, AbortsWithTheErrorLineOfEachCode) {
    struct Case {
        std::string content;
        const char* output;
    } cases[] = {
        {":020000000C945F\n",
         "^WARNING: HEX file corrupt!\r\nERROR: HEX file corrupt!\r\n\r\n<<TRANSLATION "
         "ABORTED>>\r\n\r\n\r\n$"},
        {"\n",
         "^WARNING: file not HEX format!\r\nERROR: Cannot translate file!\r\n\r\n<<TRANSLATION "
         "ABORTED>>\r\n\r\n\r\n$"},
        {std::string(120, '0') + "\n",
         "^WARNING: file not HEX format!\n\rERROR: Cannot translate file!\r\n\r\n<<TRANSLATION "
         "ABORTED>>\r\n\r\n\r\n$"},
        {linear_base(2) + data_record(0, {0}),
         "^ERROR: HEX file too large!\r\n\r\n<<TRANSLATION ABORTED>>\r\n\r\n\r\n$"},
        {data_record(0, {1, 2}),
         "^ERROR: HEX file has no end-of-file record \\(empty or cut short\\)!\r\n\r\n<<TRANSLATION "
         "ABORTED>>\r\n\r\n\r\n$"},
        {kEndRecord,
         "^ERROR: HEX file has no data before its end-of-file record!\r\n\r\n<<TRANSLATION "
         "ABORTED>>\r\n\r\n\r\n$"},
    };
    for (const Case& c : cases) {
        std::string path = write_file(c.content);
        EXPECT_EXIT(
            {
                dup2(STDERR_FILENO, STDOUT_FILENO);
                read_rom_file(kFlashKind, path.c_str(), flash_memory());
            },
            ::testing::ExitedWithCode(1), c.output);
    }
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            read_rom_file(kEepromKind, (dir + "/absent.hex").c_str(), flash_memory());
        },
        ::testing::ExitedWithCode(1),
        "^tamborvine: opening .*/absent.hex: No such file or directory\nERROR: Could not find HEX "
        "file!\r\n\r\n<<TRANSLATION "
        "ABORTED>>\r\n\r\n\r\n$");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            read_rom_file(102, (dir + "/absent.hex").c_str(), flash_memory());
        },
        ::testing::ExitedWithCode(1), "^\r\nError! read_rom_file: bad type \\(0x66\\)!\r\n\r\n\r\n$");
}

TEST_F(HexReader, SuccessEndsWithTranslationComplete) {
    std::string path = write_file(":020000000C945E\n" + kEndRecord);
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(read_rom_file(kEepromKind, path.c_str(), flash_memory()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), range_line(0, 1) + "Translation complete!\r\n");
}

}  // namespace
