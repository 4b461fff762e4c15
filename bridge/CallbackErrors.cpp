#include "bridge/CallbackErrors.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bridge/EngineThreadGil.h"
#include "common/Boundary.h"
#include "common/compat.h"
#include "engine/InterpreterGate.h"

namespace pyv {

namespace {

// The key of the mark in a thread state's dict. Kept for the process: the module serves the
// main interpreter only.
PyObject* markKey() {
    static PyObject* key = nullptr;
    if (key == nullptr) {
        key = PyUnicode_InternFromString("_pyveltosdk.registering_thread");
    }
    return key;
}

// Prints as the interpreter prints an uncaught error: through sys.excepthook, keeping the error
// in sys.last_* for post-mortem tools. The interpreter's own path, PyErr_Print, ends the process
// for SystemExit, and for any error when sys.excepthook itself raises SystemExit, so it is taken
// only for other classes with the interpreter's own hook in place; otherwise the hook is called
// here. SystemExit is not kept in sys.last_*, as PyErr_Print would not keep it either.
void printUncaught() {
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
        compat::printPendingErrorWithoutExit();
        return;
    }
    PyObject* hook = PySys_GetObject("excepthook");         // borrowed
    PyObject* ownHook = PySys_GetObject("__excepthook__");  // borrowed
    if (hook != nullptr && hook == ownHook) {
        PyErr_Print();
        return;
    }
    compat::keepPendingErrorAsLast();
    compat::printPendingErrorWithoutExit();
}

bool createsWithoutArguments(PyObject* candidate) {
    const OwnedRef instance = OwnedRef::steal(PyObject_CallObject(candidate, nullptr));
    if (!instance) {
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(instance.get(), reinterpret_cast<PyTypeObject*>(candidate));
}

OwnedRef firstClassWithoutArguments(PyObject* type) {
    // Held: a constructor could assign __bases__, which replaces the class's MRO tuple.
    const OwnedRef mro =
        OwnedRef::share(BorrowedRef(reinterpret_cast<PyTypeObject*>(type)->tp_mro));
    if (mro && PyTuple_Check(mro.get())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
            PyObject* candidate = PyTuple_GET_ITEM(mro.get(), i);
            if (PyExceptionClass_Check(candidate) && createsWithoutArguments(candidate)) {
                return OwnedRef::share(BorrowedRef(candidate));
            }
        }
    }
    return OwnedRef::share(BorrowedRef(PyExc_BaseException));
}

// The class raised in the registering thread. PyThreadState_SetAsyncExc has the exception
// created there from the class alone, so a class that needs arguments (ExceptionGroup,
// UnicodeEncodeError, a program's class with a required argument) would arrive as an unrelated
// TypeError. The first exception class along the method resolution order that can be created
// without arguments goes instead, so the registrar's except clauses still match: ExceptionGroup
// arrives as Exception. Decided once per class, since the probe runs the class's constructor.
OwnedRef classWithoutArguments(PyObject* type) {
    // Class -> class to raise, kept for the process; emptied when full, so a program that
    // makes classes on the fly cannot make it grow without bound.
    static PyObject* decided = nullptr;
    constexpr Py_ssize_t kMostClasses = 256;
    if (decided == nullptr) {
        decided = PyDict_New();
    }
    if (decided == nullptr) {
        PyErr_Clear();
        return firstClassWithoutArguments(type);
    }
    PyObject* known = PyDict_GetItemWithError(decided, type);  // borrowed
    if (known != nullptr) {
        return OwnedRef::share(BorrowedRef(known));
    }
    PyErr_Clear();
    OwnedRef chosen = firstClassWithoutArguments(type);
    if (PyDict_Size(decided) >= kMostClasses) {
        PyDict_Clear(decided);
    }
    if (PyDict_SetItem(decided, type, chosen.get()) < 0) {
        PyErr_Clear();
    }
    return chosen;
}

}  // namespace

RegisteringThread identifyRegisteringThread() {
    RegisteringThread registrar;
    // An engine thread runs no code of the program: an exception aimed at it would only fail
    // the next frame's callback on that thread.
    if (EngineThreadGil::onEngineThread()) {
        return registrar;
    }
    PyObject* dict = PyThreadState_GetDict();  // borrowed
    PyObject* key = markKey();
    if (dict == nullptr || key == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "the calling thread has no thread state dict");
        }
        throw PythonErrorSet{};
    }
    PyObject* mark = PyDict_GetItemWithError(dict, key);  // borrowed
    OwnedRef fresh;
    if (mark == nullptr) {
        if (PyErr_Occurred()) {
            throw PythonErrorSet{};
        }
        // An empty set: the cheapest built-in object that a weak reference can follow.
        fresh = OwnedRef::steal(checked(PySet_New(nullptr)));
        if (PyDict_SetItem(dict, key, fresh.get()) < 0) {
            throw PythonErrorSet{};
        }
        mark = fresh.get();
    }
    registrar.mark = OwnedRef::steal(checked(PyWeakref_NewRef(mark, nullptr)));
    registrar.id = PyThread_get_thread_ident();
    return registrar;
}

void reportCallbackError(const RegisteringThread& registrar) noexcept {
    PyObject* pending = PyErr_Occurred();  // borrowed
    if (pending == nullptr) {
        return;
    }
    const OwnedRef type = OwnedRef::share(BorrowedRef(pending));
    printUncaught();
    if (!registrar.mark || InterpreterGate::instance().exiting()) {
        return;
    }
    const OwnedRef raised = classWithoutArguments(type.get());
    // From here on no Python code runs, so no other thread runs between the checks and the
    // raise. While the mark lives, the registering thread has not ended, so its id is still its
    // own; once the main thread has finished the program's code, an exception would break its
    // wait for the other threads, or end a non-daemon thread before its work is done.
    if (InterpreterGate::instance().exiting() || compat::threadingShutdownStarted() ||
        !compat::referentAlive(registrar.mark.get())) {
        return;
    }
    PyThreadState_SetAsyncExc(registrar.id, raised.get());
}

}  // namespace pyv
