// The console's shared half: output batching, over each platform's way of
// putting text on the screen.
#include "console/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/key_queue.h"
#include "console/platform.h"

namespace {

bool batching = false;
bool extended_keys_as_one_code = false;
bool output_lost = false;
std::string* captured = nullptr;

// Standard output that cannot be written any more (a pipe whose reader has
// gone, as `| head -c 10` leaves it): said once on standard error, and from
// then on what the run shows goes nowhere while the run goes on. A flush
// cut short by a signal is tried again.
void flush_output() {
    int flushed = std::fflush(stdout);
    while (flushed != 0 && errno == EINTR) {
        std::clearerr(stdout);
        flushed = std::fflush(stdout);
    }
    if (flushed == 0 && std::ferror(stdout) == 0) return;
    int error = errno;
    if (!output_lost) {
        output_lost = true;
        std::fprintf(stderr, "Cannot write standard output: %s; the run goes on without it\n",
                     std::strerror(error));
        std::fflush(stderr);
        discard_output();
    }
    std::clearerr(stdout);
}

// The platform's write of formatted text, for text formatted already.
void write_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_formatted(format, args);
    va_end(args);
}

}  // namespace

bool output_line_open = false;

bool output_batched() { return batching; }

// Formatted here first, so that the line it leaves open or ended is known.
void console_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    if (captured != nullptr) {
        captured->append(text);
        return;
    }
    write_text("%s", text.c_str());
    if (!text.empty()) note_shown(text.back());
    if (!batching) flush_output();
}

void console_capture(std::string* into) { captured = into; }

void console_write(const char* bytes, std::size_t count) {
    stream_write(stdout, bytes, count);
    if (count > 0) note_shown(bytes[count - 1]);
}

void console_end_line() {
    if (!output_line_open) return;
    console_write("\r\n", 2);
    flush_output();
}

void console_flush() { flush_output(); }

void console_set_batching(bool on) {
    batching = on;
    if (!on) flush_output();
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
