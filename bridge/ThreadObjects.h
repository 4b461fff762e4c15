// Python objects an engine thread reuses from frame to frame while it keeps its thread state:
// ints of recent values (sizes, rates and uids repeat frame after frame) and one bytes object
// per plane, refilled in place when nobody but this cache holds it any more. The dispatcher
// relies on that: an object someone still holds keeps its bytes, so a callable that answers with
// an object it kept from an earlier frame never finds it to be the one given now.
//
// Touched only by its own engine thread, under the GIL; emptied under the GIL when the thread
// ends, or abandoned (left unreleased) when the interpreter is exiting by then.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/PyRef.h"

namespace pyv {

class ThreadObjects {
  public:
    static constexpr size_t kPlanes = 3;

    // New references, or null with the error set.
    PyObject* newInt(int32_t value);
    PyObject* newBytes(size_t plane, const char* data, Py_ssize_t size);

    void clear();
    void abandon();

  private:
    static constexpr size_t kInts = 8;
    OwnedRef ints_[kInts];
    int32_t intValues_[kInts] = {};
    size_t nextInt_ = 0;
    OwnedRef planes_[kPlanes];
};

}  // namespace pyv
