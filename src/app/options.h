// The command line of the front end: fills in run_options, or ends the run
// (the usage, the version, a bad argument).
#pragma once

#include <vector>

#include "serial/serial.h"
#include "steps/steps.h"

// What the long options of a scripted run asked for.
struct ScriptOptions {
    std::vector<Step> steps;            // --expect and --send, in command-line order
    bool then_terminal = false;         // --then-terminal
    const char* events_path = nullptr;  // --events, the word as given
};

extern ScriptOptions script;

// What the long options of a reflash from the terminal asked for.
struct ReflashOptions {
    bool watch = false;           // --watch: reflash when the flash file changes
    int key = -1;                 // --reflash-key, Ctrl-W with --watch; -1: no key
    const char* build = nullptr;  // --build: the command run before each reflash
    bool key_given = false;       // --reflash-key was given (none included)
    bool wanted() const { return watch || key >= 0; }
};

// The key --watch reflashes by unless --reflash-key names another: Ctrl-W
// ("write", as -w), which the terminal's own keys leave to the target.
constexpr int kDefaultReflashKey = 23;

extern ReflashOptions reflash_options;

// The terminal's frame and flow control (--data-bits, --parity,
// --stop-bits, --flow); the downloads keep 8-N-1 without flow control.
extern LineSettings terminal_line;

void parse_command_line(int argc, char** argv);

// Stops the run when a --read-flash or --read-eeprom file is a file the run
// reads or writes otherwise, or the port: asked once the log and the event
// stream exist, so that any spelling of them is known.
void refuse_read_backs_over_files_of_the_run();
