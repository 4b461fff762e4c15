#include "simengine/Notifications.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sdk/IRtcEngineEventHandler.h"
#include "simengine/Dispatch.h"
#include "simengine/HandlerCalls.h"
#include "simengine/Journal.h"

namespace velto {
namespace sim {

namespace {

using rtc::IRtcEngineEventHandler;

// What a notification carries, owned by the task that fires it.
struct Notification {
    uint32_t uid;
    int arg;
    std::vector<unsigned char> record;
    std::string channel;

    // The record as the engine's type: the test's bytes, zero-filled when short.
    template <class Record>
    Record as() const {
        Record value{};
        if (!record.empty()) {
            std::memcpy(&value, record.data(), std::min(record.size(), sizeof value));
        }
        return value;
    }
};

using Deliver = void (*)(const HandlerCalls&, const Notification&);

struct EventKind {
    const char* name;
    Deliver deliver;
};

// Texts handed to onWarning/onError.
constexpr const char* kMessage = "sim";

const EventKind kEvents[] = {
    {"onWarning",
     [](const HandlerCalls& h, const Notification& n) { h.onWarning(n.arg, kMessage); }},
    {"onError", [](const HandlerCalls& h, const Notification& n) { h.onError(n.arg, kMessage); }},
    {"onJoinChannelSuccess",
     [](const HandlerCalls& h, const Notification& n) {
         h.onJoinChannelSuccess(n.channel.c_str(), n.uid, n.arg);
     }},
    {"onRejoinChannelSuccess",
     [](const HandlerCalls& h, const Notification& n) {
         h.onRejoinChannelSuccess(n.channel.c_str(), n.uid, n.arg);
     }},
    {"onChannelLeft",
     [](const HandlerCalls& h, const Notification& n) {
         const auto stats = n.as<rtc::RtcStats>();
         h.onChannelLeft(stats);
     }},
    {"onRemoteUserJoined",
     [](const HandlerCalls& h, const Notification& n) { h.onRemoteUserJoined(n.uid, n.arg); }},
    {"onRemoteUserOffline",
     [](const HandlerCalls& h, const Notification& n) { h.onRemoteUserOffline(n.uid, n.arg); }},
    {"onConnectionLost", [](const HandlerCalls& h, const Notification&) { h.onConnectionLost(); }},
    {"onLocalVideoStats",
     [](const HandlerCalls& h, const Notification& n) {
         const auto stats = n.as<rtc::LocalVideoStats>();
         h.onLocalVideoStats(stats);
     }},
    {"onRemoteVideoStats",
     [](const HandlerCalls& h, const Notification& n) {
         const auto stats = n.as<rtc::RemoteVideoStats>();
         h.onRemoteVideoStats(stats);
     }},
    {"onLocalAudioStats",
     [](const HandlerCalls& h, const Notification& n) {
         const auto stats = n.as<rtc::LocalAudioStats>();
         h.onLocalAudioStats(stats);
     }},
    {"onRemoteAudioStats",
     [](const HandlerCalls& h, const Notification& n) {
         const auto stats = n.as<rtc::RemoteAudioStats>();
         h.onRemoteAudioStats(stats);
     }},
    {"onFirstRemoteVideoFrame",
     [](const HandlerCalls& h, const Notification& n) {
         const auto size = n.as<FirstFrameSize>();
         h.onFirstRemoteVideoFrame(n.uid, size.width, size.height, n.arg);
     }},
};

const EventKind* findEvent(const char* name) {
    for (const EventKind& kind : kEvents) {
        if (std::strcmp(kind.name, name) == 0) {
            return &kind;
        }
    }
    return nullptr;
}

}  // namespace

int fireNotification(const char* event, uint32_t uid, int arg, const void* record,
                     std::size_t recordSize, int thread, int timeoutMs) {
    const EventKind* kind = event == nullptr ? nullptr : findEvent(event);
    if (kind == nullptr) {
        return kFireUnknownEvent;
    }
    auto notification = std::make_shared<Notification>();
    notification->uid = uid;
    notification->arg = arg;
    if (record != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(record);
        notification->record.assign(bytes, bytes + recordSize);
    }
    auto answer = std::make_shared<int>(kFireNoHandler);

    const DispatchStatus status = dispatchToEngineThread(
        thread, timeoutMs, [kind, notification, answer, thread](const Route& route) {
            IRtcEngineEventHandler* handler =
                route.engine == nullptr ? nullptr : route.engine->eventHandler();
            if (handler == nullptr) {
                return;
            }
            notification->channel = route.engine->channel();
            journal().record(route.engine->id(), "fire",
                             {{"event", textValue(kind->name)},
                              {"uid", intValue(notification->uid)},
                              {"arg", intValue(notification->arg)},
                              {"thread", intValue(thread)},
                              {"fallback", boolValue(route.fallback)}});
            kind->deliver(HandlerCalls(*handler), *notification);
            *answer = 0;
        });
    switch (status) {
        case DispatchStatus::kDone:
            return *answer;
        case DispatchStatus::kTimedOut:
            return kFireTimedOut;
        case DispatchStatus::kBadThread:
            break;
    }
    return kBadThreadIndex;
}

}  // namespace sim
}  // namespace velto
