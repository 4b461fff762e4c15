// The engine's event notifications. Every operation has an empty default body; an implementation
// overrides only what it handles. The engine calls these on its own threads.
#pragma once

#include "RtcRecords.h"
#include "SdkExport.h"
#include "StatsRecords.h"

namespace velto {
namespace rtc {

class IRtcEngineEventHandler {
  public:
#if VELTO_GNU_ABI_ON_WINDOWS
    // Microsoft's compiler gives the virtual destructor one slot, first, holding the "scalar
    // deleting destructor" (this, flags) -> this; the GNU ABI gives it two, which would move every
    // notification one slot on (onWarning called where the library means onError). So a GNU-ABI
    // build puts one virtual of that shape in its place. The library never deletes a handler
    // (the program owns it), so the slot destroys nothing. sdk/EventHandlerSlots.h holds the
    // slot table as the library sees it; tests/cpp/handler_slots_test.cpp checks it against
    // this class.
    virtual void* scalarDeletingDestructorSlot(unsigned int /*flags*/) {
        return this;
    }
#else
    virtual ~IRtcEngineEventHandler() {}
#endif

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

#if VELTO_GNU_ABI_ON_WINDOWS
  protected:
    // Not virtual, so not deletable through this interface: only the program that made a
    // handler ends it, as its own type.
    ~IRtcEngineEventHandler() = default;
#endif
};

}  // namespace rtc
}  // namespace velto
