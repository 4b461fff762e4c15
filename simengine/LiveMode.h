// Whether an engine that joins a channel starts a live call (own media threads producing frames,
// remote users coming and going, statistics) or stays the deterministic harness that only does
// what a test fires. Any thread.
#pragma once

namespace velto {
namespace sim {

constexpr int kLiveFollowEnvironment = -1;

// 1 on, 0 off, kLiveFollowEnvironment: the variable VELTO_SIM_LIVE decides (the default).
void setLiveMode(int mode);
// Decided now: the mode set, else VELTO_SIM_LIVE ("0", "false", "no", "off" turn it off; unset
// or anything else leaves it on).
bool liveWanted();

}  // namespace sim
}  // namespace velto
