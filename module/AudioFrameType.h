// The Python type "velto.AudioFrame": one block of audio samples with its description.
// Readied at import; interpreter threads only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace pyv {

struct AudioFrameObject {
    PyObject_HEAD int32_t type;
    int32_t samples;
    int32_t bytesPerSample;
    int32_t channels;
    int32_t samplesPerSec;
    char* buffer;  // owned copy of the assigned text, or null
    int64_t renderTimeMs;
    Py_ssize_t bufferSize;  // bytes held at `buffer`, without its NUL
};

extern PyTypeObject AudioFrameType;

}  // namespace pyv
