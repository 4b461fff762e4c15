// Statistics records the engine passes to the event handler by reference, valid for the duration
// of the notification. Slots named unused* are never read by the module.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velto {
namespace rtc {

// Passed to onChannelLeft.
struct RtcStats {
    uint32_t duration;
    uint32_t txBytes;
    uint32_t rxBytes;
    uint32_t userCount;
};

struct LocalVideoStats {
    int32_t sentBitrate;
    int32_t sentFrameRate;
    int32_t encoderOutputFrameRate;
    int32_t rendererOutputFrameRate;
    int32_t targetBitrate;
    int32_t targetFrameRate;
    int32_t unused1;
    int32_t encodedBitrate;
    int32_t encodedFrameWidth;
    int32_t encodedFrameHeight;
    int32_t encodedFrameCount;
    int32_t codecType;
    uint16_t txPacketLossRate;
    uint16_t unused2;
    int32_t captureFrameRate;
    int32_t unused3;
};
static_assert(offsetof(LocalVideoStats, sentBitrate) == 0, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, sentFrameRate) == 4, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, encoderOutputFrameRate) == 8, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, rendererOutputFrameRate) == 12, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, targetBitrate) == 16, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, targetFrameRate) == 20, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, unused1) == 24, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, encodedBitrate) == 28, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, encodedFrameWidth) == 32, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, encodedFrameHeight) == 36, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, encodedFrameCount) == 40, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, codecType) == 44, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, txPacketLossRate) == 48, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, unused2) == 50, "LocalVideoStats layout");
static_assert(offsetof(LocalVideoStats, captureFrameRate) == 52, "LocalVideoStats layout");
static_assert(sizeof(LocalVideoStats) == 60, "LocalVideoStats size");

struct RemoteVideoStats {
    uint32_t uid;
    int32_t delay;
    int32_t width;
    int32_t height;
    int32_t receivedBitrate;
    int32_t decoderOutputFrameRate;
    int32_t rendererOutputFrameRate;
    int32_t packetLossRate;
    int32_t rxStreamType;
    int32_t totalFrozenTime;
    int32_t frozenRate;
    int32_t unused1;
};
static_assert(offsetof(RemoteVideoStats, uid) == 0, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, delay) == 4, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, width) == 8, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, height) == 12, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, receivedBitrate) == 16, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, decoderOutputFrameRate) == 20, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, rendererOutputFrameRate) == 24, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, packetLossRate) == 28, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, rxStreamType) == 32, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, totalFrozenTime) == 36, "RemoteVideoStats layout");
static_assert(offsetof(RemoteVideoStats, frozenRate) == 40, "RemoteVideoStats layout");
static_assert(sizeof(RemoteVideoStats) == 48, "RemoteVideoStats size");

struct LocalAudioStats {
    int32_t numChannels;
    int32_t sentSampleRate;
    int32_t sentBitrate;
    uint16_t txPacketLossRate;
    uint16_t unused1;
    int32_t unused2;
};
static_assert(offsetof(LocalAudioStats, numChannels) == 0, "LocalAudioStats layout");
static_assert(offsetof(LocalAudioStats, sentSampleRate) == 4, "LocalAudioStats layout");
static_assert(offsetof(LocalAudioStats, sentBitrate) == 8, "LocalAudioStats layout");
static_assert(offsetof(LocalAudioStats, txPacketLossRate) == 12, "LocalAudioStats layout");
static_assert(sizeof(LocalAudioStats) == 20, "LocalAudioStats size");

struct RemoteAudioStats {
    uint32_t uid;
    int32_t quality;
    int32_t networkTransportDelay;
    int32_t jitterBufferDelay;
    int32_t audioLossRate;
    int32_t numChannels;
    int32_t receivedSampleRate;
    int32_t receivedBitrate;
    int32_t totalFrozenTime;
    int32_t unused1;
    int32_t totalActiveTime;
    int32_t publishDuration;
    int32_t unused2;
};
static_assert(offsetof(RemoteAudioStats, uid) == 0, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, quality) == 4, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, networkTransportDelay) == 8, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, jitterBufferDelay) == 12, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, audioLossRate) == 16, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, numChannels) == 20, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, receivedSampleRate) == 24, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, receivedBitrate) == 28, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, totalFrozenTime) == 32, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, unused1) == 36, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, totalActiveTime) == 40, "RemoteAudioStats layout");
static_assert(offsetof(RemoteAudioStats, publishDuration) == 44, "RemoteAudioStats layout");
static_assert(sizeof(RemoteAudioStats) == 52, "RemoteAudioStats size");

}  // namespace rtc
}  // namespace velto
