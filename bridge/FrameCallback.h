// What a registration leaves behind for the engine's media threads: the callback to call for
// each frame and the context that goes with it, published to those threads as one pair.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "bridge/CallbackErrors.h"
#include "common/PyRef.h"

namespace pyv {

// Frame kinds, passed as the first argument of every frame callback.
enum StreamType : int {
    StreamAudioRecord = 0,
    StreamAudioPlay = 1,
    StreamAudioMix = 2,
    StreamAudioPlayBeforeMix = 3,
    StreamVideoCap = 10,
    StreamVideoRender = 11,
};

// (streamType, uid, engine frame record, context). Called on an engine media thread.
using FrameCallback = std::function<void(int, unsigned int, void*, void*)>;

struct FrameBinding;

// The registered Python callable and the thread that registered it, where errors of the
// callable are raised again (bridge/CallbackErrors.h).
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
    FrameCallback callback;
    std::unique_ptr<StreamCallbackContext> context;
};

}  // namespace pyv
