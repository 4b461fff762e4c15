// The one place where C++ errors cross into Python. Python-facing functions run their body
// through callPython: a PythonErrorSet means the Python error is already set, std::bad_alloc
// becomes MemoryError, anything else a RuntimeError; each turns into the null result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

namespace pyv {

// Thrown after a Python error has been set (by us or by the interpreter's API).
struct PythonErrorSet {};

// Throws PythonErrorSet when `result` is null: the interpreter has set the error.
template <typename T>
T* checked(T* result) {
    if (result == nullptr) {
        throw PythonErrorSet{};
    }
    return result;
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonErrorSet{};
}

// Runs a Python-facing body that returns a new reference; exceptions become null.
template <typename Body>
PyObject* callPython(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected native error");
    }
    return nullptr;
}

}  // namespace pyv
