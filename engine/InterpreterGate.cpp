#include "engine/InterpreterGate.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <thread>

#include "common/compat.h"

namespace pyv {

InterpreterGate& InterpreterGate::instance() {
    // Leaked on purpose: engine threads may pass the gate after static destructors ran.
    static InterpreterGate* const gate = new InterpreterGate();
    return *gate;
}

// The count goes up before the closing flag is read, and the exit hook sets the flag before it
// reads the count: either the hook waits for this pass, or this pass sees the gate closed.
InterpreterGate::Pass::Pass(InterpreterGate& gate) noexcept : gate_(gate) {
    gate_.inFlight_.fetch_add(1);
    admitted_ = !gate_.closing_.load() && !compat::isFinalizing();
}

InterpreterGate::Pass::~Pass() {
    gate_.inFlight_.fetch_sub(1);
}

void InterpreterGate::closeForExit() {
    closing_.store(true);
    // Engine threads waiting for the GIL get it, see the gate closed and leave at once.
    Py_BEGIN_ALLOW_THREADS;
    while (inFlight_.load() != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    Py_END_ALLOW_THREADS;
}

}  // namespace pyv
