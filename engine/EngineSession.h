// One engine's event handler. The module hands every engine it starts an EngineSession of its
// own instead of the engine object itself, so that a notification an engine delivers late, after
// it was released, is known to come from that engine and never mistaken for one of the engine
// started after it. Each notification is stamped (ChannelEpochs) and passed on to CVeltoObject.
//
// Threads: engine threads call the notifications, without the GIL. Sessions are never freed (the
// engine may call its handler after release returns): a fixed ring of them is reused, the oldest
// first, so a process that starts engines for ever holds a bounded number.
#pragma once

#include <cstdint>

#include "engine/ChannelEpochs.h"
#include "sdk/IRtcEngineEventHandler.h"

namespace pyv {

class CVeltoObject;

class EngineSession final : public velto::rtc::IRtcEngineEventHandler {
  public:
    // The session for the next engine: the ring's next slot, its books emptied. Interpreter
    // thread, holding the GIL, under no lock of the module.
    static EngineSession& next(CVeltoObject& owner);

    void onChannelLeft(const velto::rtc::RtcStats& stats) override;
    void onRemoteUserJoined(uint32_t uid, int elapsed) override;
    void onRemoteUserOffline(uint32_t uid, int reason) override;
    void onLocalVideoStats(const velto::rtc::LocalVideoStats& stats) override;
    void onRemoteVideoStats(const velto::rtc::RemoteVideoStats& stats) override;
    void onLocalAudioStats(const velto::rtc::LocalAudioStats& stats) override;
    void onRemoteAudioStats(const velto::rtc::RemoteAudioStats& stats) override;

    // Guarded by ChannelEpochs' mutex.
    SessionBooks books;

  private:
    explicit EngineSession(CVeltoObject& owner) : owner_(owner) {}
    ~EngineSession() = default;  // sessions live in a ring for the whole process

    CVeltoObject& owner_;
};

}  // namespace pyv
