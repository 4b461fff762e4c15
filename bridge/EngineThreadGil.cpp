#include "bridge/EngineThreadGil.h"

#include "engine/InterpreterGate.h"

namespace pyv {

namespace {

// The thread state this engine thread keeps between dispatches, if any.
struct KeptThreadState {
    PyThreadState* state = nullptr;

    // Runs when the engine thread ends. The state is deleted under the GIL while the interpreter
    // still runs; once it is exiting, the state is left to the interpreter's own teardown.
    ~KeptThreadState() {
        if (state == nullptr) {
            return;
        }
        InterpreterGate::Pass pass(InterpreterGate::instance());
        if (!pass.admitted()) {
            return;
        }
        PyEval_RestoreThread(state);
        if (InterpreterGate::instance().exiting()) {
            PyEval_SaveThread();
            return;
        }
        // The outermost release: deletes the thread state and lets the GIL go.
        PyGILState_Release(PyGILState_UNLOCKED);
    }
};

thread_local KeptThreadState kept;

}  // namespace

EngineThreadGil::EngineThreadGil() noexcept
    : keepsThreadState_(kept.state == nullptr && PyGILState_GetThisThreadState() == nullptr) {
    state_ = PyGILState_Ensure();
}

EngineThreadGil::~EngineThreadGil() {
    if (keepsThreadState_) {
        // The first dispatch on this thread: its Ensure stays unmatched, so the thread state
        // survives; only the GIL is let go.
        kept.state = PyEval_SaveThread();
        return;
    }
    PyGILState_Release(state_);
}

}  // namespace pyv
