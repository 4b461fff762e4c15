// The engine's event notifications. Every operation has an empty default body; an implementation
// overrides only what it handles. The engine calls these on its own threads.
#pragma once

#include "RtcRecords.h"
#include "StatsRecords.h"

namespace velto {
namespace rtc {

class IRtcEngineEventHandler {
  public:
    virtual ~IRtcEngineEventHandler() {}

    virtual void onWarning(int /*warn*/, const char* /*msg*/) {}
    virtual void onError(int /*err*/, const char* /*msg*/) {}
    virtual void onJoinChannelSuccess(const char* /*channel*/, uint32_t /*uid*/, int /*elapsed*/) {}
    virtual void onRejoinChannelSuccess(const char* /*channel*/, uint32_t /*uid*/,
                                        int /*elapsed*/) {}
    virtual void onChannelLeft(const RtcStats& /*stats*/) {}
    virtual void onRemoteUserJoined(uint32_t /*uid*/, int /*elapsed*/) {}
    virtual void onRemoteUserOffline(uint32_t /*uid*/, int /*reason*/) {}
    virtual void onConnectionLost() {}
    virtual void onLocalVideoStats(const LocalVideoStats& /*stats*/) {}
    virtual void onRemoteVideoStats(const RemoteVideoStats& /*stats*/) {}
    virtual void onLocalAudioStats(const LocalAudioStats& /*stats*/) {}
    virtual void onRemoteAudioStats(const RemoteAudioStats& /*stats*/) {}
    virtual void onFirstRemoteVideoFrame(uint32_t /*uid*/, int /*width*/, int /*height*/,
                                         int /*elapsed*/) {}
};

}  // namespace rtc
}  // namespace velto
