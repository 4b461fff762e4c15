#include "simengine/Library.h"

#include <utility>

#include "simengine/Controls.h"
#include "simengine/Journal.h"
#include "simengine/LiveSession.h"

namespace velto {
namespace sim {

Library::Library() : fallbackThread_(MediaThread::start("velto-fallback")) {}

rtc::IRtcEngine* Library::createEngine() {
    if (controls().createGivesNull()) {
        journal().record(0, "createEngine", {}, 0);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const int id = nextId_++;
    alive_.push_back(std::make_unique<SimEngine>(std::make_shared<EngineState>(id)));
    ++created_;
    journal().record(0, "createEngine", {}, id);
    return alive_.back().get();
}

void Library::releaseCurrent(bool sync) {
    std::unique_ptr<SimEngine> engine;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (alive_.empty()) {
            journal().record(0, "release", {{"sync", boolValue(sync)}});
            return;
        }
        engine = std::move(alive_.back());
        alive_.pop_back();
        ++released_;
        lastReleased_ = engine->state();
        journal().record(engine->state()->id(), "release", {{"sync", boolValue(sync)}});
    }
    // Outside the lock: a callback running on an engine thread may call into the library.
    const std::shared_ptr<EngineState> state = engine->state();
    engine.reset();  // the caller gives up the engine pointer with this call
    endLiveCall(*state, false);
    state->stopThreads();
    if (sync && !state->onOwnThread()) {
        state->awaitThreads();
    }
}

Route Library::route(int index) const {
    if (index < 0 || index >= EngineState::kMediaThreadCount) {
        return Route{nullptr, nullptr, false};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!alive_.empty()) {
        const std::shared_ptr<EngineState>& current = alive_.back()->state();
        return Route{current->thread(index), current, false};
    }
    if (fallbackThread_ == nullptr) {
        fallbackThread_ = MediaThread::start("velto-fallback");
    }
    return Route{fallbackThread_, lastReleased_, true};
}

EngineCounts Library::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return EngineCounts{created_, static_cast<int>(alive_.size()), released_};
}

void Library::restartCounts() {
    std::lock_guard<std::mutex> lock(mutex_);
    created_ = static_cast<int>(alive_.size());
    released_ = 0;
}

void Library::restartInForkChild() {
    // Never destroyed: ending an engine would wait for threads that do not exist here.
    for (std::unique_ptr<SimEngine>& engine : alive_) {
        (void)engine.release();
    }
    alive_.clear();
    new std::shared_ptr<EngineState>(std::move(lastReleased_));
    new std::shared_ptr<MediaThread>(std::move(fallbackThread_));
    mutex_.unlock();
}

Library& library() {
    // Never destroyed: detached engine threads may still run while the process exits.
    static Library* const instance = new Library;
    return *instance;
}

}  // namespace sim
}  // namespace velto
