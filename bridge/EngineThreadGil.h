// Holds the GIL for one dispatch on an engine thread. The first dispatch on a thread the
// interpreter has not seen gives it a thread state that the thread keeps for its whole life,
// instead of one created and destroyed per frame (which costs far more than the rest of a
// dispatch from 3.11 on). Later dispatches take the GIL with that state directly. The kept state
// goes back when the thread ends, unless the interpreter is exiting by then or the system is
// Windows, where a thread's end cannot wait for the GIL.
//
// Engine threads only, inside an admitted InterpreterGate::Pass.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace pyv {

class EngineThreadGil {
  public:
    EngineThreadGil() noexcept;
    ~EngineThreadGil();
    EngineThreadGil(const EngineThreadGil&) = delete;
    EngineThreadGil& operator=(const EngineThreadGil&) = delete;

    // A Python int for `value`: a new reference, or null with the error set. Threads that keep
    // their state reuse the objects of recent values, since sizes, rates and uids repeat frame
    // after frame.
    PyObject* newInt(int32_t value);
    // A bytes object holding a copy of `size` bytes at `data` (empty when `data` is null), for
    // frame plane `plane` (0 to 2): a new reference, or null with the error set. Threads that
    // keep their state refill the plane's previous object when nobody else holds it any more.
    PyObject* newBytes(size_t plane, const char* data, Py_ssize_t size);

    // Whether the calling thread came to the interpreter through a frame dispatch, holding no
    // thread state of its own before: an engine thread, which runs no code of the program.
    static bool onEngineThread() noexcept;

  private:
    enum class Entry { First, Kept, Nested };
    Entry entry_;
    PyGILState_STATE state_ = PyGILState_UNLOCKED;
};

}  // namespace pyv
