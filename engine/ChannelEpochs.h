// Which engine session and which channel a notification belongs to. Every engine the module
// starts gets its own EngineSession as its event handler, and every channel joined, left or
// ended with its engine moves the process to a new channel epoch. A notification is stamped with
// the epoch of the channel it was raised in: the current one for the current engine; the one a
// leave was waiting for when an onChannelLeft answers it (the engine answers leaves in order, and
// soon); the epoch an engine ended in when it arrives late from a released engine. Event queues
// bound to a channel take only its epoch, and the view books tell a late notification of an earlier
// channel from one of the current channel.
//
// Threads: interpreter threads (holding the GIL) call the session and channel steps; engine
// threads call stamp(). One mutex guards everything here; it is a leaf, never held while taking
// another lock of the module or the GIL.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

#include "engine/EngineEvent.h"

namespace pyv {

class EngineSession;

// Where a notification belongs: its channel epoch, and whether a channel was joined after it
// (then the notification is late and must not touch the books of the channel joined since).
struct ChannelStamp {
    uint64_t epoch = 0;
    bool late = false;
};

class ChannelEpochs {
  public:
    static ChannelEpochs& instance();

    // The epoch of the channel joined now, or of the next one while none is.
    uint64_t current() const;

    // --- interpreter threads ---
    // `session` becomes the current engine's handler; a new epoch starts.
    void sessionStarted(EngineSession& session);
    // The current engine is released: its late notifications keep the epoch it ended in.
    void sessionEnded();
    // Before the engine is asked to join a channel.
    void channelJoined();
    // After the engine accepted leaveChannel: the channel's own onChannelLeft is still to come
    // and is stamped with the channel's epoch, whenever it arrives.
    void channelLeft();

    // --- engine threads ---
    // Stamps a notification of `session`; an onChannelLeft consumes the leave it answers.
    ChannelStamp stamp(EngineSession& session, EventKind kind);

    // fork(): held across it by the forking thread (engine threads take it).
    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }

  private:
    ChannelEpochs() = default;
    bool isLate(uint64_t epoch) const { return epoch < lastJoinEpoch_; }

    mutable std::mutex mutex_;
    EngineSession* current_ = nullptr;
    uint64_t epoch_ = 1;
    uint64_t lastJoinEpoch_ = 0;  // the epoch of the latest joinChannel, 0 before any
};

// What ChannelEpochs keeps per engine session, under its mutex.
struct SessionBooks {
    using Clock = std::chrono::steady_clock;
    // An engine that never answers a leave (it was in no call) is not waited for past expires.
    struct Leave {
        uint64_t epoch;
        Clock::time_point expires;
    };

    // The epoch this session's notifications belong to once it is no longer current.
    uint64_t finalEpoch = 0;
    // The channel joined now in this session, until left.
    bool joined = false;
    uint64_t joinEpoch = 0;
    // Leaves whose onChannelLeft is still to come, oldest first; bounded.
    std::deque<Leave> pendingLeaves;
};

}  // namespace pyv
