// The process's end on Windows, by TerminateProcess on the process itself
// rather than ExitProcess. Under wine, ExitProcess closes the process's
// link to the wine server and then runs the host's own exit handlers; a
// thread that happened to be ending at that moment (the worker behind a
// comm event wait, which closing the port ends) is killed halfway and can
// leave a host lock held, and the exit handlers then wait on it for good.
// The server kills a process that has not gone half a second after its
// link closed, so the run ended with SIGKILL instead of its status, now and
// then, more often on a loaded machine. TerminateProcess ends the process
// at once with the status given, whatever its other threads are doing.
//
// The C runtime's clean-up runs first: every stream flushed, then the
// handlers registered to run at exit. Each handler flushes what it writes:
// Windows' runtime flushes and closes the streams in _cexit, but wine's
// leaves that to the process's detach, which TerminateProcess skips.
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "base/fatal.h"

void end_process(int status) {
    std::fflush(nullptr);
    _cexit();
    end_process_at_once(status);
}

void end_process_at_once(int status) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    std::_Exit(status);  // not reached: the process ends with the call above
}
