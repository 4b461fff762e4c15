// Where an error of a registered frame callable lands. It is always printed, the way the
// interpreter prints an uncaught error. It is raised again, as an exception of a class that can
// be created without arguments, in the thread that registered the callable, and only there: not
// in an engine thread, not in a new thread the system gave the ended registrar's id, and not once
// the main thread has finished the program's code (it then waits for the non-daemon threads,
// which must be allowed to finish).
//
// Threads: identifyRegisteringThread runs on the registering interpreter thread,
// reportCallbackError on an engine media thread; both hold the GIL.
#pragma once

#include "common/PyRef.h"
#include "engine/FrameBinding.h"

namespace pyv {

// The calling thread. Throws PythonErrorSet when the mark cannot be stored.
RegisteringThread identifyRegisteringThread();

// Prints the pending error and clears it, then raises its class in `registrar` if that thread
// still runs and the program has not begun to shut down. Does nothing without a pending error.
void reportCallbackError(const RegisteringThread& registrar) noexcept;

}  // namespace pyv
