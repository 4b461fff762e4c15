// Bounded queues of engine events for Python readers. Engine threads copy every participant
// notification and statistics record into each open queue without taking the GIL; a queue that
// is full drops its oldest event and counts it, so a reader that stops reading never holds the
// engine up nor grows beyond its bound. Memory is taken as events arrive, not for the bound up
// front. Each queue has a descriptor that is readable while events wait, for an event loop, and a
// blocking wait for threads. A members queue keeps no events: it keeps the set of remote users
// present, exact however many come and go unread.
//
// Threads: publishEvent runs on engine threads (and on any thread that delivers notifications,
// such as a network thread of the simulated engine), without the GIL. Everything else is called
// by interpreter threads; wait() must be called with the GIL released. Locks: the registry's
// mutex, then a queue's mutex, never the other way round and never while waiting for the GIL.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "engine/EngineEvent.h"
#include "engine/WakeupFd.h"

namespace pyv {

class EventQueue {
  public:
    // Bit (1 << kind) of `kinds` selects the EventKinds this queue receives.
    static constexpr uint32_t kAllKinds = 0xFFFFFFFFu;
    // Every channel's events (`channel` of open()).
    static constexpr uint64_t kAnyChannel = 0;
    // The largest bound a queue accepts: far beyond what a reader can fall behind by.
    static constexpr std::size_t kMaxCapacity = std::size_t{1} << 20;

    enum class Keeps { Events, Members };

    // Makes a queue of at most `capacity` events (1 to kMaxCapacity, checked by the caller) and
    // opens it: events published from now on reach it, only those of channel epoch `channel`
    // unless it is kAnyChannel. Throws std::system_error without a descriptor, std::bad_alloc.
    static std::shared_ptr<EventQueue> open(std::size_t capacity, uint32_t kinds,
                                            uint64_t channel = kAnyChannel,
                                            Keeps keeps = Keeps::Events);

    EventQueue(std::size_t capacity, uint32_t kinds, uint64_t channel, Keeps keeps);
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Stops receiving, wakes every waiter and leaves the descriptor readable for good; events
    // already queued can still be taken. Idempotent.
    void close() noexcept;

    // Moves up to `max` of the oldest events to the end of `out`. Never blocks for long. Lowers
    // the descriptor whenever nothing is left, also when it found nothing.
    void take(std::vector<EngineEvent>& out, std::size_t max);
    // Blocks until an event waits, the queue is closed, or `timeout` passes; true unless the
    // time ran out.
    bool wait(std::chrono::milliseconds timeout);
    // A members queue: the uids present now, ascending.
    std::vector<uint32_t> members() const;

    // The descriptor handed to Python (see WakeupFd: closing it elsewhere harms nothing).
    int fileno();
    std::size_t capacity() const { return capacity_; }
    uint64_t dropped() const;
    bool closed() const;

  private:
    friend void publishEvent(const EngineEvent& event) noexcept;
    friend void lockEventQueuesForFork() noexcept;
    friend void unlockEventQueuesAfterFork() noexcept;
    friend void restartEventQueuesInForkChild() noexcept;
    bool accepts(const EngineEvent& event) const {
        return (kinds_ >> static_cast<uint32_t>(event.kind) & 1u) != 0 &&
               (channel_ == kAnyChannel || channel_ == event.channel);
    }
    // Engine threads, under the registry's mutex. Allocates only as the queue grows; an event
    // that finds no memory is dropped and counted.
    void post(const EngineEvent& event) noexcept;
    void keepMember(const EngineEvent& event);

    const uint32_t kinds_;
    const uint64_t channel_;
    const std::size_t capacity_;
    const Keeps keeps_;
    WakeupFd wakeup_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<EngineEvent> events_;  // oldest first, at most capacity_
    std::set<uint32_t> members_;      // a members queue's users
    uint64_t dropped_ = 0;
    bool closed_ = false;
};

// Copies `event` into every open queue that receives its kind and channel. Cheap when none is
// open.
void publishEvent(const EngineEvent& event) noexcept;
// The same for an event raised in channel epoch `channel`.
void publishEvent(EngineEvent event, uint64_t channel) noexcept;

// fork(): the forking thread holds the registry's and every open queue's lock across the fork, so
// neither process inherits one held by an engine thread that the child does not have. Leaf locks:
// taken after every other lock of the module and given back first.
void lockEventQueuesForFork() noexcept;
void unlockEventQueuesAfterFork() noexcept;
// In the fork child instead of unlockEventQueuesAfterFork, while it is the only thread: every
// queue the child inherited is closed there and given a descriptor of its own, so the child's
// events never reach the parent's readers and the child's reads never take the parent's wake-ups.
void restartEventQueuesInForkChild() noexcept;

}  // namespace pyv
