#include "simengine/PushQueue.h"

#include <algorithm>

namespace velto {
namespace sim {

int PushedAudio::push(const std::int16_t* pcm, std::size_t frames, int rate, int channels,
                      int outRate, int outChannels) {
    // One frame of slack: a chunk converts to one frame more or less than its duration says.
    const std::size_t capacity =
        (static_cast<std::size_t>(outRate) * kCapacityMs / 1000 + 1) * outChannels;
    const std::size_t incoming = (frames * static_cast<std::size_t>(outRate) / rate) * outChannels;
    if (incoming > capacity) {
        return kPushTooLong;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (outRate != rate_ || outChannels != channels_) {
        queued_.clear();
        rate_ = outRate;
        channels_ = outChannels;
    }
    if (queued_.size() + incoming > capacity) {
        return kPushFull;
    }
    converted_.clear();
    converter_.convert(pcm, frames, rate, channels, outRate, outChannels, converted_);
    queued_.insert(queued_.end(), converted_.begin(), converted_.end());
    return kPushDone;
}

void PushedAudio::take(std::int16_t* out, int samples, int channels, int rate) {
    const std::size_t wanted = static_cast<std::size_t>(samples) * channels;
    std::lock_guard<std::mutex> lock(mutex_);
    if (rate != rate_ || channels != channels_) {
        queued_.clear();
        rate_ = rate;
        channels_ = channels;
    }
    const std::size_t have = std::min(wanted, queued_.size());
    std::copy(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(have), out);
    std::fill(out + have, out + wanted, static_cast<std::int16_t>(0));
    queued_.erase(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(have));
}

int PushedVideo::push(std::shared_ptr<const I420Frame> frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queued_.size() >= kCapacityFrames) {
        return kPushFull;
    }
    queued_.push_back(std::move(frame));
    return kPushDone;
}

bool PushedVideo::take(I420Frame& out) {
    std::shared_ptr<const I420Frame> frame;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!queued_.empty()) {
            last_ = std::move(queued_.front());
            queued_.pop_front();
        }
        frame = last_;
    }
    if (frame == nullptr) {
        return false;
    }
    out = *frame;
    return true;
}

std::shared_ptr<PushedAudio> PushedMedia::audio(std::uint32_t uid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = audio_.find(uid);
    return found == audio_.end() ? nullptr : found->second;
}

std::shared_ptr<PushedVideo> PushedMedia::video(std::uint32_t uid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = video_.find(uid);
    return found == video_.end() ? nullptr : found->second;
}

std::shared_ptr<PushedAudio> PushedMedia::audioFor(std::uint32_t uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<PushedAudio>& queue = audio_[uid];
    if (queue == nullptr) {
        queue = std::make_shared<PushedAudio>();
    }
    return queue;
}

std::shared_ptr<PushedVideo> PushedMedia::videoFor(std::uint32_t uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<PushedVideo>& queue = video_[uid];
    if (queue == nullptr) {
        queue = std::make_shared<PushedVideo>();
    }
    return queue;
}

void PushedMedia::end(std::uint32_t uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    audio_.erase(uid);
    video_.erase(uid);
}

void PushedMedia::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    audio_.clear();
    video_.clear();
}

PushedMedia& pushedMedia() {
    static PushedMedia* const instance = new PushedMedia;
    return *instance;
}

}  // namespace sim
}  // namespace velto
