#include "module/AudioFrameType.h"

#include <cstddef>
#include <cstring>

#include "common/PyRef.h"

namespace pyv {

namespace {

AudioFrameObject* frameOf(PyObject* self) {
    return reinterpret_cast<AudioFrameObject*>(self);
}

// Frames start zero-filled; the buffer is the only thing a frame owns besides itself.
void replaceBuffer(AudioFrameObject* frame, char* buffer, Py_ssize_t size) {
    PyMem_Free(frame->buffer);
    frame->buffer = buffer;
    frame->bufferSize = size;
}

void deallocFrame(PyObject* self) {
    replaceBuffer(frameOf(self), nullptr, 0);
    Py_TYPE(self)->tp_free(self);
}

int refuseDeletion(PyObject* value) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "Cannot delete the last attribute");
        return -1;
    }
    return 0;
}

// Integer attributes: the byte offset of the field rides in the descriptor's closure.
PyObject* getInt32(PyObject* self, void* offset) {
    int32_t value;
    std::memcpy(&value, reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset),
                sizeof value);
    return PyLong_FromLong(value);
}

int setInt32(PyObject* self, PyObject* value, void* offset) {
    if (refuseDeletion(value) < 0) {
        return -1;
    }
    int parsed = 0;
    if (!PyArg_Parse(value, "i", &parsed)) {
        return -1;
    }
    const int32_t stored = parsed;
    std::memcpy(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset), &stored,
                sizeof stored);
    return 0;
}

PyObject* getRenderTime(PyObject* self, void*) {
    return PyLong_FromLongLong(frameOf(self)->renderTimeMs);
}

int setRenderTime(PyObject* self, PyObject* value, void*) {
    if (refuseDeletion(value) < 0) {
        return -1;
    }
    int parsed = 0;
    if (!PyArg_Parse(value, "i", &parsed)) {
        return -1;
    }
    frameOf(self)->renderTimeMs = parsed;
    return 0;
}

// samples x bytesPerSample x channels bytes, never more than the frame holds. The product is
// the 32-bit one of the fields; a negative product is refused by the interpreter.
PyObject* getBuffer(PyObject* self, void*) {
    const AudioFrameObject* frame = frameOf(self);
    const int64_t wide = static_cast<int64_t>(frame->channels) * frame->bytesPerSample *
                         static_cast<int64_t>(frame->samples);
    const auto length = static_cast<int32_t>(static_cast<uint32_t>(wide));
    if (length < 0) {
        return PyBytes_FromStringAndSize(nullptr, length);
    }
    const Py_ssize_t held = frame->buffer ? frame->bufferSize : 0;
    return PyBytes_FromStringAndSize(frame->buffer, length < held ? length : held);
}

int setBuffer(PyObject* self, PyObject* value, void*) {
    if (refuseDeletion(value) < 0) {
        return -1;
    }
    const char* text = nullptr;
    if (!PyArg_Parse(value, "s", &text)) {
        return -1;
    }
    const size_t size = std::strlen(text);
    auto* copy = static_cast<char*>(PyMem_Malloc(size + 1));
    if (copy == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    std::memcpy(copy, text, size + 1);
    replaceBuffer(frameOf(self), copy, static_cast<Py_ssize_t>(size));
    return 0;
}

void* offsetClosure(size_t offset) {
    return reinterpret_cast<void*>(offset);
}

PyGetSetDef frameAttributes[] = {
    {"type", getInt32, setInt32, "frame type", offsetClosure(offsetof(AudioFrameObject, type))},
    {"samples", getInt32, setInt32, "samples", offsetClosure(offsetof(AudioFrameObject, samples))},
    {"bytesPerSample", getInt32, setInt32, "bytesPerSample",
     offsetClosure(offsetof(AudioFrameObject, bytesPerSample))},
    {"channels", getInt32, setInt32, "channels",
     offsetClosure(offsetof(AudioFrameObject, channels))},
    {"samplesPerSec", getInt32, setInt32, "samplesPerSec",
     offsetClosure(offsetof(AudioFrameObject, samplesPerSec))},
    {"buffer", getBuffer, setBuffer, "buffer", nullptr},
    {"renderTimeMs", getRenderTime, setRenderTime, "renderTimeMs", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject makeAudioFrameType() {
    PyTypeObject type{};
    reinterpret_cast<PyObject*>(&type)->ob_refcnt = 1;  // as a static object's header starts
    type.tp_name = "velto.AudioFrame";
    type.tp_basicsize = sizeof(AudioFrameObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = deallocFrame;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Velto Audio Frame";
    type.tp_getset = frameAttributes;
    type.tp_new = PyType_GenericNew;
    return type;
}

}  // namespace

// Built when the library loads, with its generic constructor already in place.
PyTypeObject AudioFrameType = makeAudioFrameType();

}  // namespace pyv
