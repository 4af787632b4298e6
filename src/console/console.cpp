// The console's shared half: output batching, over each platform's way of
// putting text on the screen.
#include "console/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "console/platform.h"

namespace {

bool batching = false;
bool output_lost = false;

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

}  // namespace

bool output_batched() { return batching; }

void console_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_formatted(format, args);
    va_end(args);
    if (!batching) flush_output();
}

void console_write(const char* bytes, std::size_t count) { stream_write(stdout, bytes, count); }

void console_flush() { flush_output(); }

void console_set_batching(bool on) {
    batching = on;
    if (!on) flush_output();
}
