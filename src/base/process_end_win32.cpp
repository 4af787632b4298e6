// The process's end on Windows. The C runtime's clean-up runs first (the
// handlers registered to run at exit, every stream flushed and closed);
// then the process ends itself with TerminateProcess rather than
// ExitProcess. Under wine, ExitProcess closes the process's link to the
// wine server and then runs the host's own exit handlers; a thread that
// happened to be ending at that moment (the worker behind a comm event
// wait, which closing the port ends) is killed halfway and can leave a
// host lock held, and the exit handlers then wait on it for good. The
// server kills a process that has not gone half a second after its link
// closed, so the run ended with SIGKILL instead of its status, now and
// then, and more often on a loaded machine. TerminateProcess on the
// process itself ends it at once with the status given, whatever its
// other threads are doing, on Windows as under wine.
#include <process.h>
#include <windows.h>

#include <cstdlib>

#include "base/fatal.h"

void end_process(int status) {
    _cexit();
    end_process_at_once(status);
}

void end_process_at_once(int status) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    std::_Exit(status);  // not reached: the process ends with the call above
}
