// Converting 16-bit interleaved PCM between sample rates (linear interpolation) and between
// mono and stereo (a mono sample goes to both channels; stereo is averaged to mono). Enough for
// test media: no filtering, so downsampling may alias. Plain values; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velto {
namespace sim {

// Sample `channel` of `frame` (inChannels samples) as it reads in outChannels channels.
std::int16_t sampleFor(const std::int16_t* frame, int inChannels, int outChannels, int channel);

// Converts a stream that arrives in chunks, so that consecutive chunks join without a seam.
// A chunk in another input or output format than the last restarts the stream.
class PcmConverter {
  public:
    // Appends `frames` frames of `in` (inRate, inChannels), converted to (outRate,
    // outChannels), to `out`. Rates are positive, channels 1 or 2.
    void convert(const std::int16_t* in, std::size_t frames, int inRate, int inChannels,
                 int outRate, int outChannels, std::vector<std::int16_t>& out);

  private:
    int inRate_ = 0, inChannels_ = 0, outRate_ = 0, outChannels_ = 0;
    // Where the next output frame falls, in input frames from the start of the next chunk;
    // -1 <= position_ < 0 falls between the last chunk's final frame (kept in last_) and it.
    double position_ = 0;
    std::vector<std::int16_t> last_;  // the last chunk's final frame, in output channels
};

}  // namespace sim
}  // namespace velto
