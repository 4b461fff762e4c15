// Hands frames to the attached frame observers, and asks them their options, on engine threads
// at a test's request. Called on a test's thread; the observers are called on the chosen engine
// thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/StreamTypes.h"

namespace velto {
namespace sim {

// Results of the deliveries besides the observer's answer (1 or 0).
constexpr int kDeliverNoObserver = -1;
constexpr int kDeliverTimedOut = -2;
constexpr int kDeliverBadStreamType = -3;
constexpr int kDeliverCanaryChanged = -4;
// kBadThreadIndex (-5) as for notifications.

// One plane (or audio buffer) of a frame as the test gave it.
struct FrameBytes {
    void* data;  // may be null
    std::size_t length;
};

int deliverAudio(int streamType, uint32_t uid, int samples, int bytesPerSample, int channels,
                 int samplesPerSec, FrameBytes buffer, int thread, int timeoutMs);
int deliverVideo(int streamType, uint32_t uid, int width, int height, FrameBytes y, FrameBytes u,
                 FrameBytes v, int thread, int timeoutMs);

// Fills out[0..1] with audioOption1..2 and out[2..9] with videoOption1..8 (bools as 0/1).
// Returns 0, -1 when an observer is missing (its entries stay 0) or -2 on timeout.
int queryObserverOptions(int* out, int timeoutMs);

}  // namespace sim
}  // namespace velto
