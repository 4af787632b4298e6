// A small Windows program that drives the console operations directly, so
// that the wine tests can check them on a real Win32 console: it reads the
// screen buffer back and reports rows and keys on standard error.
//   console_probe screen   writes, wraps, scrolls, positions and clears,
//                          then reports the rows of the window
//   console_probe keys     shows every key code ("key N") until Esc, Ctrl-C
//                          or the end of input
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "console/console.h"

namespace {

void report_rows(int count) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(out, &info)) {
        std::fprintf(stderr, "no console\n");
        return;
    }
    const SMALL_RECT& w = info.srWindow;
    std::fprintf(stderr, "window %d %d\n", w.Right - w.Left + 1, w.Bottom - w.Top + 1);
    std::fprintf(stderr, "cursor %d %d\n", info.dwCursorPosition.X - w.Left + 1,
                 info.dwCursorPosition.Y - w.Top + 1);
    for (int row = 0; row < count && w.Top + row <= w.Bottom; ++row) {
        char cells[512] = {};
        DWORD n = 0;
        DWORD width = static_cast<DWORD>(w.Right - w.Left + 1);
        if (width >= sizeof cells) width = sizeof cells - 1;
        ReadConsoleOutputCharacterA(out, cells, width, COORD{w.Left, static_cast<SHORT>(w.Top + row)}, &n);
        while (n > 0 && cells[n - 1] == ' ') --n;
        cells[n] = '\0';
        std::fprintf(stderr, "row %d [%s]\n", row + 1, cells);
    }
    std::fflush(stderr);
}

int screen() {
    console_clear();
    console_print("first\r\n");
    console_print("ab\ncd\r\n");  // LF keeps the column
    console_goto(70, 4);
    console_print("0123456789ABCDEF");  // wraps at the right edge of 80
    console_goto(1, 6);
    console_print("erase-me-partly");
    console_goto(6, 6);
    console_clear_eol();
    console_goto(200, 200);          // outside: the cursor stays
    std::fputs("(stdout)", stdout);  // standard output goes where the cursor is
    console_flush();
    report_rows(8);
    // Past the bottom row the window scrolls up: "first" leaves row 1.
    console_goto(1, 24);
    console_print("bottom\r\nbelow");
    report_rows(2);
    return 0;
}

int keys() {
    // An orderly end (through the exit handlers) says so, flushed at once:
    // the program ends without the runtime's own flush at process detach.
    std::atexit([] {
        std::fputs("end\r\n", stdout);
        std::fflush(stdout);
    });
    console_print("ready\r\n");
    for (;;) {
        int code = read_key();
        console_print("key %d\r\n", code);
        if (code == 27 || code == 3 || code < 0) return 0;
    }
}

int run(int argc, char** argv) {
    console_init();
    console_take_keys();
    console_ctrl_c_as_key();
    if (argc == 2 && std::strcmp(argv[1], "screen") == 0) return screen();
    if (argc == 2 && std::strcmp(argv[1], "keys") == 0) return keys();
    std::fprintf(stderr, "usage: console_probe screen|keys\n");
    return 2;
}

}  // namespace

// Ends as the program does, so that its status reaches the test whatever
// its key thread is doing (it may be ending at the end of input).
int main(int argc, char** argv) { exit_program(run(argc, argv)); }
