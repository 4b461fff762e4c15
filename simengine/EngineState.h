// The state of one engine that outlives the engine object itself: its id, its media threads,
// what the module registered (event handler, frame observers), its settings and media switches
// and the live call it runs, if any. Shared by the engine, the sub-interfaces it hands out and
// the tasks on its threads, so a released engine's threads and the library's fallback thread
// can still reach it. Reached from any thread; locks internally.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "sdk/IRtcEngineEventHandler.h"
#include "sdk/MediaFrames.h"
#include "simengine/LiveSettings.h"
#include "simengine/MediaSwitches.h"
#include "simengine/MediaThread.h"

namespace velto {
namespace sim {

class LiveCall;

class EngineState {
  public:
    static constexpr int kMediaThreadCount = 4;

    // Starts the engine's media threads.
    explicit EngineState(int id);

    int id() const { return id_; }
    // The media thread `index` (0 .. kMediaThreadCount-1), or nullptr for another index.
    std::shared_ptr<MediaThread> thread(int index) const;
    // True when called on one of this engine's media threads.
    bool onOwnThread() const;
    // Signals every media thread to stop; does not wait.
    void stopThreads();
    // Waits until every media thread has ended. Never call it from one of them.
    void awaitThreads();

    rtc::IRtcEngineEventHandler* eventHandler() const;
    void setEventHandler(rtc::IRtcEngineEventHandler* handler);
    media::IAudioFrameObserver* audioObserver() const;
    void setAudioObserver(media::IAudioFrameObserver* observer);
    media::IVideoFrameObserver* videoObserver() const;
    void setVideoObserver(media::IVideoFrameObserver* observer);
    // The channel of the last successful joinChannel; notifications that name a channel use it.
    std::string channel() const;
    void setChannel(std::string channel);

    SettingsStore& settings() { return settings_; }
    MediaSwitches& switches() { return switches_; }

    // The live call running on this engine, or nullptr. The call holds this state too; the
    // pair is parted by takeCall() when the call ends.
    std::shared_ptr<LiveCall> call() const;
    void setCall(std::shared_ptr<LiveCall> call);
    std::shared_ptr<LiveCall> takeCall();

  private:
    const int id_;
    const std::array<std::shared_ptr<MediaThread>, kMediaThreadCount> threads_;

    mutable std::mutex mutex_;
    rtc::IRtcEngineEventHandler* eventHandler_ = nullptr;
    media::IAudioFrameObserver* audioObserver_ = nullptr;
    media::IVideoFrameObserver* videoObserver_ = nullptr;
    std::string channel_;
    std::shared_ptr<LiveCall> call_;

    SettingsStore settings_;
    MediaSwitches switches_;
};

}  // namespace sim
}  // namespace velto
