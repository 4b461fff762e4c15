#include "engine/EventQueue.h"

#include <algorithm>
#include <atomic>

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

std::shared_ptr<EventQueue> EventQueue::open(std::size_t capacity, uint32_t kinds,
                                             uint64_t channel) {
    auto queue = std::make_shared<EventQueue>(capacity, kinds, channel);
    Registry& shared = registry();
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.queues.push_back(queue);
    shared.openCount.store(shared.queues.size());
    return queue;
}

EventQueue::EventQueue(std::size_t capacity, uint32_t kinds, uint64_t channel)
    : kinds_(kinds), channel_(channel), ring_(std::max<std::size_t>(capacity, 1)) {}

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
        if (size_ == 0) {
            wakeup_.raise();
        }
    }
    ready_.notify_all();
}

void EventQueue::post(const EngineEvent& event) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return;
        }
        const std::size_t capacity = ring_.size();
        if (size_ == capacity) {
            head_ = (head_ + 1) % capacity;
            --size_;
            ++dropped_;
        }
        ring_[(head_ + size_) % capacity] = event;
        if (++size_ == 1) {
            wakeup_.raise();
        }
    }
    ready_.notify_one();
}

void EventQueue::take(std::vector<EngineEvent>& out, std::size_t max) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t count = std::min(max, size_);
    out.reserve(out.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(ring_[head_]);
        head_ = (head_ + 1) % ring_.size();
    }
    size_ -= count;
    // Readable exactly while events wait, or for good once closed.
    if (count > 0 && size_ == 0 && !closed_) {
        wakeup_.lower();
    }
}

bool EventQueue::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ready_.wait_for(lock, timeout, [this] { return size_ > 0 || closed_; });
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

}  // namespace pyv
