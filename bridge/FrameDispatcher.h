// Calls the registered Python stream_callback for one engine frame and copies its answer back
// into the frame, in place, before the engine goes on.
//
// Engine media threads, without the GIL (taken here). Never throws; a failure of the callable
// is printed and raised again, asynchronously, in the thread that registered it, while that
// thread still runs the program's code (bridge/CallbackErrors.h).
#pragma once

namespace pyv {

// `frame` is an EngineAudioFrame for stream types 0 to 3 and an EngineVideoFrame for 10 and 11;
// `context` the StreamCallbackContext of the registration. Other stream types reach no Python.
// The result carries nothing.
int streamFrameCallback(int streamType, unsigned int uid, void* frame, void* context) noexcept;

}  // namespace pyv
