// The sub-interfaces the foreign engine hands out through getSubInterface: ids 1 and 2 (nothing
// but release), EngineParameters (3) and ObserverRegistry (4), and the SdkString resolvePath
// returns. Each is one static object; handing one out counts a reference, release gives it back.
//
// Interpreter threads call them (the module holds the GIL). The observers attached here are read
// by the engine's call thread.
#pragma once

#include "../../sdk/IRtcEngine.h"

namespace foreign {

// The sub-interface for `id`, as the pointer type getSubInterface hands out; null for an unknown
// id. Counts one reference.
void* handOutSubInterface(int id);
// References handed out and not yet released, over every id.
int outstandingSubInterfaces();

velto::media::IAudioFrameObserver* attachedAudioObserver();
velto::media::IVideoFrameObserver* attachedVideoObserver();
// Forgets the observers: a new engine starts without any.
void detachObservers();

}  // namespace foreign
