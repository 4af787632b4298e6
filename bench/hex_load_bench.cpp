// Loads a full 128 KiB image from a HEX file of 16-byte records, as
// srec_cat writes it, and prints the time per load next to the time
// avr-objcopy takes to turn the same file into a binary. avr-objcopy's time
// includes starting a process, so its time on a one-record file is printed
// too, and the difference is its conversion alone.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image/image.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kReaderRuns = 200;
constexpr int kToolRuns = 30;
// ctest's status for a run that could not be made (a tool is missing).
constexpr int kSkipped = 77;

struct Figures {
    double best_ms;
    double mean_ms;
};

Figures summarize(std::vector<double> ms) {
    double total = 0;
    for (double m : ms) total += m;
    return {*std::min_element(ms.begin(), ms.end()), total / static_cast<double>(ms.size())};
}

double since_ms(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool run_tool(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool time_tool(const std::string& hex, const std::string& bin, Figures* out) {
    std::vector<double> ms;
    for (int i = 0; i < kToolRuns; ++i) {
        auto start = Clock::now();
        if (!run_tool({"avr-objcopy", "-I", "ihex", "-O", "binary", hex, bin})) return false;
        ms.push_back(since_ms(start));
    }
    *out = summarize(ms);
    return true;
}

// The reader's console line goes nowhere while it is timed.
Figures time_reader(const std::string& hex) {
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    std::vector<double> ms;
    for (int i = 0; i < kReaderRuns; ++i) {
        hex_error = kHexOk;
        auto start = Clock::now();
        int result = load_hex_file(hex.c_str(), flash_memory());
        ms.push_back(since_ms(start));
        if (result != 1) std::abort();
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null_fd);
    close(saved);
    return summarize(ms);
}

bool tools_present() {
    return std::system("command -v srec_cat >/dev/null && command -v avr-objcopy >/dev/null") == 0;
}

}  // namespace

int main() {
    if (!tools_present()) {
        std::printf("needs srec_cat and avr-objcopy (packages srecord, binutils-avr)\n");
        return kSkipped;
    }
    char pattern[] = "/tmp/hexbenchXXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    std::string dir = pattern;
    std::string bin = dir + "/full.bin", hex = dir + "/full.hex", one = dir + "/one.hex";

    std::mt19937 random(2026);
    std::vector<char> image(kFlashWords * 2);
    for (char& c : image) c = static_cast<char>(random());
    std::FILE* f = std::fopen(bin.c_str(), "wb");
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
    if (!run_tool({"srec_cat", bin, "-binary", "-o", hex, "-intel", "-obs=16", "--address-length=4"})) {
        std::printf("srec_cat failed\n");
        return 1;
    }
    f = std::fopen(one.c_str(), "wb");
    std::fputs(":020000000C945E\n:00000001FF\n", f);
    std::fclose(f);
    f = std::fopen(hex.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);

    create_flash_image();
    Figures reader = time_reader(hex);
    for (uint32_t w = 0; w < kFlashWords; ++w) {
        auto low = static_cast<uint8_t>(image[2 * w]), high = static_cast<uint8_t>(image[2 * w + 1]);
        if (flash_word(w) != (low | high << 8)) {
            std::printf("image differs at word 0x%x\n", w);
            return 1;
        }
    }
    Figures tool{}, startup{};
    if (!time_tool(hex, dir + "/out.bin", &tool) || !time_tool(one, dir + "/one.bin", &startup)) {
        std::printf("avr-objcopy failed\n");
        return 1;
    }
    std::printf("HEX file: %ld bytes, 16-byte records, 128 KiB image\n", size);
    std::printf("reader (load_hex_file)        best %7.3f ms  mean %7.3f ms  (%d loads)\n", reader.best_ms,
                reader.mean_ms, kReaderRuns);
    std::printf("avr-objcopy -I ihex -O binary best %7.3f ms  mean %7.3f ms  (%d runs)\n", tool.best_ms,
                tool.mean_ms, kToolRuns);
    std::printf("avr-objcopy on a 1-record file best %7.3f ms  mean %7.3f ms  (process start)\n",
                startup.best_ms, startup.mean_ms);
    std::printf("avr-objcopy conversion alone  best %7.3f ms\n", tool.best_ms - startup.best_ms);
#ifdef TAMBORVINE_BENCH_SANITIZED
    std::printf("(sanitized build: the reader's figure is not representative; use a Release build)\n");
#endif
    std::string command = "rm -rf '" + dir + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
