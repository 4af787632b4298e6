// Placeholder until the Intel HEX reader lands: says so plainly.
#include "app/app.h"
#include "image/image.h"

int read_rom_file(int, const char*) { report_error("HEX reader not built yet"); }
