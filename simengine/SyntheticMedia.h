// What the simulated camera, microphone and remote users produce: a moving test pattern that
// names its sender and frame number, and a steady tone. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "simengine/I420Frame.h"

namespace velto {
namespace sim {

// Peak of every synthetic tone, a quarter of full scale.
constexpr std::int16_t kToneAmplitude = 8192;
// Cells of the code in the bottom rows of the pattern: 32 bits uid, then 32 bits frame number.
constexpr int kPatternCodeCells = 64;
constexpr std::uint8_t kCodeOne = 235;
constexpr std::uint8_t kCodeZero = 16;
// The tick of a tone lasts 1/kToneMarkDivisor of a second (20 ms: two frames of 10 ms, so a
// frame the engine skips leaves half of it).
constexpr int kToneMarkDivisor = 50;

// Draws the pattern of `uid` (0 for the local camera) for `frameNumber` into `frame` (already
// sized): diagonal stripes and a bar that move with the frame number, the uid and the frame
// number in digits at the top left, a tint of its own per uid, and in the bottom rows the code:
// cell i spans width/64 pixels and is kCodeOne or kCodeZero for bit 63-i of
// (uid << 32 | frameNumber). Frames narrower than 64 pixels carry no code.
void drawTestPattern(I420Frame& frame, std::uint32_t uid, std::uint32_t frameNumber);

// Writes `samples` interleaved frames of a sine tone at `pitchHz` into `out`, every channel the
// same, continuing a tone that started `firstSample` samples ago (so consecutive frames join).
// The first kToneMarkDivisor-th of every second of the tone is twice as loud: a tick that dates
// the audio on the call's clock, as the pattern's frame number dates the video, so a recording's
// audio and video can be lined up (a tick of silence would look like a lost frame).
void fillTone(std::int16_t* out, int samples, int channels, int sampleRate, double pitchHz,
              std::uint64_t firstSample);

}  // namespace sim
}  // namespace velto
