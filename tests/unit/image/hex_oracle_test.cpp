// The HEX reader against the real AVR tools: programs built for the
// ATmega128 with avr-gcc, HEX files written by avr-objcopy and by srec_cat
// with several record lengths and both kinds of extended address, and the
// binary avr-objcopy makes of each file as the image to match. The same
// tools read back what the HEX writer wrote, and make the EEPROM image that
// the ELF reader must find.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/files.h"
#include "image/image.h"

namespace {

const char* const kSmallProgram = R"(
#include <avr/io.h>
#include <avr/interrupt.h>
#include <util/delay.h>
volatile uint8_t ticks;
ISR(TIMER0_OVF_vect) { ++ticks; }
int main(void) {
    DDRB = 0xFF;
    TIMSK = _BV(TOIE0);
    TCCR0 = _BV(CS02);
    sei();
    for (;;) {
        PORTB = ticks;
        _delay_ms(50);
    }
}
)";

// Text placed so that it ends on the last byte of flash.
const char* const kFarProgram = R"(
#include <avr/io.h>
#include <avr/pgmspace.h>
#define ROW "The quick brown fox jumps over the lazy dog 0123456789. "
const char far_text[] __attribute__((section(".fartext"), used)) = ROW ROW ROW ROW ROW ROW ROW ROW;
int main(void) {
    uint32_t p = pgm_get_far_address(far_text);
    DDRA = 0xFF;
    for (uint16_t i = 0;; i = (i + 1) % sizeof far_text) PORTA = pgm_read_byte_far(p + i);
}
)";
const char* const kEepromProgram = R"(
#include <avr/eeprom.h>
uint8_t EEMEM table[300] = {1, 2, 3, [299] = 0x99};
uint16_t EEMEM calibration = 0x1234;
int main(void) { return eeprom_read_byte(&table[1]) + eeprom_read_word(&calibration); }
)";

constexpr uint32_t kFarTextSize = 8 * 56 + 1;
constexpr uint32_t kFarTextStart = 0x20000 - kFarTextSize;

class HexOracle : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/hexoracleXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    // Without the tools the cases are skipped, which fails scripts/test.
    void SetUp() override {
        const char* tools = "command -v avr-gcc && command -v avr-objcopy && command -v srec_cat";
        if (std::system((std::string("{ ") + tools + "; } >/dev/null").c_str()) != 0)
            GTEST_SKIP() << "needs avr-gcc, avr-objcopy, srec_cat (gcc-avr, avr-libc, binutils-avr, srecord)";
    }

    static void TearDownTestSuite() {
        std::string command = "rm -rf '" + dir + "'";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    }

    static std::string path(const std::string& name) { return dir + "/" + name; }

    static void run(const std::string& command) {
        std::string quiet = "cd '" + dir + "' && " + command;
        ASSERT_EQ(std::system(quiet.c_str()), 0) << command;
    }

    static void write(const std::string& name, const std::string& content) {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    static std::vector<uint8_t> read(const std::string& name) {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Compiles and links a program for the ATmega128 into name.elf.
    static void build_program(const std::string& name, const char* source,
                              const std::string& link_options = "") {
        write(name + ".c", source);
        run("avr-gcc -mmcu=atmega128 -DF_CPU=16000000UL -Os -o " + name + ".elf " + name + ".c " +
            link_options);
    }

    static uint8_t image_byte(uint32_t a) {
        return static_cast<uint8_t>(flash_word(a >> 1) >> (8 * (a & 1)));
    }

    // Reads the HEX file into a fresh image and checks it byte for byte
    // against avr-objcopy's binary of it, which starts at the file's lowest
    // address; everything outside stays blank.
    static void expect_same_image(const std::string& hex, uint32_t lowest) {
        SCOPED_TRACE(hex);
        run("avr-objcopy -I ihex -O binary --gap-fill 0xff " + hex + " " + hex + ".bin");
        std::vector<uint8_t> expected = read(hex + ".bin");
        ASSERT_FALSE(expected.empty());
        create_flash_image();
        LoAddr = HiAddr = 0;
        hex_error = kHexOk;
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        int result = load_hex_file(path(hex).c_str(), flash_memory());
        std::string output = ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(result, 1) << output;

        uint32_t highest = lowest + static_cast<uint32_t>(expected.size()) - 1;
        EXPECT_EQ(LoAddr, lowest >> 1);
        EXPECT_EQ(HiAddr, (highest >> 1) + 1);
        char range[64];
        std::snprintf(range, sizeof range, "LoAddr =  %x    HiAddr =  %x\r\n", LoAddr, HiAddr);
        EXPECT_EQ(output, range);
        int differences = 0;
        for (uint32_t a = 0; a <= kFlashTopByte; ++a) {
            uint8_t want = a >= lowest && a <= highest ? expected[a - lowest] : 0xFF;
            if (image_byte(a) != want && ++differences <= 5)
                ADD_FAILURE() << std::hex << "byte 0x" << a << ": 0x" << int(image_byte(a)) << ", want 0x"
                              << int(want);
        }
        EXPECT_EQ(differences, 0);
    }

    static std::string dir;
};

std::string HexOracle::dir;

TEST_F(HexOracle, ProgramsBuiltWithTheAvrToolchain) {
    build_program("small", kSmallProgram);
    run("avr-objcopy -O ihex -R .eeprom small.elf small.hex");
    expect_same_image("small.hex", 0);

    // Record lengths from 1 to the longest a line can carry, odd ones
    // included so that records start at odd addresses.
    for (int length : {1, 7, 16, 32, 43}) {
        std::string name = "small_" + std::to_string(length) + ".hex";
        run("srec_cat small.hex -intel -o " + name + " -intel -obs=" + std::to_string(length));
        expect_same_image(name, 0);
    }
}

TEST_F(HexOracle, ProgramWithDataAtTheTopOfFlash) {
    build_program(
        "far", kFarProgram, "-Wl,--section-start=.fartext=0x" + [] {
            char text[16];
            std::snprintf(text, sizeof text, "%X", kFarTextStart);
            return std::string(text);
        }());
    run("avr-objcopy -O ihex -R .eeprom far.elf far.hex");
    expect_same_image("far.hex", 0);
    EXPECT_EQ(HiAddr, 0x10000u);
    EXPECT_EQ(image_byte(kFarTextStart), 'T');

    run("srec_cat far.hex -intel -o far_linear.hex -intel --address-length=4 -obs=32");
    expect_same_image("far_linear.hex", 0);
    run("srec_cat far.hex -intel -o far_segment.hex -intel --address-length=3 -obs=16");
    expect_same_image("far_segment.hex", 0);
}

TEST_F(HexOracle, FullAndPartialImagesAboveSixtyFourKiB) {
    std::mt19937 random(128);
    std::string full(0x20000, '\0');
    for (char& c : full) c = static_cast<char>(random());
    write("full.bin", full);

    for (const char* addressing : {"--address-length=4", "--address-length=3"}) {
        run(std::string("srec_cat full.bin -binary -o full.hex -intel -obs=16 ") + addressing);
        expect_same_image("full.hex", 0);
        EXPECT_EQ(HiAddr, 0x10000u);
    }

    // A window that starts at an odd address above 64 KiB, with a hole.
    run("srec_cat full.bin -binary -crop 0x10001 0x1C000 -exclude 0x14000 0x15001 "
        "-o window.hex -intel --address-length=4 -obs=24");
    expect_same_image("window.hex", 0x10001);
    EXPECT_EQ(LoAddr, 0x8000u);
    EXPECT_EQ(HiAddr, 0xE000u);
}

TEST_F(HexOracle, EepromOfAnElfAsObjcopyCopiesIt) {
    build_program("eeprom", kEepromProgram);
    run("avr-objcopy -O binary -j .eeprom --change-section-lma .eeprom=0 eeprom.elf eeprom.bin");
    std::vector<uint8_t> expected = read("eeprom.bin");
    std::vector<uint8_t> elf = read("eeprom.elf");
    std::vector<uint8_t> memory(4096, 0xFF);
    uint32_t low = 0, high = 0;
    ElfReading reading = read_elf_image(elf, kEepromKind, MemoryImage{memory, &low, &high});
    ASSERT_EQ(reading.error, "");
    expected.resize(memory.size(), 0xFF);
    EXPECT_EQ(memory, expected);
    EXPECT_EQ(high, (301 >> 1) + 1);  // 302 bytes from EEPROM address 0
}

TEST_F(HexOracle, WrittenHexReadsBackByteForByte) {
    std::mt19937 random(23);
    std::vector<uint8_t> memory(0x20000, 0xFF);
    for (uint32_t a = 0x101; a < 0x18003; ++a)
        memory[a] = random() % 4 ? static_cast<uint8_t>(random()) : 0xFF;
    std::ofstream(path("written.hex")) << "the old file";
    int error = 0;
    ASSERT_TRUE(write_hex_file(path("written.hex").c_str(), memory, &error)) << file_error_text(error);
    for (const char* reader : {"avr-objcopy -I ihex -O binary written.hex back.bin",
                               "srec_cat written.hex -intel -o back.bin -binary"}) {
        run(reader);
        EXPECT_EQ(read("back.bin"), std::vector<uint8_t>(memory.begin(), memory.begin() + 0x18003)) << reader;
    }
    std::vector<uint8_t> text = read("written.hex");
    std::string hex(text.begin(), text.end());
    EXPECT_EQ(hex.substr(0, 45), ":10000000" + std::string(32, 'F') + "00\r\n");
    EXPECT_NE(hex.find("\r\n:020000040001F9\r\n:10000000"), std::string::npos);
    EXPECT_EQ(hex.rfind(":03800000"), hex.size() - 32);  // 3 bytes, then the end-of-file record
    EXPECT_TRUE(hex.ends_with("\r\n:00000001FF\r\n"));

    // Names that cannot take the file keep what they had, with nothing beside.
    mkdir(path("folder").c_str(), 0755);
    for (auto [name, code] : {std::pair{"folder", kFileNotRegular}, {"absent/x.hex", ENOENT}}) {
        EXPECT_FALSE(write_hex_file(path(name).c_str(), memory, &error)) << name;
        EXPECT_EQ(error, code) << name;
    }
    EXPECT_EQ(std::system(("test -z \"$(ls '" + dir + "' | grep new-)\"").c_str()), 0);
}

}  // namespace
