// The seam between the console's shared half (console.cpp, key_queue.h,
// prompt_input.h) and one platform's file (console_posix.cpp,
// console_win32.cpp). Only the console folder includes this header.
#pragma once

#include <cstdarg>

// ---- given by the platform ----

// Formatted text at the cursor, through standard output or into the
// console's screen, in the order of everything written before.
void write_formatted(const char* format, std::va_list args);

// Standard output has failed for good: what is written to it from now on
// goes nowhere, without an error (the run goes on without it).
void discard_output();

// ---- given by the shared half ----

// Whether what was shown last left a line open (its last byte was not a
// line feed), kept by every way of writing to the screen.
extern bool output_line_open;
inline void note_shown(char last) { output_line_open = last != '\n'; }

// True while console_set_batching holds the flushes back.
bool output_batched();

// A cursor or function key by its second code into the key queue: 0 and
// the code, or one code since console_keys_as_one_code.
class KeyQueue;
void push_extended_key(KeyQueue& queue, int second_code);
