// Raw frame records and the two frame observer interfaces. The engine owns every frame; a frame
// is valid only for the duration of the observer call that carries it, on the engine's media
// thread that makes the call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velto {
namespace media {

struct EngineAudioFrame {
    int32_t type;
    int32_t samples;  // per channel
    int32_t bytesPerSample;
    int32_t channels;
    int32_t samplesPerSec;
    void* buffer;  // samples * bytesPerSample * channels bytes
    int64_t renderTimeMs;
};
static_assert(offsetof(EngineAudioFrame, type) == 0, "EngineAudioFrame layout");
static_assert(offsetof(EngineAudioFrame, samples) == 4, "EngineAudioFrame layout");
static_assert(offsetof(EngineAudioFrame, bytesPerSample) == 8, "EngineAudioFrame layout");
static_assert(offsetof(EngineAudioFrame, channels) == 12, "EngineAudioFrame layout");
static_assert(offsetof(EngineAudioFrame, samplesPerSec) == 16, "EngineAudioFrame layout");
static_assert(offsetof(EngineAudioFrame, buffer) == 24, "EngineAudioFrame layout");
static_assert(offsetof(EngineAudioFrame, renderTimeMs) == 32, "EngineAudioFrame layout");
static_assert(sizeof(EngineAudioFrame) == 40, "EngineAudioFrame size");

// I420: Y at full resolution, U and V at a quarter of its size each.
struct EngineVideoFrame {
    int32_t type;
    int32_t width;
    int32_t height;
    int32_t yStride;
    int32_t uStride;
    int32_t vStride;
    void* yPlane;
    void* uPlane;
    void* vPlane;
    int32_t rotation;
    int64_t renderTimeMs;
};
static_assert(offsetof(EngineVideoFrame, type) == 0, "EngineVideoFrame layout");
static_assert(offsetof(EngineVideoFrame, width) == 4, "EngineVideoFrame layout");
static_assert(offsetof(EngineVideoFrame, height) == 8, "EngineVideoFrame layout");
static_assert(offsetof(EngineVideoFrame, yStride) == 12, "EngineVideoFrame layout");
static_assert(offsetof(EngineVideoFrame, yPlane) == 24, "EngineVideoFrame layout");
static_assert(offsetof(EngineVideoFrame, uPlane) == 32, "EngineVideoFrame layout");
static_assert(offsetof(EngineVideoFrame, vPlane) == 40, "EngineVideoFrame layout");

// Both observer interfaces have no virtual destructor: the engine never deletes an observer.
class IAudioFrameObserver {
  public:
    virtual bool onStreamAudioRecord(EngineAudioFrame& frame) = 0;
    virtual bool onStreamAudioPlay(EngineAudioFrame& frame) = 0;
    virtual bool onStreamAudioMix(EngineAudioFrame& frame) = 0;
    virtual bool onStreamAudioPlayBeforeMix(unsigned int uid, EngineAudioFrame& frame) = 0;
    virtual bool audioOption1() = 0;
    virtual bool audioOption2() = 0;

  protected:
    ~IAudioFrameObserver() = default;
};

class IVideoFrameObserver {
  public:
    virtual bool onStreamVideoCap(EngineVideoFrame& frame) = 0;
    virtual bool videoOption1() = 0;
    virtual bool onStreamVideoRender(unsigned int uid, EngineVideoFrame& frame) = 0;
    virtual int videoOption2() = 0;
    virtual bool videoOption3() = 0;
    virtual bool videoOption4() = 0;
    virtual bool videoOption5() = 0;
    virtual int videoOption6() = 0;
    virtual bool videoOption7() = 0;
    virtual bool videoOption8() = 0;

  protected:
    ~IVideoFrameObserver() = default;
};

}  // namespace media
}  // namespace velto
