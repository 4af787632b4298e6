// The process's end on POSIX: the C library's exit, handlers and streams
// included, or its immediate one.
#include <cstdlib>

#include "base/fatal.h"

void end_process(int status) { std::exit(status); }

void end_process_at_once(int status) { std::_Exit(status); }
