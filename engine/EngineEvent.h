// A participant notification or statistics record as plain numbers, so that it can be copied off
// an engine thread and read later, after the engine's record is gone.
//
// Any thread; building one allocates nothing and never throws.
#pragma once

#include <cstdint>

#include "sdk/StatsRecords.h"

namespace pyv {

// Stable numbers: Python reads them (python/pyveltosdk/_events.py).
enum class EventKind : int32_t {
    UserJoined = 1,   // uid, elapsed ms
    UserLeft = 2,     // uid, reason
    ChannelLeft = 3,  // duration, txBytes, rxBytes, userCount
    LocalVideoStats = 4,
    RemoteVideoStats = 5,
    LocalAudioStats = 6,
    RemoteAudioStats = 7,
};

// Each record's fields in the engine's order, the unused slots left out, widened to 64 bits so
// unsigned fields keep their value.
struct EngineEvent {
    static constexpr int kMaxValues = 13;  // LocalVideoStats, the longest

    EventKind kind = EventKind::UserJoined;
    int64_t monotonicNs = 0;  // time.monotonic()'s clock when the engine reported it
    uint64_t channel = 0;     // the channel epoch it was raised in (engine/ChannelEpochs.h)
    int32_t count = 0;
    int64_t values[kMaxValues] = {};
};

EngineEvent userJoinedEvent(uint32_t uid, int elapsed) noexcept;
EngineEvent userLeftEvent(uint32_t uid, int reason) noexcept;
EngineEvent statsEvent(const velto::rtc::RtcStats& stats) noexcept;
EngineEvent statsEvent(const velto::rtc::LocalVideoStats& stats) noexcept;
EngineEvent statsEvent(const velto::rtc::RemoteVideoStats& stats) noexcept;
EngineEvent statsEvent(const velto::rtc::LocalAudioStats& stats) noexcept;
EngineEvent statsEvent(const velto::rtc::RemoteAudioStats& stats) noexcept;

}  // namespace pyv
