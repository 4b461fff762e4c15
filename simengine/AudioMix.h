// Mixes 10 ms frames of 16-bit PCM in different formats into one frame of the mix's format, as
// the engine's mixer does for playback and for the record-plus-playback mix. Owned by the audio
// thread.
#pragma once

#include <cstdint>
#include <vector>

namespace velto {
namespace sim {

class AudioMixer {
  public:
    // A silent 10 ms frame at `sampleRate` (a multiple of 100) with `channels` (1 or 2).
    AudioMixer(int sampleRate, int channels);

    // Adds a 10 ms frame of `samples` interleaved frames of `channels`, resampled to the mix's
    // rate (nearest sample) and mapped to its channels (mono copied to both, stereo averaged).
    void add(const std::int16_t* pcm, int samples, int channels);
    // The mix, saturated to 16 bits, into `out` (samples() * channels() values).
    void writeTo(std::int16_t* out) const;

    int samples() const { return samples_; }
    int channels() const { return channels_; }

  private:
    int samples_;
    int channels_;
    std::vector<std::int32_t> sum_;
};

}  // namespace sim
}  // namespace velto
