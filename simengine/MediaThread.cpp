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
        changed_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            break;  // stopping, and everything queued has run
        }
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // release what the task captured before taking the lock again
        lock.lock();
    }
    finished_ = true;
    lock.unlock();
    changed_.notify_all();
}

}  // namespace sim
}  // namespace velto
