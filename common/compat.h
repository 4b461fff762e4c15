// Every difference between the supported interpreters (CPython 3.8 to 3.13) lives here, each with
// the reason it exists. Callers hold the GIL unless a function says otherwise.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <utility>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max stay usable
#endif
#include <windows.h>
#endif

#include "common/PyRef.h"

// The module builds with hidden visibility; 3.8's PyMODINIT_FUNC does not mark the init function
// visible (3.9 and later do), so it is marked here for every version.
#if defined(_WIN32)
#define PYV_MODINIT_FUNC PyMODINIT_FUNC
#else
#define PYV_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace pyv {
namespace compat {

// The GIL is created by the interpreter itself from 3.7 on; PyEval_InitThreads is deprecated in
// 3.9 and gone in 3.13, but 3.8 still documents it as required before native threads call in.
inline void initThreads() {
#if PY_VERSION_HEX < 0x03090000
    PyEval_InitThreads();
#endif
}

// Safe to call without the GIL; racy by nature, so only a second line of defence.
inline bool isFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// The clock time.monotonic() reads, in nanoseconds; no GIL needed. CLOCK_MONOTONIC (the steady
// clock) elsewhere; on Windows before 3.13 it is GetTickCount64's milliseconds, and from 3.13
// the performance counter, which the steady clock reads there too.
inline int64_t monotonicNs() noexcept {
#if defined(_WIN32) && PY_VERSION_HEX < 0x030D0000
    return static_cast<int64_t>(GetTickCount64()) * 1000000;
#else
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

// The vectorcall entry point was provisional (underscored) in 3.8.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
#else
    return _PyObject_Vectorcall(callable, args, nargs, nullptr);
#endif
}

// The pending exception, normalised, in its three parts; fetching clears the error indicator.
// 3.12 holds the exception as one object and deprecates PyErr_Fetch.
struct PendingError {
    OwnedRef type;
    OwnedRef value;
    OwnedRef traceback;
    explicit operator bool() const { return static_cast<bool>(type); }
};

inline PendingError fetchPendingError() {
    PendingError error;
#if PY_VERSION_HEX >= 0x030C0000
    error.value = OwnedRef::steal(PyErr_GetRaisedException());
    if (error.value) {
        error.type =
            OwnedRef::share(BorrowedRef(reinterpret_cast<PyObject*>(Py_TYPE(error.value.get()))));
        error.traceback = OwnedRef::steal(PyException_GetTraceback(error.value.get()));
    }
#else
    PyObject* rawType = nullptr;
    PyObject* rawValue = nullptr;
    PyObject* rawTraceback = nullptr;
    PyErr_Fetch(&rawType, &rawValue, &rawTraceback);
    PyErr_NormalizeException(&rawType, &rawValue, &rawTraceback);
    error.type = OwnedRef::steal(rawType);
    error.value = OwnedRef::steal(rawValue);
    error.traceback = OwnedRef::steal(rawTraceback);
    if (error.traceback && error.value) {
        PyException_SetTraceback(error.value.get(), error.traceback.get());
    }
#endif
    return error;
}

// Makes a fetched exception pending again.
inline void restorePendingError(PendingError error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.value.release());
#else
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
#endif
}

// Prints the pending exception through sys.excepthook and clears it, without PyErr_Print's
// handling of SystemExit, which would end the process from whatever thread prints it.
inline void printPendingErrorWithoutExit() {
    const PendingError error = fetchPendingError();
    if (!error) {
        return;
    }
    PyObject* value = error.value ? error.value.get() : Py_None;
    PyObject* traceback = error.traceback ? error.traceback.get() : Py_None;
    PyObject* hook = PySys_GetObject("excepthook");  // borrowed
    OwnedRef printed;
    if (hook != nullptr && hook != Py_None) {
        printed = OwnedRef::steal(
            PyObject_CallFunctionObjArgs(hook, error.type.get(), value, traceback, nullptr));
    }
    if (!printed) {
        PyErr_Clear();
        PyErr_Display(error.type.get(), value, traceback);
    }
}

// Keeps the pending exception in sys.last_* for post-mortem tools, as PyErr_Print does, and
// leaves it pending. 3.12 adds sys.last_exc.
inline void keepPendingErrorAsLast() {
    PendingError error = fetchPendingError();
    if (!error) {
        return;
    }
    bool kept =
        PySys_SetObject("last_type", error.type.get()) == 0 &&
        PySys_SetObject("last_value", error.value ? error.value.get() : Py_None) == 0 &&
        PySys_SetObject("last_traceback", error.traceback ? error.traceback.get() : Py_None) == 0;
#if PY_VERSION_HEX >= 0x030C0000
    kept = kept && PySys_SetObject("last_exc", error.value.get()) == 0;
#endif
    if (!kept) {
        PyErr_Clear();
    }
    restorePendingError(std::move(error));
}

// PyInterpreterState_Get became public in 3.9; 3.8 offers it underscored.
inline bool inMainInterpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
    return _PyInterpreterState_Get() == PyInterpreterState_Main();
#endif
}

// Whether the object a weak reference follows still exists. PyWeakref_GetObject is deprecated
// from 3.13, which offers PyWeakref_GetRef instead. Runs no Python code.
inline bool referentAlive(PyObject* weakReference) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* referent = nullptr;
    const int found = PyWeakref_GetRef(weakReference, &referent);
    const OwnedRef held = OwnedRef::steal(referent);
    if (found < 0) {
        PyErr_Clear();
    }
    return found == 1;
#else
    PyObject* referent = PyWeakref_GetObject(weakReference);  // borrowed
    if (referent == nullptr) {
        PyErr_Clear();
    }
    return referent != nullptr && referent != Py_None;
#endif
}

// True once the main thread has finished the program's code: it then waits in threading._shutdown
// for the non-daemon threads (after running the threading module's own exit functions, such as
// concurrent.futures joining its workers). 3.9 and later set threading._SHUTTING_DOWN first thing
// in there; 3.8 has no such flag and marks the main thread stopped first thing instead. Nobody
// waits there unless the threading module is loaded. Attribute reads only: runs no Python code.
// When the answer cannot be read, the answer is true.
inline bool threadingShutdownStarted() {
    PyObject* modules = PyImport_GetModuleDict();                      // borrowed
    PyObject* threading = PyDict_GetItemString(modules, "threading");  // borrowed
    if (threading == nullptr) {
        return false;
    }
#if PY_VERSION_HEX >= 0x03090000
    OwnedRef flag = OwnedRef::steal(PyObject_GetAttrString(threading, "_SHUTTING_DOWN"));
#else
    OwnedRef mainThread = OwnedRef::steal(PyObject_GetAttrString(threading, "_main_thread"));
    OwnedRef flag = mainThread
                        ? OwnedRef::steal(PyObject_GetAttrString(mainThread.get(), "_is_stopped"))
                        : OwnedRef();
#endif
    const int started = flag ? PyObject_IsTrue(flag.get()) : -1;
    if (started < 0) {
        PyErr_Clear();
    }
    return started != 0;
}

}  // namespace compat
}  // namespace pyv
