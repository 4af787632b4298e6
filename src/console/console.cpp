// The console's shared half: output batching, over each platform's way of
// putting text on the screen.
#include "console/console.h"

#include <cstdarg>
#include <cstdio>

#include "console/key_queue.h"
#include "console/platform.h"

namespace {

bool batching = false;
bool extended_keys_as_one_code = false;

}  // namespace

bool output_batched() { return batching; }

void console_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_formatted(format, args);
    va_end(args);
    if (!batching) std::fflush(stdout);
}

void console_write(const char* bytes, std::size_t count) { stream_write(stdout, bytes, count); }

void console_flush() { std::fflush(stdout); }

void console_set_batching(bool on) {
    batching = on;
    if (!on) std::fflush(stdout);
}

void console_keys_as_one_code() { extended_keys_as_one_code = true; }

void push_extended_key(KeyQueue& queue, int second_code) {
    if (extended_keys_as_one_code) {
        queue.push(kExtendedKey + second_code);
        return;
    }
    queue.push(0);
    queue.push(second_code);
}
