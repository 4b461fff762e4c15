// A WAV file played as a sender's audio: 16-bit PCM, any rate, mono or stereo, read whole when
// the call starts and converted, 10 ms at a time, to whatever format the sender plays in. Once
// or looped; after its end a file played once gives silence. Opened on the thread that joins,
// then read by the audio thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velto {
namespace sim {

class WavSource {
  public:
    // The file at `path`, or nullptr with `error` saying what is wrong ("no such file",
    // "not a WAV file", "24-bit samples; only 16-bit PCM plays", ...).
    static std::unique_ptr<WavSource> open(const std::string& path, bool loop, std::string& error);

    // Writes the next `samples` frames in (`rate`, `channels`) to `out`.
    void read(std::int16_t* out, int samples, int channels, int rate);

    int rate() const { return rate_; }
    int channels() const { return channels_; }
    std::size_t frames() const { return pcm_.size() / static_cast<std::size_t>(channels_); }

  private:
    WavSource(std::vector<std::int16_t> pcm, int rate, int channels, bool loop)
        : pcm_(std::move(pcm)), rate_(rate), channels_(channels), loop_(loop) {}

    std::vector<std::int16_t> pcm_;  // interleaved, as in the file
    int rate_;
    int channels_;
    bool loop_;
    double position_ = 0;  // in the file's frames
};

}  // namespace sim
}  // namespace velto
