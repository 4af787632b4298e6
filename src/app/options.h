// The command line of the front end: fills in run_options, or ends the run
// (the usage, the version, a bad argument).
#pragma once

void parse_command_line(int argc, char** argv);
