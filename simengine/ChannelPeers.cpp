#include "simengine/ChannelPeers.h"

#include "simengine/FrameDelivery.h"
#include "simengine/ObserverCalls.h"

namespace velto {
namespace sim {

namespace {

// True while the program gets `user`'s video: present, video on, remote video not muted.
bool receivingVideo(const LiveCall& call, const RemoteUser& user) {
    const MediaSwitches& on = call.engine().switches();
    return user.present.load() && on.video.load() && !on.remoteVideoMuted.load();
}

// Remote video thread: the member's newest frame to the observer, then counted.
void renderWaiting(const LiveCall& call, RemoteUser& user) {
    // One buffer per remote video thread, swapped with the inbox's slot: no copy, no allocation
    // once sizes settle.
    thread_local I420Frame frame;
    std::uint64_t sentNs = 0;
    if (!user.inbox->takeVideo(frame, sentNs) || call.stopped() || !receivingVideo(call, user)) {
        return;
    }
    if (media::IVideoFrameObserver* observer = call.engine().videoObserver()) {
        media::EngineVideoFrame record = videoFrameOf(media::StreamVideoRender, frame);
        callVideoObserver(*observer, media::StreamVideoRender, user.spec.uid, record);
    }
    user.width.store(frame.width);
    user.height.store(frame.height);
    user.videoIn.add(frame.bytes());
    const std::uint64_t now = wireClockNs();
    user.videoDelayMs.store(now > sentNs ? static_cast<int>((now - sentNs) / 1000000) : 0);
}

// Network thread: a member's frame that arrived but will never reach the program.
void countDropped(const LiveCall& call, std::atomic<std::uint64_t> NetworkCounters::*counter) {
    if (const std::shared_ptr<ChannelNetwork>& network = call.network()) {
        (network->counters().*counter).fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

void ChannelPeers::peerJoined(std::uint32_t uid) {
    if (call_->stopped()) {
        return;
    }
    UserSpec member;
    member.uid = uid;
    member.kind = UserKind::kPeer;
    auto user = std::make_shared<RemoteUser>(member);
    user->inbox = std::make_shared<PeerInbox>();
    call_->addPeer(user);
    const std::shared_ptr<LiveCall> call = call_;
    call->post(kEventThread, [call, user] {
        if (call->stopped()) {
            return;
        }
        call->announceJoined(*user);
    });
}

void ChannelPeers::peerLeft(std::uint32_t uid, int reason) {
    const std::shared_ptr<RemoteUser> user = call_->peer(uid);
    if (user == nullptr || call_->stopped()) {
        return;
    }
    user->gone.store(true);
    const std::shared_ptr<LiveCall> call = call_;
    call->post(kEventThread, [call, user, reason] {
        if (call->stopped()) {
            return;
        }
        user->present.store(false);
        call->removePeer(user->spec.uid);
        call->notify("onRemoteUserOffline", user->spec.uid, reason,
                     [&](const HandlerCalls& h) { h.onRemoteUserOffline(user->spec.uid, reason); });
    });
}

void ChannelPeers::peerAudio(std::uint32_t uid, const WireAudioFrame& frame) {
    const std::shared_ptr<RemoteUser> user = call_->peer(uid);
    if (user == nullptr || !user->present.load() ||
        call_->engine().switches().remoteAudioMuted.load()) {
        return;
    }
    if (!user->inbox->putAudio(frame)) {
        countDropped(*call_, &NetworkCounters::audioDropped);
    }
}

void ChannelPeers::peerVideo(std::uint32_t uid, I420Frame& frame, std::uint32_t,
                             std::uint64_t sentNs) {
    const std::shared_ptr<RemoteUser> user = call_->peer(uid);
    if (user == nullptr || !receivingVideo(*call_, *user)) {
        return;
    }
    if (user->inbox->putVideo(frame, sentNs)) {
        const std::shared_ptr<LiveCall> call = call_;
        call->post(kRenderThread, [call, user] { renderWaiting(*call, *user); });
    } else {
        countDropped(*call_, &NetworkCounters::videoReplaced);
    }
}

}  // namespace sim
}  // namespace velto
