// The call's audio, every 10 ms on the audio thread: the microphone's tone as the record frame,
// each remote user's audio as its playback-before-mix frame, their mix as the playback frame and
// record plus playback as the mix frame. The microphone and pattern users play pushed media or
// their file instead of their tone when they have one (SenderMedia.h). Each frame goes to the audio
// observer before the engine uses it, so an observer's edit is what is sent, mixed and echoed.
#pragma once

#include <memory>

#include "simengine/LiveCall.h"

namespace velto {
namespace sim {

// Posts the first round, due when the call started.
void startAudio(const std::shared_ptr<LiveCall>& call);

}  // namespace sim
}  // namespace velto
