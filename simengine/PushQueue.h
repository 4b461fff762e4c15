// Media a program pushes into the call for one sender (the local user, uid 0, or a scripted
// pattern user), played instead of its file, tone or pattern once anything was pushed, until
// the push ends. The engine paces it: the audio thread takes 10 ms a round, the sender's video
// thread one frame a tick. The queues are bounded; a push that does not fit is refused and the
// pusher tries again later. Pushed by interpreter threads, taken by engine threads; locks
// internally, never while calling anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "simengine/I420Frame.h"
#include "simengine/PcmConvert.h"

namespace velto {
namespace sim {

// Results of a push.
constexpr int kPushDone = 0;
constexpr int kPushFull = -2;  // no room now; try again once some has played
constexpr int kPushTooLong = -3;

class PushedAudio {
  public:
    // At most this much audio waits to play.
    static constexpr int kCapacityMs = 1000;

    // Queues `frames` frames (rate, channels), converted to the sender's format (outRate,
    // outChannels) at this moment.
    int push(const std::int16_t* pcm, std::size_t frames, int rate, int channels, int outRate,
             int outChannels);
    // The next `samples` frames in (rate, channels); silence where too little was pushed. Audio
    // queued for another format (the sender's format changed) is dropped.
    void take(std::int16_t* out, int samples, int channels, int rate);

  private:
    std::mutex mutex_;
    PcmConverter converter_;
    std::deque<std::int16_t> queued_;
    int rate_ = 0;  // the format of queued_
    int channels_ = 0;
    std::vector<std::int16_t> converted_;
};

class PushedVideo {
  public:
    static constexpr std::size_t kCapacityFrames = 8;

    int push(std::shared_ptr<const I420Frame> frame);
    // The next pushed frame, or the last one again while none waits; false (and `out` left
    // alone) while none was ever pushed.
    bool take(I420Frame& out);

  private:
    std::mutex mutex_;
    std::deque<std::shared_ptr<const I420Frame>> queued_;
    std::shared_ptr<const I420Frame> last_;
};

// Every sender's pushed media, process-wide: a push names a sender by uid, and the engine's
// producers look it up on every round. nullptr while nothing was pushed for that sender.
class PushedMedia {
  public:
    std::shared_ptr<PushedAudio> audio(std::uint32_t uid) const;
    std::shared_ptr<PushedVideo> video(std::uint32_t uid) const;
    // The sender's queue, made on first use.
    std::shared_ptr<PushedAudio> audioFor(std::uint32_t uid);
    std::shared_ptr<PushedVideo> videoFor(std::uint32_t uid);
    // Ends the push for `uid`: the sender plays its own media again.
    void end(std::uint32_t uid);
    void clear();

  private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<PushedAudio>> audio_;
    std::map<std::uint32_t, std::shared_ptr<PushedVideo>> video_;
};

// Never destroyed: detached engine threads may look it up while the process exits.
PushedMedia& pushedMedia();

}  // namespace sim
}  // namespace velto
