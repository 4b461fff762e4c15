#include "engine/EngineEvent.h"

#include <initializer_list>

#include "common/compat.h"

namespace pyv {

namespace {

EngineEvent makeEvent(EventKind kind, std::initializer_list<int64_t> values) noexcept {
    EngineEvent event;
    event.kind = kind;
    event.monotonicNs = compat::monotonicNs();
    for (const int64_t value : values) {
        if (event.count == EngineEvent::kMaxValues) {
            break;
        }
        event.values[event.count++] = value;
    }
    return event;
}

}  // namespace

EngineEvent userJoinedEvent(uint32_t uid, int elapsed) noexcept {
    return makeEvent(EventKind::UserJoined, {uid, elapsed});
}

EngineEvent userLeftEvent(uint32_t uid, int reason) noexcept {
    return makeEvent(EventKind::UserLeft, {uid, reason});
}

EngineEvent statsEvent(const velto::rtc::RtcStats& s) noexcept {
    return makeEvent(EventKind::ChannelLeft, {s.duration, s.txBytes, s.rxBytes, s.userCount});
}

EngineEvent statsEvent(const velto::rtc::LocalVideoStats& s) noexcept {
    return makeEvent(EventKind::LocalVideoStats,
                     {s.sentBitrate, s.sentFrameRate, s.encoderOutputFrameRate,
                      s.rendererOutputFrameRate, s.targetBitrate, s.targetFrameRate,
                      s.encodedBitrate, s.encodedFrameWidth, s.encodedFrameHeight,
                      s.encodedFrameCount, s.codecType, s.txPacketLossRate, s.captureFrameRate});
}

EngineEvent statsEvent(const velto::rtc::RemoteVideoStats& s) noexcept {
    return makeEvent(EventKind::RemoteVideoStats,
                     {s.uid, s.delay, s.width, s.height, s.receivedBitrate,
                      s.decoderOutputFrameRate, s.rendererOutputFrameRate, s.packetLossRate,
                      s.rxStreamType, s.totalFrozenTime, s.frozenRate});
}

EngineEvent statsEvent(const velto::rtc::LocalAudioStats& s) noexcept {
    return makeEvent(EventKind::LocalAudioStats,
                     {s.numChannels, s.sentSampleRate, s.sentBitrate, s.txPacketLossRate});
}

EngineEvent statsEvent(const velto::rtc::RemoteAudioStats& s) noexcept {
    return makeEvent(EventKind::RemoteAudioStats,
                     {s.uid, s.quality, s.networkTransportDelay, s.jitterBufferDelay,
                      s.audioLossRate, s.numChannels, s.receivedSampleRate, s.receivedBitrate,
                      s.totalFrozenTime, s.totalActiveTime, s.publishDuration});
}

}  // namespace pyv
