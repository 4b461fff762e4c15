// The module definition: method table, constants and the init function.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/FrameBinding.h"
#include "common/PyRef.h"
#include "common/compat.h"
#include "engine/ForkGuard.h"
#include "engine/InterpreterGate.h"
#include "module/AudioFrameType.h"
#include "module/InterpreterCheck.h"
#include "module/functions.h"

namespace pyv {

namespace {

PyMethodDef methods[] = {
    {"initialize", initialize, METH_VARARGS, "initialize velto engine"},
    {"terminate", terminate, METH_VARARGS, "terminate velto engine"},
    {"getVersion", getVersion, METH_VARARGS, "get version"},
    {"setLogPath", setLogPath, METH_VARARGS, "set Log Path"},
    {"logOff", logOff, METH_VARARGS, "Log off"},
    {"setChannelProfile", setChannelProfile, METH_VARARGS, "set Channel Profile"},
    {"setClientRole", setClientRole, METH_VARARGS, "set Client Role"},
    {"enableWebSdkInteroperability", enableWebSdkInteroperability, METH_VARARGS,
     "enableWebSdkInteroperability"},
    {"setVideoProfile", setVideoProfile, METH_VARARGS, "setVideoProfile"},
    {"setAudioProfile", setAudioProfile, METH_VARARGS, "setAudioProfile"},
    {"joinChannel", joinChannel, METH_VARARGS, "joinChannel"},
    {"leaveChannel", leaveChannel, METH_VARARGS, "leaveChannel"},
    {"enableVideo", enableVideo, METH_VARARGS, "enable Video"},
    {"enableAudio", enableAudio, METH_VARARGS, "enable Audio"},
    {"muteLocalVideo", muteLocalVideo, METH_VARARGS, "muteLocalVideo"},
    {"muteLocalAudio", muteLocalAudio, METH_VARARGS, "muteLocalAudio"},
    {"muteAllRemoteVideoStreams", muteAllRemoteVideoStreams, METH_VARARGS,
     "muteAllRemoteVideoStreams"},
    {"muteAllRemoteAudioStreams", muteAllRemoteAudioStreams, METH_VARARGS,
     "muteAllRemoteAudioStreams"},
    {"enableDualStreamMode", enableDualStreamMode, METH_VARARGS, "enableDualStreamMode"},
    {"setParameters", setParameters, METH_VARARGS, "set Parameters"},
    {"addView", addView, METH_VARARGS, "addView"},
    {"registerAudioObserver", registerAudioObserver, METH_VARARGS, "register Audio Observer"},
    {"registerVideoObserver", registerVideoObserver, METH_VARARGS, "register Video Observer"},
    {"_event_queue", openEventQueue, METH_VARARGS, "open an engine event queue (private)"},
    {"_flushOutput", flushOutput, METH_VARARGS, nullptr},
    {"_droppedLines", droppedLines, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// State size 0, not -1: an interpreter importing the module after another one then runs the init
// function again, instead of getting a copy of the first one's module, so every import meets
// the interpreter check.
PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT, "_pyveltosdk", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr,
};

// Runs among the interpreter's exit functions, before it starts to finalize: from here on no
// engine thread enters Python and the module prints nothing more.
PyObject* closeAtExit(PyObject*, PyObject*) {
    InterpreterGate::instance().closeForExit();
    Py_RETURN_NONE;
}

PyMethodDef closeAtExitMethod = {"_close_engine_gate", closeAtExit, METH_NOARGS, nullptr};

bool registerExitHook() {
    OwnedRef atexit = OwnedRef::steal(PyImport_ImportModule("atexit"));
    OwnedRef hook = OwnedRef::steal(PyCFunction_New(&closeAtExitMethod, nullptr));
    if (!atexit || !hook) {
        return false;
    }
    OwnedRef done = OwnedRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return static_cast<bool>(done);
}

}  // namespace

}  // namespace pyv

PYV_MODINIT_FUNC PyInit__pyveltosdk() {
    using namespace pyv;
    if (!importedByMainInterpreter()) {
        return nullptr;
    }
    compat::initThreads();
    if (PyType_Ready(&AudioFrameType) < 0) {
        return nullptr;
    }
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&moduleDefinition, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
    // Kept for the life of the process; the type is readied but bound to no attribute.
    OwnedRef::share(BorrowedRef(reinterpret_cast<PyObject*>(&AudioFrameType))).release();
    PyModule_AddIntConstant(module.get(), "StreamAudioRecord", StreamAudioRecord);
    PyModule_AddIntConstant(module.get(), "StreamAudioPlay", StreamAudioPlay);
    PyModule_AddIntConstant(module.get(), "StreamAudioMix", StreamAudioMix);
    PyModule_AddIntConstant(module.get(), "StreamAudioPlayBeforeMix", StreamAudioPlayBeforeMix);
    PyModule_AddIntConstant(module.get(), "StreamVideoCap", StreamVideoCap);
    PyModule_AddIntConstant(module.get(), "StreamVideoRender", StreamVideoRender);
    if (!registerExitHook()) {
        return nullptr;
    }
    if (!installForkGuard()) {
        PyErr_SetString(PyExc_ImportError, "_pyveltosdk: cannot install its fork handlers");
        return nullptr;
    }
    return module.release();
}
