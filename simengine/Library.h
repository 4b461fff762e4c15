// Process-wide engine bookkeeping: the engines alive (the most recent one is "the current
// engine"), the counters, the last engine released and the fallback thread that serves requests
// while no engine is alive. Reached from the module's threads (create, release), from tests'
// threads (routing, counters) and from engine threads when the module releases from a callback;
// all members lock internally.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "sdk/IRtcEngine.h"
#include "simengine/EngineState.h"
#include "simengine/MediaThread.h"
#include "simengine/SimEngine.h"

namespace velto {
namespace sim {

struct EngineCounts {
    int created;
    int alive;
    int released;
};

// Where a request for an engine thread goes.
struct Route {
    std::shared_ptr<MediaThread> thread;
    // The engine whose handler and observers serve the request; nullptr if no engine ever
    // existed.
    std::shared_ptr<EngineState> engine;
    // True when no engine is alive and the fallback thread serves the last engine's registrations.
    bool fallback;
};

class Library {
  public:
    Library();

    // A new engine with running media threads, or nullptr when a test asked for that.
    rtc::IRtcEngine* createEngine();
    // Ends the current engine; journals and does nothing else when none is alive. Waits for the
    // engine's threads only when `sync` is set and the caller is not one of them; a caller that
    // an engine thread may be waiting for (one holding the interpreter lock) must pass false.
    void releaseCurrent(bool sync);
    // The thread `index` (0..EngineState::kMediaThreadCount-1) of the current engine, or the
    // fallback thread when no engine is alive; nullptr thread for a bad index.
    Route route(int index) const;

    EngineCounts counts() const;
    // Restarts created/released so that created == alive and released == 0.
    void restartCounts();

    // Fork (ForkSafety.cpp). Around fork() in the parent the lock is held, so no child gets it
    // held; the child, while it is its only thread, forgets the engines (their threads did not
    // survive) without ending them, and starts a fallback thread only when one is first needed.
    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }
    void restartInForkChild();

  private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<SimEngine>> alive_;  // in creation order
    std::shared_ptr<EngineState> lastReleased_;
    mutable std::shared_ptr<MediaThread> fallbackThread_;  // null in a fork child until needed
    int nextId_ = 1;
    int created_ = 0;
    int released_ = 0;
};

// The process-wide library state.
Library& library();

}  // namespace sim
}  // namespace velto
