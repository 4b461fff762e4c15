// Calling the attached frame observers: the operation each stream type goes to, and frame
// records filled the way the engine fills them. Engine threads.
#pragma once

#include <cstdint>

#include "sdk/MediaFrames.h"
#include "simengine/I420Frame.h"

namespace velto {
namespace sim {

// Milliseconds on the steady clock, the render time the engine stamps on frames.
std::int64_t renderTimeNowMs();

// The observer's operation for `streamType` (0 record, 1 play, 2 mix, 3 play-before-mix with
// `uid`; 10 capture, 11 render with `uid`); returns its answer.
bool callAudioObserver(media::IAudioFrameObserver& observer, int streamType, std::uint32_t uid,
                       media::EngineAudioFrame& frame);
bool callVideoObserver(media::IVideoFrameObserver& observer, int streamType, std::uint32_t uid,
                       media::EngineVideoFrame& frame);

// A record for 16-bit PCM in `buffer`.
media::EngineAudioFrame audioFrameOf(int streamType, void* buffer, int samples, int channels,
                                     int samplesPerSec);
// A record for the planes of `frame`, which must outlive it.
media::EngineVideoFrame videoFrameOf(int streamType, I420Frame& frame);

}  // namespace sim
}  // namespace velto
