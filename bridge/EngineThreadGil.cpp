#include "bridge/EngineThreadGil.h"

#include "bridge/ThreadObjects.h"
#include "engine/InterpreterGate.h"

namespace pyv {

namespace {

// Whether an engine thread keeps its thread state from dispatch to dispatch. Not on Windows: the
// engine's threads are the engine's own (the closed library starts them with CreateThread), so
// a thread_local's destructor runs only from the loader's thread-detach notification, after the
// C runtimes have dropped the thread's data; deleting a thread state there (errno, the heap)
// corrupts the process heap. There every dispatch takes and gives back a state of its own, which
// needs nothing at thread exit.
#if defined(_WIN32)
constexpr bool kKeepThreadState = false;
#else
constexpr bool kKeepThreadState = true;
#endif

// The thread state this engine thread keeps between dispatches, if any.
struct KeptThreadState {
    PyThreadState* state = nullptr;
    int depth = 0;              // dispatches in progress on this thread
    bool engineThread = false;  // set by the first dispatch that found no thread state
    ThreadObjects objects;

    // Runs when the engine thread ends. The state is deleted under the GIL while the interpreter
    // still runs; once it is exiting, the state is left to the interpreter's own teardown.
    ~KeptThreadState() {
        if (state == nullptr) {
            return;
        }
        InterpreterGate::Pass pass(InterpreterGate::instance());
        if (!pass.admitted()) {
            objects.abandon();
            return;
        }
        PyEval_RestoreThread(state);
        if (InterpreterGate::instance().exiting()) {
            objects.abandon();
            PyEval_SaveThread();
            return;
        }
        objects.clear();
        // The outermost release: deletes the thread state and lets the GIL go.
        PyGILState_Release(PyGILState_UNLOCKED);
    }
};

thread_local KeptThreadState kept;

}  // namespace

EngineThreadGil::EngineThreadGil() noexcept {
    if (kept.state != nullptr && kept.depth == 0) {
        entry_ = Entry::Kept;
        PyEval_RestoreThread(kept.state);
    } else if (kept.state == nullptr && PyGILState_GetThisThreadState() == nullptr) {
        entry_ = kKeepThreadState ? Entry::First : Entry::Nested;
        kept.engineThread = true;
        state_ = PyGILState_Ensure();
    } else {
        // A thread of the interpreter's own, or a frame dispatched from inside a callback.
        entry_ = Entry::Nested;
        state_ = PyGILState_Ensure();
    }
    ++kept.depth;
}

EngineThreadGil::~EngineThreadGil() {
    --kept.depth;
    switch (entry_) {
        case Entry::Kept:
            PyEval_SaveThread();
            break;
        case Entry::First:
            // Its Ensure stays unmatched, so the thread state survives; only the GIL goes.
            kept.state = PyEval_SaveThread();
            break;
        case Entry::Nested:
            PyGILState_Release(state_);
            break;
    }
}

bool EngineThreadGil::onEngineThread() noexcept {
    return kept.engineThread;
}

PyObject* EngineThreadGil::newInt(int32_t value) {
    if (entry_ == Entry::Nested || kept.state == nullptr) {
        return PyLong_FromLong(value);
    }
    return kept.objects.newInt(value);
}

PyObject* EngineThreadGil::newBytes(size_t plane, const char* data, Py_ssize_t size) {
    if (entry_ == Entry::Nested || kept.state == nullptr) {
        return PyBytes_FromStringAndSize(data, data ? size : 0);
    }
    return kept.objects.newBytes(plane, data, size);
}

}  // namespace pyv
