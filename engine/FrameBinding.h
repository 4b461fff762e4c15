// What a registration leaves behind in the engine object for the engine's media threads: the
// function to call for each frame and the context that goes with it, published to those threads
// as one pair. The engine object stores these; the frame bridge fills and reads them.
#pragma once

#include <atomic>
#include <memory>

#include "common/PyRef.h"
#include "sdk/StreamTypes.h"

namespace pyv {

using velto::media::StreamAudioMix;
using velto::media::StreamAudioPlay;
using velto::media::StreamAudioPlayBeforeMix;
using velto::media::StreamAudioRecord;
using velto::media::StreamType;
using velto::media::StreamVideoCap;
using velto::media::StreamVideoRender;

// (streamType, uid, engine frame record, context). Called on an engine media thread, without
// the GIL; never throws.
using FrameCallback = int (*)(int, unsigned int, void*, void*) noexcept;

// The thread that registered a callable: its interpreter id and a weak reference to a mark
// stored in its thread state's dict. Only that dict holds the mark, so the mark goes when the
// thread's state is cleared at the thread's end; a new thread that the system gives the same id
// has no such mark. Both empty for an engine thread. Made and used by bridge/CallbackErrors.h.
struct RegisteringThread {
    unsigned long id = 0;
    OwnedRef mark;
};

struct FrameBinding;

// The registered Python callable and the thread that registered it, where errors of the
// callable are raised again.
struct StreamCallbackContext {
    OwnedRef callable;  // touched only under the GIL; never released (see FrameBinding)
    RegisteringThread registrar;
    // Where the registration published its binding. A frame that took this context before it
    // waited for the GIL is dispatched, under the GIL, to the binding published there now: a
    // replaced callable is never called once the registration that replaced it has returned.
    const std::atomic<const FrameBinding*>* published = nullptr;
};

// Published whole through an atomic pointer, so a media thread finds either no binding or a
// callback with its valid context. Bindings are never freed: a frame may still hold a binding
// that a later registration replaced, and reads the current one through it.
struct FrameBinding {
    FrameCallback callback = nullptr;
    std::unique_ptr<StreamCallbackContext> context;
};

}  // namespace pyv
