// The simulated engine's calls into the program's event handler. On Windows they go through the
// handler's vtable as the closed library, built with Microsoft's compiler, reads it
// (sdk/EventHandlerSlots.h), whatever compiler built this library; elsewhere they are ordinary
// virtual calls. Called on the engine's notification threads.
#pragma once

#include "sdk/EventHandlerSlots.h"
#include "sdk/IRtcEngineEventHandler.h"

namespace velto {
namespace sim {

class HandlerCalls {
  public:
    explicit HandlerCalls(rtc::IRtcEngineEventHandler& handler) : handler_(handler) {}

    void onWarning(int warn, const char* msg) const {
        call(&Slots::onWarning, &Handler::onWarning, warn, msg);
    }
    void onError(int err, const char* msg) const {
        call(&Slots::onError, &Handler::onError, err, msg);
    }
    void onJoinChannelSuccess(const char* channel, uint32_t uid, int elapsed) const {
        call(&Slots::onJoinChannelSuccess, &Handler::onJoinChannelSuccess, channel, uid, elapsed);
    }
    void onRejoinChannelSuccess(const char* channel, uint32_t uid, int elapsed) const {
        call(&Slots::onRejoinChannelSuccess, &Handler::onRejoinChannelSuccess, channel, uid,
             elapsed);
    }
    void onChannelLeft(const rtc::RtcStats& stats) const {
        call(&Slots::onChannelLeft, &Handler::onChannelLeft, stats);
    }
    void onRemoteUserJoined(uint32_t uid, int elapsed) const {
        call(&Slots::onRemoteUserJoined, &Handler::onRemoteUserJoined, uid, elapsed);
    }
    void onRemoteUserOffline(uint32_t uid, int reason) const {
        call(&Slots::onRemoteUserOffline, &Handler::onRemoteUserOffline, uid, reason);
    }
    void onConnectionLost() const { call(&Slots::onConnectionLost, &Handler::onConnectionLost); }
    void onLocalVideoStats(const rtc::LocalVideoStats& stats) const {
        call(&Slots::onLocalVideoStats, &Handler::onLocalVideoStats, stats);
    }
    void onRemoteVideoStats(const rtc::RemoteVideoStats& stats) const {
        call(&Slots::onRemoteVideoStats, &Handler::onRemoteVideoStats, stats);
    }
    void onLocalAudioStats(const rtc::LocalAudioStats& stats) const {
        call(&Slots::onLocalAudioStats, &Handler::onLocalAudioStats, stats);
    }
    void onRemoteAudioStats(const rtc::RemoteAudioStats& stats) const {
        call(&Slots::onRemoteAudioStats, &Handler::onRemoteAudioStats, stats);
    }
    void onFirstRemoteVideoFrame(uint32_t uid, int width, int height, int elapsed) const {
        call(&Slots::onFirstRemoteVideoFrame, &Handler::onFirstRemoteVideoFrame, uid, width, height,
             elapsed);
    }

  private:
    using Slots = rtc::EventHandlerSlots;
    using Handler = rtc::IRtcEngineEventHandler;

    template <typename Slot, typename Method, typename... Args>
    void call([[maybe_unused]] Slot Slots::*slot, [[maybe_unused]] Method method,
              Args&&... args) const {
#if defined(_WIN32)
        (rtc::slotsOf(&handler_).*slot)(&handler_, args...);
#else
        (handler_.*method)(args...);
#endif
    }

    Handler& handler_;
};

}  // namespace sim
}  // namespace velto
