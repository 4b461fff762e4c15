#include "simengine/AudioMix.h"

#include <algorithm>

namespace velto {
namespace sim {

AudioMixer::AudioMixer(int sampleRate, int channels)
    : samples_(sampleRate / 100),
      channels_(channels),
      sum_(static_cast<std::size_t>(samples_) * channels, 0) {}

void AudioMixer::add(const std::int16_t* pcm, int samples, int channels) {
    if (pcm == nullptr || samples <= 0 || channels <= 0) {
        return;
    }
    for (int i = 0; i < samples_; ++i) {
        const int from = static_cast<int>(static_cast<long long>(i) * samples / samples_);
        const std::int16_t* in = pcm + static_cast<std::size_t>(from) * channels;
        std::int32_t* out = sum_.data() + static_cast<std::size_t>(i) * channels_;
        if (channels == channels_) {
            for (int c = 0; c < channels_; ++c) {
                out[c] += in[c];
            }
        } else if (channels == 1) {
            for (int c = 0; c < channels_; ++c) {
                out[c] += in[0];
            }
        } else {
            std::int32_t total = 0;
            for (int c = 0; c < channels; ++c) {
                total += in[c];
            }
            for (int c = 0; c < channels_; ++c) {
                out[c] += total / channels;
            }
        }
    }
}

void AudioMixer::writeTo(std::int16_t* out) const {
    for (std::size_t i = 0; i < sum_.size(); ++i) {
        out[i] = static_cast<std::int16_t>(std::clamp<std::int32_t>(sum_[i], -32768, 32767));
    }
}

}  // namespace sim
}  // namespace velto
