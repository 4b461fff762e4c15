// Starting and ending an engine's live call. Called on the module's threads from joinChannel,
// leaveChannel and release; never waits for an engine thread, since the caller may hold the
// interpreter lock that a producer is waiting for.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "simengine/EngineState.h"

namespace velto {
namespace sim {

// Starts a call on `engine` unless one runs: onJoinChannelSuccess at once, the remote users
// joining and leaving on their schedule, audio, camera and remote video, and statistics.
void startLiveCall(const std::shared_ptr<EngineState>& engine, const std::string& channel,
                   std::uint32_t localUid);

// Ends the call on `engine`, if one runs: nothing new starts, and frames in flight are the last.
// With `channelLeft`, onChannelLeft follows on the notification thread.
void endLiveCall(EngineState& engine, bool channelLeft);

}  // namespace sim
}  // namespace velto
