// The foreign engine: an IRtcEngine written apart from the project's simulated engine and built
// with a Microsoft-ABI compiler, so that every call between it and the module goes through the
// vtables and name mangling Microsoft's compiler lays out. It journals each call it receives
// (Journal.h) and, on joinChannel and leaveChannel, starts a native thread that plays a short
// call into the module (CallScript.h).
//
// Interpreter threads call the IRtcEngine operations (the module holds the GIL meanwhile); the
// call threads read the event handler and channel stored here.
#pragma once

#include "../../sdk/IRtcEngine.h"
#include "../../sdk/IRtcEngineEventHandler.h"
#include "Freestanding.h"

namespace foreign {

class ForeignEngine final : public velto::rtc::IRtcEngine {
  public:
    int initialize(const velto::rtc::EngineContext* context) override;
    int setChannelProfile(int profile) override;
    int setClientRole(int role) override;
    int joinChannel(const char* key, const char* channel, const char* info,
                    unsigned int uid) override;
    int leaveChannel() override;
    int getSubInterface(int id, void** out) override;
    int enableVideo() override;
    int disableVideo() override;
    int setVideoConfiguration(const velto::rtc::VideoConfiguration* config) override;
    int setupLocalView(const velto::rtc::VideoCanvas* canvas) override;
    int setupRemoteView(const velto::rtc::VideoCanvas* canvas) override;
    int activateLocalView() override;
    int enableAudio() override;
    int setLocalAudioEnabled(bool enabled) override;
    int disableAudio() override;
    int setAudioProfile(int profile, int scenario) override;
    int muteAllRemoteAudioStreams(bool mute) override;
    int enableDualStreamMode(bool enabled) override;

    velto::rtc::IRtcEngineEventHandler* handler() const { return handler_; }
    const char* channel() const { return channel_; }
    unsigned int uid() const { return uid_; }
    // True between createEngine and IRtcEngine::release; a call thread stops calling the module
    // once it is false.
    bool alive() const { return __atomic_load_n(&alive_, __ATOMIC_ACQUIRE); }

    void start();
    // Ends the engine; with `sync`, waits for its call thread first.
    void finish(bool sync);
    // Waits up to `milliseconds` for the running call thread; true when none runs.
    bool waitForCallThread(unsigned long milliseconds);

  private:
    int journalPlain(const char* name, int64_t value);
    void startCallThread(ThreadStart* script);

    velto::rtc::IRtcEngineEventHandler* handler_ = nullptr;
    char channel_[72] = {};
    unsigned int uid_ = 0;
    bool alive_ = false;
    void* callThread_ = nullptr;
};

ForeignEngine& engine();

}  // namespace foreign
