#include "simengine/MediaThread.h"

#include <thread>
#include <utility>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace velto {
namespace sim {

namespace {
thread_local const MediaThread* currentThread = nullptr;
}  // namespace

std::shared_ptr<MediaThread> MediaThread::start(std::string name) {
    auto self = std::make_shared<MediaThread>(Key{});
    std::thread([self, name = std::move(name)] { self->run(name); }).detach();
    return self;
}

bool MediaThread::post(Task task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return false;
        }
        tasks_.push_back(std::move(task));
    }
    changed_.notify_all();
    return true;
}

bool MediaThread::postAt(Clock::time_point due, Task task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return false;
        }
        timed_.emplace(due, std::move(task));
    }
    changed_.notify_all();
    return true;
}

void MediaThread::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

void MediaThread::awaitFinished() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return finished_; });
}

bool MediaThread::isCurrent() const {
    return currentThread == this;
}

void MediaThread::run(const std::string& name) {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
#else
    (void)name;
#endif
    currentThread = this;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Task task;
        if (!tasks_.empty()) {
            task = std::move(tasks_.front());
            tasks_.pop_front();
        } else if (stopping_) {
            break;  // everything posted has run; timed tasks are dropped
        } else if (!timed_.empty() && timed_.begin()->first <= Clock::now()) {
            task = std::move(timed_.begin()->second);
            timed_.erase(timed_.begin());
        } else if (!timed_.empty()) {
            changed_.wait_until(lock, timed_.begin()->first);
            continue;
        } else {
            changed_.wait(lock);
            continue;
        }
        lock.unlock();
        task();
        task = nullptr;  // release what the task captured before taking the lock again
        lock.lock();
    }
    // Dropped outside the lock: what they captured may post to this thread as it goes.
    std::multimap<Clock::time_point, Task> dropped;
    dropped.swap(timed_);
    lock.unlock();
    dropped.clear();
    lock.lock();
    finished_ = true;
    lock.unlock();
    changed_.notify_all();
}

}  // namespace sim
}  // namespace velto
