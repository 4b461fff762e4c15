// Bounded queues of engine events for Python readers. Engine threads copy every participant
// notification and statistics record into each open queue without taking the GIL; a queue that
// is full drops its oldest event and counts it, so a reader that stops reading never holds the
// engine up nor grows. Each queue has a descriptor that is readable while events wait, for an
// event loop, and a blocking wait for threads.
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
#include <memory>
#include <mutex>
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

    // Makes a queue of `capacity` events (at least 1) and opens it: events published from now
    // on reach it, only those of channel epoch `channel` unless it is kAnyChannel. Throws
    // std::system_error without a descriptor, std::bad_alloc.
    static std::shared_ptr<EventQueue> open(std::size_t capacity, uint32_t kinds,
                                            uint64_t channel = kAnyChannel);

    EventQueue(std::size_t capacity, uint32_t kinds, uint64_t channel);
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Stops receiving, wakes every waiter and leaves the descriptor readable for good; events
    // already queued can still be taken. Idempotent.
    void close() noexcept;

    // Moves up to `max` of the oldest events to the end of `out`. Never blocks for long.
    void take(std::vector<EngineEvent>& out, std::size_t max);
    // Blocks until an event waits, the queue is closed, or `timeout` passes; true unless the
    // time ran out.
    bool wait(std::chrono::milliseconds timeout);

    int fileno() const { return wakeup_.fileno(); }
    std::size_t capacity() const { return ring_.size(); }
    uint64_t dropped() const;
    bool closed() const;

  private:
    friend void publishEvent(const EngineEvent& event) noexcept;
    friend void lockEventQueuesForFork() noexcept;
    friend void unlockEventQueuesAfterFork() noexcept;
    bool accepts(const EngineEvent& event) const {
        return (kinds_ >> static_cast<uint32_t>(event.kind) & 1u) != 0 &&
               (channel_ == kAnyChannel || channel_ == event.channel);
    }
    // Engine threads, under the registry's mutex. Allocates nothing.
    void post(const EngineEvent& event) noexcept;

    const uint32_t kinds_;
    const uint64_t channel_;
    WakeupFd wakeup_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<EngineEvent> ring_;  // fixed size; head_ is the oldest of size_ events
    std::size_t head_ = 0;
    std::size_t size_ = 0;
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

}  // namespace pyv
