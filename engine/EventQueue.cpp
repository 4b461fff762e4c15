#include "engine/EventQueue.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace pyv {

namespace {

// The open queues. Leaked on purpose, like the engine object: engine threads may publish until
// the process ends.
struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<EventQueue>> queues;
    std::atomic<std::size_t> openCount{0};
};

Registry& registry() {
    static Registry* const instance = new Registry();
    return *instance;
}

}  // namespace

std::shared_ptr<EventQueue> EventQueue::open(std::size_t capacity, uint32_t kinds, uint64_t channel,
                                             Keeps keeps) {
    auto queue = std::make_shared<EventQueue>(capacity, kinds, channel, keeps);
    Registry& shared = registry();
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.queues.push_back(queue);
    shared.openCount.store(shared.queues.size());
    return queue;
}

EventQueue::EventQueue(std::size_t capacity, uint32_t kinds, uint64_t channel, Keeps keeps)
    : kinds_(kinds),
      channel_(channel),
      capacity_(std::min(std::max<std::size_t>(capacity, 1), kMaxCapacity)),
      keeps_(keeps) {}

void EventQueue::close() noexcept {
    {
        Registry& shared = registry();
        std::lock_guard<std::mutex> lock(shared.mutex);
        auto& queues = shared.queues;
        queues.erase(std::remove_if(queues.begin(), queues.end(),
                                    [this](const auto& queue) { return queue.get() == this; }),
                     queues.end());
        shared.openCount.store(queues.size());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_) {
        closed_ = true;
        if (events_.empty()) {
            wakeup_.raise();
        }
    }
    ready_.notify_all();
}

void EventQueue::keepMember(const EngineEvent& event) {
    const auto uid = static_cast<uint32_t>(event.values[0]);
    switch (event.kind) {
        case EventKind::UserJoined:
            members_.insert(uid);
            break;
        case EventKind::UserLeft:
            members_.erase(uid);
            break;
        case EventKind::ChannelLeft:
            members_.clear();
            break;
        default:
            break;
    }
}

void EventQueue::post(const EngineEvent& event) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return;
        }
        try {
            if (keeps_ == Keeps::Members) {
                keepMember(event);
                return;
            }
            if (events_.size() == capacity_) {
                events_.pop_front();
                ++dropped_;
            }
            events_.push_back(event);
        } catch (const std::bad_alloc&) {
            ++dropped_;
            return;
        }
        if (events_.size() == 1) {
            wakeup_.raise();
        }
    }
    ready_.notify_one();
}

void EventQueue::take(std::vector<EngineEvent>& out, std::size_t max) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t count = std::min(max, events_.size());
    out.reserve(out.size() + count);
    out.insert(out.end(), events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(count));
    events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(count));
    // Readable exactly while events wait, or for good once closed: a reader woken for nothing
    // (a raise nobody made here) lowers it too, so an event loop never spins on it.
    if (events_.empty() && !closed_) {
        wakeup_.lower();
    }
}

bool EventQueue::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ready_.wait_for(lock, timeout, [this] { return !events_.empty() || closed_; });
}

std::vector<uint32_t> EventQueue::members() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<uint32_t>(members_.begin(), members_.end());
}

int EventQueue::fileno() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakeup_.fileno();
}

uint64_t EventQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

bool EventQueue::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

void publishEvent(const EngineEvent& event) noexcept {
    Registry& shared = registry();
    if (shared.openCount.load(std::memory_order_relaxed) == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(shared.mutex);
    for (const auto& queue : shared.queues) {
        if (queue->accepts(event)) {
            queue->post(event);
        }
    }
}

void publishEvent(EngineEvent event, uint64_t channel) noexcept {
    event.channel = channel;
    publishEvent(event);
}

void lockEventQueuesForFork() noexcept {
    Registry& shared = registry();
    shared.mutex.lock();
    for (const auto& queue : shared.queues) {
        queue->mutex_.lock();
    }
}

void unlockEventQueuesAfterFork() noexcept {
    Registry& shared = registry();
    for (const auto& queue : shared.queues) {
        queue->mutex_.unlock();
    }
    shared.mutex.unlock();
}

void restartEventQueuesInForkChild() noexcept {
    Registry& shared = registry();
    for (const auto& queue : shared.queues) {
        queue->closed_ = true;
        queue->wakeup_.restartInForkChild();
        queue->wakeup_.raise();  // closed: readable for good
        queue->mutex_.unlock();
    }
    // Each is still owned by its Python object; only the registry forgets it.
    shared.queues.clear();
    shared.openCount.store(0);
    shared.mutex.unlock();
}

}  // namespace pyv
