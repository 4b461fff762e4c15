// A stand-in engine media thread for the leak checks (tools/frame_leaks.py): calls the module's
// frame observer, as the engine was given it, for `count` frames of one stream type in a loop on
// a new std::thread, then joins it. Compiled at run time and called through ctypes.CDLL, so the
// GIL is free while it runs. Each call is a new thread, which also exercises the thread state
// that every engine thread keeps and gives back when it ends.
#include <cstdint>
#include <thread>

#include "sdk/MediaFrames.h"

using velto::media::EngineAudioFrame;
using velto::media::EngineVideoFrame;
using velto::media::IAudioFrameObserver;
using velto::media::IVideoFrameObserver;

namespace {

// Stream types as the module numbers them.
enum : int { kRecord = 0, kPlay = 1, kMix = 2, kPlayBeforeMix = 3, kCapture = 10, kRender = 11 };

template <typename Body>
void onNewThread(Body body) {
    std::thread thread(body);
    thread.join();
}

}  // namespace

extern "C" {

// `buffer` holds samples * bytesPerSample * channels bytes. Returns -1 for a non-audio type.
int fd_audio(void* observer, int streamType, uint32_t uid, void* buffer, int32_t samples,
             int32_t bytesPerSample, int32_t channels, int32_t samplesPerSec, int64_t count) {
    if (streamType < kRecord || streamType > kPlayBeforeMix) {
        return -1;
    }
    auto* target = static_cast<IAudioFrameObserver*>(observer);
    onNewThread([&] {
        for (int64_t i = 0; i < count; ++i) {
            // Filled again for every frame, as an engine hands out a fresh record each time.
            EngineAudioFrame frame{streamType, samples, bytesPerSample, channels, samplesPerSec,
                                   buffer,     i};
            switch (streamType) {
                case kRecord:
                    target->onStreamAudioRecord(frame);
                    break;
                case kPlay:
                    target->onStreamAudioPlay(frame);
                    break;
                case kMix:
                    target->onStreamAudioMix(frame);
                    break;
                default:
                    target->onStreamAudioPlayBeforeMix(uid, frame);
            }
        }
    });
    return 0;
}

// I420 planes of width * height and a quarter of that each. Returns -1 for a non-video type.
int fd_video(void* observer, int streamType, uint32_t uid, void* y, void* u, void* v, int32_t width,
             int32_t height, int64_t count) {
    if (streamType != kCapture && streamType != kRender) {
        return -1;
    }
    auto* target = static_cast<IVideoFrameObserver*>(observer);
    onNewThread([&] {
        for (int64_t i = 0; i < count; ++i) {
            const int32_t chroma = (width + 1) / 2;
            EngineVideoFrame frame{streamType, width, height, width, chroma, chroma, y, u, v, 0, i};
            if (streamType == kCapture) {
                target->onStreamVideoCap(frame);
            } else {
                target->onStreamVideoRender(uid, frame);
            }
        }
    });
    return 0;
}

}  // extern "C"
