// Argument parsing and result conversion shared by the Python-callable functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "common/Boundary.h"

namespace pyv {

// PyArg_ParseTuple with the function's fixed format; a refusal leaves the parser's error set.
template <typename... Outputs>
void parseArgs(PyObject* args, const char* format, Outputs... outputs) {
    if (!PyArg_ParseTuple(args, format, outputs...)) {
        throw PythonErrorSet{};
    }
}

// True exactly when the engine reported success.
inline PyObject* succeeded(int32_t engineResult) {
    return PyBool_FromLong(engineResult == 0);
}

inline PyObject* engineInt(int32_t engineResult) {
    return PyLong_FromLong(engineResult);
}

}  // namespace pyv
