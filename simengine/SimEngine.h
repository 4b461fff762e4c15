// The simulated IRtcEngine. Each operation is journaled with its decoded arguments and returns 0,
// -2 for a null text or record or a malformed setting (reported on stderr), or the result a test
// forced. An operation whose result is not 0 changes nothing. The media operations set the
// engine's switches; a successful joinChannel starts a live call when live mode is on, and
// leaveChannel ends it. Called on the module's threads; the state it shares with its media
// threads lives in EngineState.
#pragma once

#include <atomic>
#include <memory>

#include "sdk/IRtcEngine.h"
#include "simengine/EngineState.h"
#include "simengine/Journal.h"

namespace velto {
namespace sim {

class SimEngine final : public rtc::IRtcEngine {
  public:
    explicit SimEngine(std::shared_ptr<EngineState> state);

    const std::shared_ptr<EngineState>& state() const { return state_; }

    int initialize(const rtc::EngineContext* context) override;
    int setChannelProfile(int profile) override;
    int setClientRole(int role) override;
    int joinChannel(const char* key, const char* channel, const char* info,
                    unsigned int uid) override;
    int leaveChannel() override;
    int getSubInterface(int id, void** out) override;
    int enableVideo() override;
    int disableVideo() override;
    int setVideoConfiguration(const rtc::VideoConfiguration* config) override;
    int setupLocalView(const rtc::VideoCanvas* canvas) override;
    int setupRemoteView(const rtc::VideoCanvas* canvas) override;
    int activateLocalView() override;
    int enableAudio() override;
    int setLocalAudioEnabled(bool enabled) override;
    int disableAudio() override;
    int setAudioProfile(int profile, int scenario) override;
    int muteAllRemoteAudioStreams(bool mute) override;
    int enableDualStreamMode(bool enabled) override;

  private:
    // Journals the call and returns its result (see outcome()).
    int finish(const char* call, Args args, int rejected = 0);
    // Sets the switch `member` to `on` when `result` is 0; returns `result`.
    int switched(int result, std::atomic<bool> MediaSwitches::* member, bool on);
    int setupView(const char* call, const rtc::VideoCanvas* canvas);
    // Hands out a new reference to sub-interface `id` (1..4).
    void* handOutSubInterface(int id);

    const std::shared_ptr<EngineState> state_;
};

}  // namespace sim
}  // namespace velto
