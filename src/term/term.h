// Terminal emulator: the interactive loop and its keys, the display of
// received bytes with time tags and log, and the VT100 subset.
#pragma once

enum class DisplayMode { VT_MODE = 0, ASCII_HEX = 1, HEX_ONLY = 2 };

extern DisplayMode display_mode;

// Never return: the process ends in them.
[[noreturn]] void run_terminal();
[[noreturn]] void run_terminal_after_upload(const char* text_file);

int upload_text_file();
int prompt_file_name();

// One received byte, 0..255: shown, tagged, logged and, in VT_MODE,
// interpreted.
int show_received_byte(int byte);

// One byte through the VT100 subset.
int vt_feed(int byte);

struct TimeOfDay {
    int hours;
    int minutes;
    int seconds;
    int hundredths;
};
TimeOfDay time_of_day();
