// Records that the module fills and hands to the engine by address. The engine reads them only
// for the duration of the call. Layouts are the engine's own; every offset is checked at compile
// time so that a wrong declaration fails to build instead of corrupting memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velto {
namespace rtc {

class IRtcEngineEventHandler;

// Passed to IRtcEngine::initialize.
struct EngineContext {
    IRtcEngineEventHandler* eventHandler;
    const char* initText;  // NUL-terminated UTF-8; valid only during initialize
    void* extraPointer;
    uint32_t extraWord;
};
static_assert(offsetof(EngineContext, eventHandler) == 0, "EngineContext layout");
static_assert(offsetof(EngineContext, initText) == 8, "EngineContext layout");
static_assert(offsetof(EngineContext, extraPointer) == 16, "EngineContext layout");
static_assert(offsetof(EngineContext, extraWord) == 24, "EngineContext layout");
static_assert(sizeof(EngineContext) == 32 && alignof(EngineContext) == 8, "EngineContext size");

constexpr std::size_t kCanvasLabelSize = 68;

// Binds a view handle to a user's video (setupLocalView, setupRemoteView).
struct VideoCanvas {
    int64_t view;  // opaque view handle, 0 = none
    int32_t mode;
    char label[kCanvasLabelSize];  // NUL-terminated
    uint32_t uid;
    int64_t reserved;  // pointer-sized
    int32_t reserved2;
};
static_assert(offsetof(VideoCanvas, view) == 0, "VideoCanvas layout");
static_assert(offsetof(VideoCanvas, mode) == 8, "VideoCanvas layout");
static_assert(offsetof(VideoCanvas, label) == 12, "VideoCanvas layout");
static_assert(offsetof(VideoCanvas, uid) == 80, "VideoCanvas layout");
static_assert(offsetof(VideoCanvas, reserved) == 88, "VideoCanvas layout");
static_assert(offsetof(VideoCanvas, reserved2) == 96, "VideoCanvas layout");
static_assert(sizeof(VideoCanvas) == 104 && alignof(VideoCanvas) == 8, "VideoCanvas size");

// Passed to IRtcEngine::setVideoConfiguration: nine 32-bit fields, no gaps.
struct VideoConfiguration {
    int32_t width;
    int32_t height;
    int32_t frameRate;
    int32_t minFrameRate;
    int32_t bitrate;
    int32_t minBitrate;
    int32_t orientationMode;
    int32_t degradationPreference;
    int32_t mirrorMode;
};
static_assert(offsetof(VideoConfiguration, width) == 0, "VideoConfiguration layout");
static_assert(offsetof(VideoConfiguration, height) == 4, "VideoConfiguration layout");
static_assert(offsetof(VideoConfiguration, frameRate) == 8, "VideoConfiguration layout");
static_assert(offsetof(VideoConfiguration, minFrameRate) == 12, "VideoConfiguration layout");
static_assert(offsetof(VideoConfiguration, bitrate) == 16, "VideoConfiguration layout");
static_assert(offsetof(VideoConfiguration, minBitrate) == 20, "VideoConfiguration layout");
static_assert(offsetof(VideoConfiguration, orientationMode) == 24, "VideoConfiguration layout");
static_assert(offsetof(VideoConfiguration, degradationPreference) == 28,
              "VideoConfiguration layout");
static_assert(offsetof(VideoConfiguration, mirrorMode) == 32, "VideoConfiguration layout");
static_assert(sizeof(VideoConfiguration) == 36 && alignof(VideoConfiguration) == 4,
              "VideoConfiguration size");

}  // namespace rtc
}  // namespace velto
