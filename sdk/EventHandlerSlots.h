// The event handler's vtable as the library, built with Microsoft's compiler, reads it: one slot
// per virtual in declaration order, the destructor's single slot first. Every slot takes the
// handler as its first argument, which is where x64 Windows passes `this` in both C++ ABIs. The
// simulated engine calls handlers through this table on Windows, as the closed library does, so
// a module whose handler lays its slots out otherwise fails its tests there.
#pragma once

#include <cstdint>

#include "IRtcEngineEventHandler.h"

namespace velto {
namespace rtc {

struct EventHandlerSlots {
    using Self = IRtcEngineEventHandler*;
    void* (*scalarDeletingDestructor)(Self, unsigned int flags);
    void (*onWarning)(Self, int, const char*);
    void (*onError)(Self, int, const char*);
    void (*onJoinChannelSuccess)(Self, const char*, uint32_t, int);
    void (*onRejoinChannelSuccess)(Self, const char*, uint32_t, int);
    void (*onChannelLeft)(Self, const RtcStats&);
    void (*onRemoteUserJoined)(Self, uint32_t, int);
    void (*onRemoteUserOffline)(Self, uint32_t, int);
    void (*onConnectionLost)(Self);
    void (*onLocalVideoStats)(Self, const LocalVideoStats&);
    void (*onRemoteVideoStats)(Self, const RemoteVideoStats&);
    void (*onLocalAudioStats)(Self, const LocalAudioStats&);
    void (*onRemoteAudioStats)(Self, const RemoteAudioStats&);
    void (*onFirstRemoteVideoFrame)(Self, uint32_t, int, int, int);
};
static_assert(sizeof(EventHandlerSlots) == 14 * sizeof(void*),
              "one slot per notification and one for the destructor");

// The table of a handler made by any compiler that speaks the Microsoft ABI at this boundary.
inline const EventHandlerSlots& slotsOf(IRtcEngineEventHandler* handler) {
    return **reinterpret_cast<const EventHandlerSlots* const*>(handler);
}

}  // namespace rtc
}  // namespace velto
