#include "simengine/LiveSession.h"

#include <chrono>

#include "simengine/AudioProducer.h"
#include "simengine/Journal.h"
#include "simengine/LiveCall.h"
#include "simengine/LiveStats.h"
#include "simengine/VideoProducers.h"

namespace velto {
namespace sim {

namespace {

using Clock = LiveCall::Clock;

constexpr int kReasonQuit = 0;  // onRemoteUserOffline: the user left on its own

Clock::time_point after(const LiveCall& call, double seconds) {
    return call.startedAt() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void scheduleUser(const std::shared_ptr<LiveCall>& call, const std::shared_ptr<RemoteUser>& user) {
    call->postAt(kEventThread, after(*call, user->spec.joinSeconds), [call, user] {
        if (call->stopped()) {
            return;
        }
        const std::int64_t elapsed = call->elapsedMs();
        user->joinedMs.store(elapsed);
        call->notify("onRemoteUserJoined", user->spec.uid, static_cast<int>(elapsed),
                     [&](rtc::IRtcEngineEventHandler& h) {
                         h.onRemoteUserJoined(user->spec.uid, static_cast<int>(elapsed));
                     });
        // Media flows once the program has heard of the user.
        user->present.store(true);
        startRemoteVideo(call, user);
    });
    if (user->spec.leaveSeconds < 0) {
        return;
    }
    call->postAt(kEventThread, after(*call, user->spec.leaveSeconds), [call, user] {
        if (call->stopped()) {
            return;
        }
        user->present.store(false);
        user->gone.store(true);
        call->notify("onRemoteUserOffline", user->spec.uid, kReasonQuit,
                     [&](rtc::IRtcEngineEventHandler& h) {
                         h.onRemoteUserOffline(user->spec.uid, kReasonQuit);
                     });
    });
}

}  // namespace

void startLiveCall(const std::shared_ptr<EngineState>& engine, const std::string& channel,
                   std::uint32_t localUid) {
    if (engine->call() != nullptr) {
        return;  // already in a call: joining again changes nothing
    }
    const LiveSettings settings = engine->settings().snapshot();
    auto call = std::make_shared<LiveCall>(engine, channel, localUid, settings.users);
    engine->setCall(call);
    journal().record(engine->id(), "liveStart",
                     {{"channel", textValue(channel.c_str())}, {"uid", intValue(localUid)}});

    call->post(kEventThread, [call] {
        if (call->stopped()) {
            return;
        }
        const int elapsed = static_cast<int>(call->elapsedMs());
        call->notify("onJoinChannelSuccess", call->localUid(), elapsed,
                     [&](rtc::IRtcEngineEventHandler& h) {
                         h.onJoinChannelSuccess(call->channel().c_str(), call->localUid(), elapsed);
                     });
    });
    for (const auto& user : call->users()) {
        scheduleUser(call, user);
    }
    startAudio(call);
    startCamera(call);
    startStatistics(call);
}

void endLiveCall(EngineState& engine, bool channelLeft) {
    const std::shared_ptr<LiveCall> call = engine.takeCall();
    if (call == nullptr) {
        return;
    }
    call->stop();
    journal().record(engine.id(), "liveStop", {{"channelLeft", boolValue(channelLeft)}});
    if (!channelLeft) {
        return;
    }
    const rtc::RtcStats totals = callTotals(*call);
    call->post(kEventThread, [call, totals] {
        call->notify("onChannelLeft", 0, 0,
                     [&](rtc::IRtcEngineEventHandler& h) { h.onChannelLeft(totals); });
    });
}

}  // namespace sim
}  // namespace velto
