#include "bridge/FrameDispatcher.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "bridge/CallbackErrors.h"
#include "bridge/EngineThreadGil.h"
#include "common/PyRef.h"
#include "common/compat.h"
#include "engine/InterpreterGate.h"
#include "sdk/MediaFrames.h"

namespace pyv {

namespace {

using velto::media::EngineAudioFrame;
using velto::media::EngineVideoFrame;

// One engine buffer as it may safely be read and written.
struct Plane {
    unsigned char* data;
    Py_ssize_t size;
};

// A size the engine gives as 32-bit fields: a negative factor, a product past 32 bits or a null
// pointer gives an empty plane, so nothing outside the engine's memory is ever touched.
Plane makePlane(void* data, int64_t size) {
    if (data == nullptr || size <= 0 || size > INT32_MAX) {
        return {nullptr, 0};
    }
    return {static_cast<unsigned char*>(data), static_cast<Py_ssize_t>(size)};
}

int64_t product(int64_t a, int64_t b) {
    if (a < 0 || b < 0) {
        return -1;
    }
    if (a != 0 && b > INT64_MAX / a) {
        return -1;
    }
    return a * b;
}

// The callable's answer for one buffer, as the "z#" format reads it: a pointer and a length.
struct Answer {
    const char* data = nullptr;
    Py_ssize_t length = 0;
};

// Copy-back: a non-empty answer replaces the start of the buffer, cut to the buffer's size, and
// zeroes what a shorter answer leaves over. Lengths are compared at full width.
void copyBack(const Plane& plane, const Answer& answer) {
    if (answer.data == nullptr || answer.length <= 0 || plane.data == nullptr) {
        return;
    }
    const Py_ssize_t copied = answer.length < plane.size ? answer.length : plane.size;
    std::memcpy(plane.data, answer.data, static_cast<size_t>(copied));
    if (copied < plane.size) {
        std::memset(plane.data + copied, 0, static_cast<size_t>(plane.size - copied));
    }
}

// Reads `count` answers from the callable's result. Exact bytes and None are read directly;
// anything else goes through the interpreter's own "z#" parser for its semantics and errors.
// Returns false with a Python error set; then no answer may be applied.
template <size_t Count>
bool readAnswers(PyObject* result, Answer (&answers)[Count]) {
    if (!PyTuple_Check(result)) {
        PyErr_Format(PyExc_TypeError,
                     "stream_callback must return a tuple of %d item%s (bytes, str or None), "
                     "not %.200s",
                     static_cast<int>(Count), Count == 1 ? "" : "s", Py_TYPE(result)->tp_name);
        return false;
    }
    if (PyTuple_GET_SIZE(result) == static_cast<Py_ssize_t>(Count)) {
        bool plain = true;
        for (size_t i = 0; i < Count && plain; ++i) {
            PyObject* item = PyTuple_GET_ITEM(result, i);
            if (PyBytes_CheckExact(item)) {
                answers[i] = {PyBytes_AS_STRING(item), PyBytes_GET_SIZE(item)};
            } else if (item == Py_None) {
                answers[i] = {};
            } else {
                plain = false;
            }
        }
        if (plain) {
            return true;
        }
    }
    if constexpr (Count == 1) {
        return PyArg_ParseTuple(result, "z#", &answers[0].data, &answers[0].length) != 0;
    } else {
        return PyArg_ParseTuple(result, "z#z#z#", &answers[0].data, &answers[0].length,
                                &answers[1].data, &answers[1].length, &answers[2].data,
                                &answers[2].length) != 0;
    }
}

// Prints the pending error and hands it to the thread that registered the callable, where that
// is still right (bridge/CallbackErrors.h).
void forwardError(const StreamCallbackContext& context) {
    reportCallbackError(context.registrar);
}

// `args` ends with the bytes objects given for the planes, in plane order. An answer that is the
// very object given for its plane is not copied back: bytes never change, and it was made from
// that plane, which the engine's thread leaves alone while it waits for the callable. The
// thread's reused bytes objects keep this true, since one is refilled only when nobody else
// holds it: an object the callable kept from an earlier frame is never the one given now.
template <size_t Count>
void callAndCopyBack(const StreamCallbackContext& context, PyObject* const* args, size_t nargs,
                     const Plane (&planes)[Count]) {
    OwnedRef result = OwnedRef::steal(compat::vectorcall(context.callable.get(), args, nargs));
    if (!result) {
        forwardError(context);
        return;
    }
    Answer answers[Count];
    if (!readAnswers(result.get(), answers)) {
        forwardError(context);
        return;
    }
    // The answers point into the result's items, so this runs before the result goes. A result
    // read successfully is a tuple of exactly Count items.
    PyObject* const* given = args + (nargs - Count);
    for (size_t i = 0; i < Count; ++i) {
        if (PyTuple_GET_ITEM(result.get(), i) != given[i]) {
            copyBack(planes[i], answers[i]);
        }
    }
}

// Calls the callable with the frame's numbers followed by the bytes of its planes, made through
// the thread's reusable objects.
template <size_t Numbers, size_t Count>
void dispatch(EngineThreadGil& gil, const StreamCallbackContext& context,
              const int32_t (&numbers)[Numbers], const Plane (&planes)[Count]) {
    OwnedRef objects[Numbers + Count];
    PyObject* args[Numbers + Count];
    for (size_t i = 0; i < Numbers + Count; ++i) {
        if (i < Numbers) {
            objects[i] = OwnedRef::steal(gil.newInt(numbers[i]));
        } else {
            const Plane& plane = planes[i - Numbers];
            objects[i] = OwnedRef::steal(
                gil.newBytes(i - Numbers, reinterpret_cast<const char*>(plane.data), plane.size));
        }
        if (!objects[i]) {
            forwardError(context);
            return;
        }
        args[i] = objects[i].get();
    }
    callAndCopyBack(context, args, Numbers + Count, planes);
}

// The context of the binding published now. Registration publishes under the GIL too, so once
// it has returned, no frame reaches the callable it replaced.
const StreamCallbackContext& currentContext(const StreamCallbackContext& taken) {
    const FrameBinding* binding =
        taken.published != nullptr ? taken.published->load(std::memory_order_acquire) : nullptr;
    return binding != nullptr && binding->context ? *binding->context : taken;
}

bool isAudio(int streamType) {
    return streamType >= StreamAudioRecord && streamType <= StreamAudioPlayBeforeMix;
}
bool isVideo(int streamType) {
    return streamType == StreamVideoCap || streamType == StreamVideoRender;
}

}  // namespace

int streamFrameCallback(int streamType, unsigned int uid, void* frame, void* context) noexcept {
    const bool audio = isAudio(streamType);
    if ((!audio && !isVideo(streamType)) || frame == nullptr || context == nullptr) {
        return 0;
    }
    const FrameKind kind = audio ? FrameKind::Audio : FrameKind::Video;
    InterpreterGate& gate = InterpreterGate::instance();
    InterpreterGate::Pass pass(gate, kind);
    if (!pass.admitted() || !gate.framesOpen(kind)) {
        return 0;
    }
    const auto& takenContext = *static_cast<const StreamCallbackContext*>(context);

    // Sizes are settled before the GIL is taken; they depend on the frame alone.
    if (audio) {
        const auto& audioFrame = *static_cast<const EngineAudioFrame*>(frame);
        const Plane planes[1] = {makePlane(
            audioFrame.buffer,
            product(product(audioFrame.samples, audioFrame.bytesPerSample), audioFrame.channels))};
        EngineThreadGil gil;
        // Checked again under the GIL: the exit hook or terminate may have shut the gate while
        // this thread waited for it.
        if (!gate.exiting() && gate.framesOpen(kind)) {
            const int32_t numbers[] = {streamType, static_cast<int32_t>(uid), audioFrame.samples,
                                       audioFrame.channels, audioFrame.samplesPerSec};
            dispatch(gil, currentContext(takenContext), numbers, planes);
        }
    } else {
        const auto& videoFrame = *static_cast<const EngineVideoFrame*>(frame);
        const int64_t ySize = product(videoFrame.width, videoFrame.height);
        // An odd area truncates: a 3x3 frame has 2-byte chroma planes.
        const int64_t chromaSize = ySize > 0 && ySize <= INT32_MAX ? ySize / 4 : -1;
        const Plane planes[3] = {makePlane(videoFrame.yPlane, ySize),
                                 makePlane(videoFrame.uPlane, chromaSize),
                                 makePlane(videoFrame.vPlane, chromaSize)};
        EngineThreadGil gil;
        if (!gate.exiting() && gate.framesOpen(kind)) {
            const int32_t numbers[] = {streamType, static_cast<int32_t>(uid), videoFrame.width,
                                       videoFrame.height};
            dispatch(gil, currentContext(takenContext), numbers, planes);
        }
    }
    return 0;
}

}  // namespace pyv
