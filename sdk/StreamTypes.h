// The kinds of raw frame the engine hands to the frame observers, one per observer operation.
// Their numbers are what a frame callable receives as its first argument and what the module
// publishes as its Stream* constants; the simulated engine's controls name frames by them too.
#pragma once

namespace velto {
namespace media {

enum StreamType : int {
    StreamAudioRecord = 0,         // IAudioFrameObserver::onStreamAudioRecord
    StreamAudioPlay = 1,           // IAudioFrameObserver::onStreamAudioPlay
    StreamAudioMix = 2,            // IAudioFrameObserver::onStreamAudioMix
    StreamAudioPlayBeforeMix = 3,  // IAudioFrameObserver::onStreamAudioPlayBeforeMix
    StreamVideoCap = 10,           // IVideoFrameObserver::onStreamVideoCap
    StreamVideoRender = 11,        // IVideoFrameObserver::onStreamVideoRender
};

}  // namespace media
}  // namespace velto
