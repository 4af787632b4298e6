// Placeholder until the terminal lands: says so plainly.
#include "app/app.h"
#include "console/console.h"
#include "serial/serial.h"
#include "term/term.h"

void run_terminal() {
    console_print("Start terminal emulation - ESC to exit\r\n");
    report_error("Terminal not built yet");
}

void run_terminal_after_upload(const char*) { run_terminal(); }
