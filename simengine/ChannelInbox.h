// What arrived from one member of the channel and waits for the program: the newest video frame
// (one slot: a frame not yet taken when the next arrives is replaced, so a slow render callback
// sees fewer, newer frames) and a short queue of 10 ms audio frames (oldest dropped when full,
// so latency stays bounded). The network thread puts, the render and audio threads take; one
// mutex each, held only to swap or move buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "simengine/ChannelWire.h"
#include "simengine/I420Frame.h"

namespace velto {
namespace sim {

class PeerInbox {
  public:
    // Audio frames kept at most: 60 ms.
    static constexpr std::size_t kAudioDepth = 6;

    // Network thread: swaps `frame` in; `frame` comes back holding a spare buffer. True when
    // the slot was empty, so a render task must be posted; false when a waiting frame was
    // replaced.
    bool putVideo(I420Frame& frame, std::uint64_t sentNs) {
        std::lock_guard<std::mutex> lock(videoMutex_);
        std::swap(video_, frame);
        videoSentNs_ = sentNs;
        if (hasVideo_) {
            return false;
        }
        hasVideo_ = true;
        return true;
    }
    // Render thread: swaps the waiting frame into `into` (whose buffer becomes the spare).
    bool takeVideo(I420Frame& into, std::uint64_t& sentNs) {
        std::lock_guard<std::mutex> lock(videoMutex_);
        if (!hasVideo_) {
            return false;
        }
        std::swap(video_, into);
        sentNs = videoSentNs_;
        hasVideo_ = false;
        return true;
    }

    // Network thread. False when the oldest frame waiting was dropped to make room.
    bool putAudio(const WireAudioFrame& frame) {
        std::lock_guard<std::mutex> lock(audioMutex_);
        const bool full = audio_.size() >= kAudioDepth;
        if (full) {
            spareAudio_ = std::move(audio_.front());
            audio_.pop_front();
        }
        WireAudioFrame copy = std::move(spareAudio_);
        copy.sampleRate = frame.sampleRate;
        copy.channels = frame.channels;
        copy.samples = frame.samples;
        copy.sequence = frame.sequence;
        copy.sentNs = frame.sentNs;
        copy.pcm.assign(frame.pcm.begin(), frame.pcm.end());
        audio_.push_back(std::move(copy));
        return !full;
    }
    // Audio thread: the oldest frame waiting, swapped into `into`.
    bool takeAudio(WireAudioFrame& into) {
        std::lock_guard<std::mutex> lock(audioMutex_);
        if (audio_.empty()) {
            return false;
        }
        std::swap(into, audio_.front());
        spareAudio_ = std::move(audio_.front());
        audio_.pop_front();
        return true;
    }
    // Audio thread, while remote audio is muted: what waits is never played.
    void clearAudio() {
        std::lock_guard<std::mutex> lock(audioMutex_);
        audio_.clear();
    }

  private:
    std::mutex videoMutex_;
    I420Frame video_;
    std::uint64_t videoSentNs_ = 0;
    bool hasVideo_ = false;

    std::mutex audioMutex_;
    std::deque<WireAudioFrame> audio_;
    WireAudioFrame spareAudio_;
};

}  // namespace sim
}  // namespace velto
