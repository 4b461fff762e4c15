#include "bridge/EngineThreadGil.h"

#include "engine/InterpreterGate.h"
#include "module/PyRef.h"

namespace pyv {

namespace {

// Ints of recent values, reused while the thread keeps its state. Touched only under the GIL;
// emptied under the GIL when the thread ends, or abandoned when the interpreter is exiting.
class RecentInts {
  public:
    PyObject* newInt(int32_t value) {
        for (size_t i = 0; i < kSlots; ++i) {
            if (objects_[i] && values_[i] == value) {
                return OwnedRef::share(objects_[i].borrow()).release();
            }
        }
        OwnedRef created = OwnedRef::steal(PyLong_FromLong(value));
        if (!created) {
            return nullptr;
        }
        const size_t slot = next_++ % kSlots;
        values_[slot] = value;
        objects_[slot] = OwnedRef::share(created.borrow());
        return created.release();
    }
    void clear() {
        for (OwnedRef& object : objects_) {
            object = OwnedRef();
        }
    }
    // Without the GIL nothing may be released: the references are let go of unreleased.
    void abandon() {
        for (OwnedRef& object : objects_) {
            object.release();
        }
    }

  private:
    static constexpr size_t kSlots = 8;
    OwnedRef objects_[kSlots];
    int32_t values_[kSlots] = {};
    size_t next_ = 0;
};

// The thread state this engine thread keeps between dispatches, if any.
struct KeptThreadState {
    PyThreadState* state = nullptr;
    int depth = 0;  // dispatches in progress on this thread
    RecentInts ints;

    // Runs when the engine thread ends. The state is deleted under the GIL while the interpreter
    // still runs; once it is exiting, the state is left to the interpreter's own teardown.
    ~KeptThreadState() {
        if (state == nullptr) {
            return;
        }
        InterpreterGate::Pass pass(InterpreterGate::instance());
        if (!pass.admitted()) {
            ints.abandon();
            return;
        }
        PyEval_RestoreThread(state);
        if (InterpreterGate::instance().exiting()) {
            ints.abandon();
            PyEval_SaveThread();
            return;
        }
        ints.clear();
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
        entry_ = Entry::First;
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

PyObject* EngineThreadGil::newInt(int32_t value) {
    if (entry_ == Entry::Nested || kept.state == nullptr) {
        return PyLong_FromLong(value);
    }
    return kept.ints.newInt(value);
}

}  // namespace pyv
