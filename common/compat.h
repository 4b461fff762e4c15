// Every difference between the supported interpreters (CPython 3.8 to 3.13) lives here, each with
// the reason it exists. Callers hold the GIL unless a function says otherwise.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// The vectorcall entry point was provisional (underscored) in 3.8.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
#else
    return _PyObject_Vectorcall(callable, args, nargs, nullptr);
#endif
}

// Prints the pending exception through sys.excepthook and clears it, without PyErr_Print's
// handling of SystemExit, which would end the process from whatever thread prints it.
// PyErr_Fetch is deprecated from 3.12, which offers the exception as one object instead.
inline void printPendingErrorWithoutExit() {
#if PY_VERSION_HEX >= 0x030C0000
    OwnedRef value = OwnedRef::steal(PyErr_GetRaisedException());
    if (!value) {
        return;
    }
    OwnedRef type = OwnedRef::share(BorrowedRef(reinterpret_cast<PyObject*>(Py_TYPE(value.get()))));
    OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(value.get()));
#else
    PyObject* rawType = nullptr;
    PyObject* rawValue = nullptr;
    PyObject* rawTraceback = nullptr;
    PyErr_Fetch(&rawType, &rawValue, &rawTraceback);
    PyErr_NormalizeException(&rawType, &rawValue, &rawTraceback);
    OwnedRef type = OwnedRef::steal(rawType);
    OwnedRef value = OwnedRef::steal(rawValue);
    OwnedRef traceback = OwnedRef::steal(rawTraceback);
    if (!type) {
        return;
    }
    if (traceback && value) {
        PyException_SetTraceback(value.get(), traceback.get());
    }
#endif
    PyObject* hook = PySys_GetObject("excepthook");  // borrowed
    OwnedRef printed;
    if (hook != nullptr && hook != Py_None) {
        printed = OwnedRef::steal(
            PyObject_CallFunctionObjArgs(hook, type.get(), value ? value.get() : Py_None,
                                         traceback ? traceback.get() : Py_None, nullptr));
    }
    if (!printed) {
        PyErr_Clear();
        PyErr_Display(type.get(), value ? value.get() : Py_None,
                      traceback ? traceback.get() : Py_None);
    }
}

// PyInterpreterState_Get became public in 3.9; 3.8 offers it underscored.
inline bool inMainInterpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
    return _PyInterpreterState_Get() == PyInterpreterState_Main();
#endif
}

}  // namespace compat
}  // namespace pyv
