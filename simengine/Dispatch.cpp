#include "simengine/Dispatch.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace velto {
namespace sim {

namespace {

struct Completion {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;

    void signal() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        changed.notify_all();
    }

    bool await(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        if (timeoutMs < 0) {
            changed.wait(lock, [this] { return done; });
            return true;
        }
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return done; });
    }
};

}  // namespace

DispatchStatus dispatchToEngineThread(int index, int timeoutMs,
                                      const std::function<void(const Route&)>& job) {
    // An engine released between routing and posting refuses the task; route again, which then
    // finds the next engine or the fallback thread.
    for (;;) {
        const Route route = library().route(index);
        if (route.thread == nullptr) {
            return DispatchStatus::kBadThread;
        }
        if (route.thread->isCurrent()) {
            job(route);
            return DispatchStatus::kDone;
        }
        auto completion = std::make_shared<Completion>();
        if (route.thread->post([job, route, completion] {
                job(route);
                completion->signal();
            })) {
            return completion->await(timeoutMs) ? DispatchStatus::kDone : DispatchStatus::kTimedOut;
        }
    }
}

}  // namespace sim
}  // namespace velto
