// The module serves the main interpreter only: it keeps process-wide state (one engine, its
// observers, the exit gate) and engine threads that enter one interpreter. A sub-interpreter
// that shares the main GIL would have its callbacks run with the wrong thread states and, had it
// imported the module first, leave the main interpreter a copy bound to a destroyed interpreter.
//
// Interpreter threads, holding the GIL, at import.
#pragma once

namespace pyv {

// True in the main interpreter. Elsewhere false, with an ImportError set that names the reason;
// nothing of the module has been touched then.
bool importedByMainInterpreter();

}  // namespace pyv
