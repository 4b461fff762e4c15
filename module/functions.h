// The Python-callable functions of _pyveltosdk, one per method-table entry, grouped by theme:
// lifecycle.cpp, channel.cpp, media.cpp, observers.cpp. Each takes the module (ignored) and the
// tuple of positional arguments and returns a new reference, or null with a Python error set.
// Interpreter threads, holding the GIL throughout.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pyv {

// lifecycle.cpp
PyObject* initialize(PyObject* module, PyObject* args);
PyObject* terminate(PyObject* module, PyObject* args);
PyObject* getVersion(PyObject* module, PyObject* args);

// channel.cpp
PyObject* setChannelProfile(PyObject* module, PyObject* args);
PyObject* setClientRole(PyObject* module, PyObject* args);
PyObject* joinChannel(PyObject* module, PyObject* args);
PyObject* leaveChannel(PyObject* module, PyObject* args);
PyObject* addView(PyObject* module, PyObject* args);

// media.cpp
PyObject* setLogPath(PyObject* module, PyObject* args);
PyObject* logOff(PyObject* module, PyObject* args);
PyObject* enableWebSdkInteroperability(PyObject* module, PyObject* args);
PyObject* setVideoProfile(PyObject* module, PyObject* args);
PyObject* setAudioProfile(PyObject* module, PyObject* args);
PyObject* enableVideo(PyObject* module, PyObject* args);
PyObject* enableAudio(PyObject* module, PyObject* args);
PyObject* muteLocalVideo(PyObject* module, PyObject* args);
PyObject* muteLocalAudio(PyObject* module, PyObject* args);
PyObject* muteAllRemoteVideoStreams(PyObject* module, PyObject* args);
PyObject* muteAllRemoteAudioStreams(PyObject* module, PyObject* args);
PyObject* enableDualStreamMode(PyObject* module, PyObject* args);
PyObject* setParameters(PyObject* module, PyObject* args);
// Private helpers for tests that read the native standard output.
PyObject* flushOutput(PyObject* module, PyObject* args);
PyObject* droppedLines(PyObject* module, PyObject* args);

// observers.cpp
PyObject* registerAudioObserver(PyObject* module, PyObject* args);
PyObject* registerVideoObserver(PyObject* module, PyObject* args);

// events.cpp (private: used by the pyveltosdk package)
PyObject* openEventQueue(PyObject* module, PyObject* args);

}  // namespace pyv
