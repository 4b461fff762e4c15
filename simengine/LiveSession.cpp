#include "simengine/LiveSession.h"

#include <chrono>
#include <set>

#include "simengine/AudioProducer.h"
#include "simengine/ChannelNetwork.h"
#include "simengine/ChannelPeers.h"
#include "simengine/Journal.h"
#include "simengine/LiveCall.h"
#include "simengine/LiveStats.h"
#include "simengine/NetworkFolder.h"
#include "simengine/Results.h"
#include "simengine/SettingKeys.h"
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
        call->announceJoined(*user);
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
        call->notify(
            "onRemoteUserOffline", user->spec.uid, kReasonQuit,
            [&](const HandlerCalls& h) { h.onRemoteUserOffline(user->spec.uid, kReasonQuit); });
    });
}

// The call's membership of the channel between processes, or nullptr when the network is off
// or unusable. `refused` is set when the uid is taken.
std::shared_ptr<ChannelNetwork> joinNetwork(const LiveSettings& settings,
                                            const std::string& channel, std::uint32_t uid,
                                            bool& refused) {
    refused = false;
    if (!networkWanted(settings.network)) {
        return nullptr;
    }
    std::string error;
    const std::string dir = networkFolder(settings.network, error);
    if (dir.empty() || !prepareFolder(dir, error)) {
        reportBadSetting("network", error + "; the call stays in this process");
        return nullptr;
    }
    std::set<std::uint32_t> simulated;
    for (const UserSpec& user : settings.users) {
        simulated.insert(user.uid);
    }
    ChannelNetwork::OpenResult result = ChannelNetwork::OpenResult::kFailed;
    auto network = ChannelNetwork::open(dir, channel, uid, simulated, result, error);
    if (result == ChannelNetwork::OpenResult::kUidTaken) {
        reportBadSetting("joinChannel", error + "; join refused");
        refused = true;
    } else if (network == nullptr) {
        reportBadSetting("network", error + "; the call stays in this process");
    }
    return network;
}

}  // namespace

int startLiveCall(const std::shared_ptr<EngineState>& engine, const std::string& channel,
                  std::uint32_t localUid) {
    if (engine->call() != nullptr) {
        return kOk;  // already in a call: joining again changes nothing
    }
    const LiveSettings settings = engine->settings().snapshot();
    bool refused = false;
    const std::shared_ptr<ChannelNetwork> network =
        joinNetwork(settings, channel, localUid, refused);
    if (refused) {
        return kJoinRefused;
    }
    const std::uint32_t uid = network != nullptr ? network->uid() : localUid;
    auto call = std::make_shared<LiveCall>(engine, channel, uid, settings.users);
    call->setNetwork(network);
    engine->setCall(call);
    journal().record(engine->id(), "liveStart",
                     {{"channel", textValue(channel.c_str())}, {"uid", intValue(uid)}});

    call->post(kEventThread, [call] {
        if (call->stopped()) {
            return;
        }
        const int elapsed = static_cast<int>(call->elapsedMs());
        call->notify("onJoinChannelSuccess", call->localUid(), elapsed, [&](const HandlerCalls& h) {
            h.onJoinChannelSuccess(call->channel().c_str(), call->localUid(), elapsed);
        });
    });
    if (network != nullptr) {
        network->start(std::make_shared<ChannelPeers>(call));
    }
    for (const auto& user : call->users()) {
        scheduleUser(call, user);
    }
    startAudio(call);
    startCamera(call);
    startStatistics(call);
    return kOk;
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
                     [&](const HandlerCalls& h) { h.onChannelLeft(totals); });
    });
}

}  // namespace sim
}  // namespace velto
