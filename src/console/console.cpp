// The console's shared half: output batching, over each platform's way of
// putting text on the screen.
#include "console/console.h"

#include <cstdarg>
#include <cstdio>

#include "console/platform.h"

namespace {

bool batching = false;
std::string* captured = nullptr;

void capture(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (length <= 0) return;
    std::size_t at = captured->size();
    captured->resize(at + static_cast<std::size_t>(length) + 1);
    std::vsnprintf(captured->data() + at, static_cast<std::size_t>(length) + 1, format, args);
    captured->resize(at + static_cast<std::size_t>(length));
}

}  // namespace

bool output_batched() { return batching; }

void console_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (captured != nullptr)
        capture(format, args);
    else
        write_formatted(format, args);
    va_end(args);
    if (!batching) std::fflush(stdout);
}

void console_capture(std::string* into) { captured = into; }

void console_write(const char* bytes, std::size_t count) { stream_write(stdout, bytes, count); }

void console_flush() { std::fflush(stdout); }

void console_set_batching(bool on) {
    batching = on;
    if (!on) std::fflush(stdout);
}
