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

// Keeps the pending exception in sys.last_* for post-mortem tools, as PyErr_Print does, and
// leaves it pending. 3.12 adds sys.last_exc and offers the exception as one object.
inline void keepPendingErrorAsLast() {
#if PY_VERSION_HEX >= 0x030C0000
    OwnedRef value = OwnedRef::steal(PyErr_GetRaisedException());
    if (!value) {
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value.get()));
    OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(value.get()));
    const bool kept = PySys_SetObject("last_exc", value.get()) == 0 &&
                      PySys_SetObject("last_type", type) == 0 &&
                      PySys_SetObject("last_value", value.get()) == 0 &&
                      PySys_SetObject("last_traceback", traceback ? traceback.get() : Py_None) == 0;
    if (!kept) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(value.release());
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
    const bool kept = PySys_SetObject("last_type", type.get()) == 0 &&
                      PySys_SetObject("last_value", value ? value.get() : Py_None) == 0 &&
                      PySys_SetObject("last_traceback", traceback ? traceback.get() : Py_None) == 0;
    if (!kept) {
        PyErr_Clear();
    }
    PyErr_Restore(type.release(), value.release(), traceback.release());
#endif
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
