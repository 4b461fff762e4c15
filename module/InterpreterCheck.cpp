#include "module/InterpreterCheck.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/compat.h"

namespace pyv {

bool importedByMainInterpreter() {
    if (compat::inMainInterpreter()) {
        return true;
    }
    PyErr_SetString(PyExc_ImportError,
                    "_pyveltosdk can only be imported in the main interpreter: it holds "
                    "process-wide engine state and engine threads that serve one interpreter");
    return false;
}

}  // namespace pyv
