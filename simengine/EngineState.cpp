#include "simengine/EngineState.h"

#include <utility>

#include "simengine/LiveCall.h"

namespace velto {
namespace sim {

namespace {

std::array<std::shared_ptr<MediaThread>, EngineState::kMediaThreadCount> startThreads(int id) {
    std::array<std::shared_ptr<MediaThread>, EngineState::kMediaThreadCount> threads;
    for (int i = 0; i < EngineState::kMediaThreadCount; ++i) {
        threads[i] = MediaThread::start("velto-e" + std::to_string(id) + "-m" + std::to_string(i));
    }
    return threads;
}

}  // namespace

EngineState::EngineState(int id) : id_(id), threads_(startThreads(id)) {}

std::shared_ptr<MediaThread> EngineState::thread(int index) const {
    if (index < 0 || index >= kMediaThreadCount) {
        return nullptr;
    }
    return threads_[index];
}

bool EngineState::onOwnThread() const {
    for (const auto& thread : threads_) {
        if (thread->isCurrent()) {
            return true;
        }
    }
    return false;
}

void EngineState::stopThreads() {
    for (const auto& thread : threads_) {
        thread->stop();
    }
}

void EngineState::awaitThreads() {
    for (const auto& thread : threads_) {
        thread->awaitFinished();
    }
}

rtc::IRtcEngineEventHandler* EngineState::eventHandler() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return eventHandler_;
}

void EngineState::setEventHandler(rtc::IRtcEngineEventHandler* handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    eventHandler_ = handler;
}

media::IAudioFrameObserver* EngineState::audioObserver() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return audioObserver_;
}

void EngineState::setAudioObserver(media::IAudioFrameObserver* observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    audioObserver_ = observer;
}

media::IVideoFrameObserver* EngineState::videoObserver() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return videoObserver_;
}

void EngineState::setVideoObserver(media::IVideoFrameObserver* observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    videoObserver_ = observer;
}

std::string EngineState::channel() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return channel_;
}

void EngineState::setChannel(std::string channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    channel_ = std::move(channel);
}

std::shared_ptr<LiveCall> EngineState::call() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return call_;
}

void EngineState::setCall(std::shared_ptr<LiveCall> call) {
    std::lock_guard<std::mutex> lock(mutex_);
    call_ = std::move(call);
}

std::shared_ptr<LiveCall> EngineState::takeCall() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(call_);
}

}  // namespace sim
}  // namespace velto
