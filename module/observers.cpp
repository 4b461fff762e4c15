// registerAudioObserver, registerVideoObserver: route the engine's raw frames to a callable.
#include <memory>

#include "bridge/CallbackErrors.h"
#include "bridge/FrameDispatcher.h"
#include "engine/CVeltoObject.h"
#include "module/functions.h"
#include "module/results.h"

namespace pyv {

namespace {

using Registration = bool (CVeltoObject::*)(FrameCallback, std::unique_ptr<StreamCallbackContext>);

PyObject* registerObserver(PyObject* args, Registration registration) {
    PyObject* callable = nullptr;
    parseArgs(args, "O", &callable);
    if (!PyCallable_Check(callable)) {
        raise(PyExc_TypeError, "stream_callback must be callable");
    }
    CVeltoObject& object = CVeltoObject::getInstance();
    // Without an engine nothing could deliver frames; say so instead of waiting forever.
    if (object.engine() == nullptr) {
        raise(PyExc_RuntimeError,
              "no engine to register the observer with: call initialize() first");
    }
    auto context = std::make_unique<StreamCallbackContext>();
    context->callable = OwnedRef::share(BorrowedRef(callable));
    context->registrar = identifyRegisteringThread();
    if (!(object.*registration)(streamFrameCallback, std::move(context))) {
        raise(PyExc_RuntimeError, "the engine gave no observer registry; observer not registered");
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject* registerAudioObserver(PyObject*, PyObject* args) {
    return callPython([&] { return registerObserver(args, &CVeltoObject::registerAudioObserver); });
}

PyObject* registerVideoObserver(PyObject*, PyObject* args) {
    return callPython([&] { return registerObserver(args, &CVeltoObject::registerVideoObserver); });
}

}  // namespace pyv
