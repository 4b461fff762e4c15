// Fires the event handler's notifications on engine threads at a test's request. Called on a
// test's thread; the handler is called on the chosen engine thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velto {
namespace sim {

// Record for onFirstRemoteVideoFrame, whose width and height do not fit the uid/arg pair.
struct FirstFrameSize {
    int32_t width;
    int32_t height;
};

// Results of fireNotification besides 0.
constexpr int kFireNoHandler = -1;
constexpr int kFireTimedOut = -2;
constexpr int kFireUnknownEvent = -3;
constexpr int kBadThreadIndex = -5;

// Calls the handler operation named `event` on engine thread `thread` and waits up to
// `timeoutMs` (negative: no limit) for it to return. `record` holds the raw bytes of the record
// the notification carries (stats records, FirstFrameSize), copied into an engine-owned record
// and zero-filled when short; it is ignored by the other notifications.
int fireNotification(const char* event, uint32_t uid, int arg, const void* record,
                     std::size_t recordSize, int thread, int timeoutMs);

}  // namespace sim
}  // namespace velto
