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

// joinChannel's result when the uid is already in the channel (in another process).
constexpr int kJoinRefused = -17;

// Starts a call on `engine` unless one runs: onJoinChannelSuccess at once, the remote users
// joining and leaving on their schedule, audio, camera and remote video, and statistics. Unless
// the network is off, the call also joins the channel shared by this user's processes (see
// ChannelNetwork), as `localUid` or, for 0, a uid assigned there. Returns 0, or kJoinRefused
// when `localUid` is taken in the channel: one line on stderr says so and no call starts. A
// rendezvous folder that cannot be used is reported and the call stays in this process.
int startLiveCall(const std::shared_ptr<EngineState>& engine, const std::string& channel,
                  std::uint32_t localUid);

// Ends the call on `engine`, if one runs: nothing new starts, and frames in flight are the last.
// With `channelLeft`, onChannelLeft follows on the notification thread.
void endLiveCall(EngineState& engine, bool channelLeft);

}  // namespace sim
}  // namespace velto
