// initialize, terminate, getVersion: start, stop and identify the engine.
#include <string>

#include "engine/CVeltoObject.h"
#include "module/functions.h"
#include "module/results.h"

namespace pyv {

PyObject* initialize(PyObject*, PyObject* args) {
    return callPython([&] {
        const char* initText = nullptr;
        parseArgs(args, "s", &initText);
        CVeltoObject::getInstance().startEngine(initText);
        Py_RETURN_NONE;
    });
}

PyObject* terminate(PyObject*, PyObject* args) {
    return callPython([&] {
        parseArgs(args, "");
        CVeltoObject::getInstance().releaseEngine();
        Py_RETURN_NONE;
    });
}

PyObject* getVersion(PyObject*, PyObject* args) {
    return callPython([&] {
        parseArgs(args, "");
        CVeltoObject::getInstance();
        int build = 0;
        const char* version = ::getEngineVersion(&build);
        const std::string copy(version != nullptr ? version : "");
        return PyBytes_FromString(copy.c_str());
    });
}

}  // namespace pyv
