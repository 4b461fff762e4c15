#include "simengine/ObserverCalls.h"

#include <chrono>

#include "simengine/FrameDelivery.h"

namespace velto {
namespace sim {

std::int64_t renderTimeNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool callAudioObserver(media::IAudioFrameObserver& observer, int streamType, std::uint32_t uid,
                       media::EngineAudioFrame& frame) {
    switch (streamType) {
        case media::StreamAudioRecord:
            return observer.onStreamAudioRecord(frame);
        case media::StreamAudioPlay:
            return observer.onStreamAudioPlay(frame);
        case media::StreamAudioMix:
            return observer.onStreamAudioMix(frame);
        default:
            return observer.onStreamAudioPlayBeforeMix(uid, frame);
    }
}

bool callVideoObserver(media::IVideoFrameObserver& observer, int streamType, std::uint32_t uid,
                       media::EngineVideoFrame& frame) {
    return streamType == media::StreamVideoCap ? observer.onStreamVideoCap(frame)
                                       : observer.onStreamVideoRender(uid, frame);
}

media::EngineAudioFrame audioFrameOf(int streamType, void* buffer, int samples, int channels,
                                     int samplesPerSec) {
    media::EngineAudioFrame frame{};
    frame.type = streamType;
    frame.samples = samples;
    frame.bytesPerSample = 2;
    frame.channels = channels;
    frame.samplesPerSec = samplesPerSec;
    frame.buffer = buffer;
    frame.renderTimeMs = renderTimeNowMs();
    return frame;
}

media::EngineVideoFrame videoFrameOf(int streamType, I420Frame& f) {
    media::EngineVideoFrame frame{};
    frame.type = streamType;
    frame.width = f.width;
    frame.height = f.height;
    frame.yStride = f.width;
    frame.uStride = f.width / 2;
    frame.vStride = f.width / 2;
    frame.yPlane = f.y.data();
    frame.uPlane = f.u.data();
    frame.vPlane = f.v.data();
    frame.rotation = 0;
    frame.renderTimeMs = renderTimeNowMs();
    return frame;
}

}  // namespace sim
}  // namespace velto
