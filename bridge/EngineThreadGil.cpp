#include "bridge/EngineThreadGil.h"

#include "bridge/ThreadObjects.h"
#include "engine/InterpreterGate.h"

namespace pyv {

namespace {

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

#if defined(_WIN32)
// Nothing runs at a thread's end on Windows. A thread-exit destructor runs there under the loader
// lock, where waiting for the GIL deadlocks with a GIL holder that needs that lock (an import, the
// exit); and a MinGW-built library runs such destructors through winpthreads' thread keys, whose
// teardown at process exit waits forever for a thread that the exit cut off in the middle of its
// own. So the record is reached through a plain pointer and outlives its thread: its thread state
// is left to the interpreter's teardown and its cached objects are leaked, a thread state and a
// few objects per ended engine thread.
thread_local KeptThreadState* keptRecord = nullptr;

KeptThreadState& keptState() {
    if (keptRecord == nullptr) {
        keptRecord = new KeptThreadState;
    }
    return *keptRecord;
}
#else
thread_local KeptThreadState keptRecord;

KeptThreadState& keptState() {
    return keptRecord;
}
#endif

}  // namespace

EngineThreadGil::EngineThreadGil() noexcept {
    KeptThreadState& kept = keptState();
    if (kept.state != nullptr && kept.depth == 0) {
        entry_ = Entry::Kept;
        PyEval_RestoreThread(kept.state);
    } else if (kept.state == nullptr && PyGILState_GetThisThreadState() == nullptr) {
        entry_ = Entry::First;
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
    KeptThreadState& kept = keptState();
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
#if defined(_WIN32)
    return keptRecord != nullptr && keptRecord->engineThread;
#else
    return keptRecord.engineThread;
#endif
}

PyObject* EngineThreadGil::newInt(int32_t value) {
    KeptThreadState& kept = keptState();
    if (entry_ == Entry::Nested || kept.state == nullptr) {
        return PyLong_FromLong(value);
    }
    return kept.objects.newInt(value);
}

PyObject* EngineThreadGil::newBytes(size_t plane, const char* data, Py_ssize_t size) {
    KeptThreadState& kept = keptState();
    if (entry_ == Entry::Nested || kept.state == nullptr) {
        return PyBytes_FromStringAndSize(data, data ? size : 0);
    }
    return kept.objects.newBytes(plane, data, size);
}

}  // namespace pyv
