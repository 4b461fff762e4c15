#include "simengine/PcmConvert.h"

#include <algorithm>
#include <cmath>

namespace velto {
namespace sim {

std::int16_t sampleFor(const std::int16_t* frame, int inChannels, int outChannels, int channel) {
    if (inChannels == outChannels) {
        return frame[channel];
    }
    if (inChannels == 1) {
        return frame[0];
    }
    return static_cast<std::int16_t>((static_cast<int>(frame[0]) + frame[1]) / 2);
}

namespace {

std::int16_t between(std::int16_t a, std::int16_t b, double fraction) {
    return static_cast<std::int16_t>(std::lround(a + (b - a) * fraction));
}

}  // namespace

void PcmConverter::convert(const std::int16_t* in, std::size_t frames, int inRate, int inChannels,
                           int outRate, int outChannels, std::vector<std::int16_t>& out) {
    if (inRate != inRate_ || inChannels != inChannels_ || outRate != outRate_ ||
        outChannels != outChannels_) {
        inRate_ = inRate;
        inChannels_ = inChannels;
        outRate_ = outRate;
        outChannels_ = outChannels;
        position_ = 0;
        last_.clear();
    }
    if (frames == 0) {
        return;
    }
    const double step = static_cast<double>(inRate) / outRate;
    const double end = static_cast<double>(frames - 1);
    double t = last_.empty() ? std::max(0.0, position_) : position_;
    for (; t <= end; t += step) {
        for (int c = 0; c < outChannels; ++c) {
            if (t < 0) {
                const std::int16_t next = sampleFor(in, inChannels, outChannels, c);
                out.push_back(between(last_[static_cast<std::size_t>(c)], next, t + 1));
                continue;
            }
            const auto k = static_cast<std::size_t>(t);
            const std::int16_t a = sampleFor(in + k * inChannels, inChannels, outChannels, c);
            const std::int16_t b =
                k + 1 < frames ? sampleFor(in + (k + 1) * inChannels, inChannels, outChannels, c)
                               : a;
            out.push_back(between(a, b, t - static_cast<double>(k)));
        }
    }
    position_ = t - static_cast<double>(frames);
    last_.resize(static_cast<std::size_t>(outChannels));
    for (int c = 0; c < outChannels; ++c) {
        last_[static_cast<std::size_t>(c)] =
            sampleFor(in + (frames - 1) * inChannels, inChannels, outChannels, c);
    }
}

}  // namespace sim
}  // namespace velto
