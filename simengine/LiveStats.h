// The call's statistics, every interval (sim.stats.intervalMs) on the notification thread:
// onLocalVideoStats, onRemoteVideoStats per present user, onLocalAudioStats and
// onRemoteAudioStats per present user, computed from what flowed since the last report (frame
// rates from frames, bitrates from bytes, sizes from the last frame).
#pragma once

#include <memory>

#include "sdk/StatsRecords.h"
#include "simengine/LiveCall.h"

namespace velto {
namespace sim {

// Posts the first report, one interval after the call started.
void startStatistics(const std::shared_ptr<LiveCall>& call);

// What onChannelLeft carries for the call as it stands: its length in seconds, bytes sent and
// received, and the users in the channel (the local one included).
rtc::RtcStats callTotals(const LiveCall& call);

}  // namespace sim
}  // namespace velto
