#include "simengine/SyntheticMedia.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace velto {
namespace sim {

namespace {

// Digits 0-9 in a 3x5 grid, one row per 3 bits, most significant bit on the left.
constexpr std::uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

void fillRect(I420Frame& f, int x0, int y0, int w, int h, std::uint8_t value) {
    const int x1 = std::min(f.width, x0 + w);
    const int y1 = std::min(f.height, y0 + h);
    for (int y = std::max(0, y0); y < y1; ++y) {
        std::uint8_t* row = f.y.data() + static_cast<std::size_t>(y) * f.width;
        for (int x = std::max(0, x0); x < x1; ++x) {
            row[x] = value;
        }
    }
}

// Draws `text` (digits) with its top left corner at (x0, y0), each grid cell `scale` pixels,
// white on a black box.
void drawDigits(I420Frame& f, const std::string& text, int x0, int y0, int scale) {
    const int advance = 4 * scale;
    fillRect(f, x0 - scale, y0 - scale, static_cast<int>(text.size()) * advance + scale, 7 * scale,
             16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::uint8_t* glyph = kDigits[text[i] - '0'];
        const int gx = x0 + static_cast<int>(i) * advance;
        for (int row = 0; row < 5; ++row) {
            for (int col = 0; col < 3; ++col) {
                if (glyph[row] & (4 >> col)) {
                    fillRect(f, gx + col * scale, y0 + row * scale, scale, scale, 235);
                }
            }
        }
    }
}

}  // namespace

void drawTestPattern(I420Frame& f, std::uint32_t uid, std::uint32_t frameNumber) {
    const int w = f.width;
    const int h = f.height;
    const int shift = static_cast<int>(frameNumber % 64u) * 2;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = f.y.data() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            row[x] = static_cast<std::uint8_t>(48 + ((x + y + shift) & 63) * 2);
        }
    }
    const int barWidth = std::max(2, w / 16);
    const int barX =
        static_cast<int>((frameNumber * static_cast<std::uint32_t>(std::max(1, w / 40))) %
                         static_cast<std::uint32_t>(w));
    fillRect(f, barX, 0, barWidth, h, 220);

    const int scale = std::max(1, h / 48);
    drawDigits(f, std::to_string(uid), 2 * scale, 2 * scale, scale);
    drawDigits(f, std::to_string(frameNumber), 2 * scale, 9 * scale, scale);

    const int cell = w / kPatternCodeCells;
    if (cell > 0) {
        const std::uint64_t code = (static_cast<std::uint64_t>(uid) << 32) | frameNumber;
        const int rows = std::max(1, h / 48);
        for (int i = 0; i < kPatternCodeCells; ++i) {
            const bool one = (code >> (kPatternCodeCells - 1 - i)) & 1u;
            fillRect(f, i * cell, h - rows, cell, rows, one ? kCodeOne : kCodeZero);
        }
    }

    // A tint of its own per sender, shading across the frame.
    const int baseU = 128 + static_cast<int>((uid * 37u) % 97u) - 48;
    const int baseV = 128 + static_cast<int>((uid * 91u) % 97u) - 48;
    const int cw = w / 2;
    const int ch = h / 2;
    for (int y = 0; y < ch; ++y) {
        for (int x = 0; x < cw; ++x) {
            const std::size_t at = static_cast<std::size_t>(y) * cw + x;
            f.u[at] = static_cast<std::uint8_t>(baseU + x * 32 / std::max(1, cw) - 16);
            f.v[at] = static_cast<std::uint8_t>(baseV + y * 32 / std::max(1, ch) - 16);
        }
    }
}

void fillTone(std::int16_t* out, int samples, int channels, int sampleRate, double pitchHz,
              std::uint64_t firstSample) {
    constexpr double kTwoPi = 6.283185307179586;
    const std::uint64_t perSecond = static_cast<std::uint64_t>(std::max(1, sampleRate));
    const std::uint64_t markSamples = perSecond / kToneMarkDivisor;
    for (int i = 0; i < samples; ++i) {
        const std::uint64_t at = firstSample + static_cast<std::uint64_t>(i);
        // Whole cycles are dropped before the sine, so the phase stays exact however long the
        // call runs.
        const double n = static_cast<double>(at);
        const double cycles = std::fmod(pitchHz * n / sampleRate, 1.0);
        const double peak = at % perSecond < markSamples ? 2.0 * kToneAmplitude : kToneAmplitude;
        const auto value = static_cast<std::int16_t>(std::lround(peak * std::sin(kTwoPi * cycles)));
        for (int c = 0; c < channels; ++c) {
            out[i * channels + c] = value;
        }
    }
}

}  // namespace sim
}  // namespace velto
