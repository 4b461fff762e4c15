#include "simengine/LiveCall.h"

#include <utility>

#include "simengine/Journal.h"

namespace velto {
namespace sim {

LiveCall::LiveCall(std::shared_ptr<EngineState> engine, std::string channel, std::uint32_t localUid,
                   const std::vector<UserSpec>& users)
    : engine_(std::move(engine)),
      channel_(std::move(channel)),
      localUid_(localUid),
      startedAt_(Clock::now()) {
    for (const UserSpec& user : users) {
        users_.push_back(std::make_shared<RemoteUser>(user));
    }
}

std::int64_t LiveCall::elapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startedAt_).count();
}

bool LiveCall::post(int thread, std::function<void()> task) const {
    const std::shared_ptr<MediaThread> target = engine_->thread(thread);
    return target != nullptr && target->post(std::move(task));
}

bool LiveCall::postAt(int thread, Clock::time_point due, std::function<void()> task) const {
    const std::shared_ptr<MediaThread> target = engine_->thread(thread);
    return target != nullptr && target->postAt(due, std::move(task));
}

void LiveCall::notify(const char* event, std::uint32_t uid, int arg,
                      const std::function<void(const HandlerCalls&)>& deliver) const {
    rtc::IRtcEngineEventHandler* handler = engine_->eventHandler();
    if (handler == nullptr) {
        return;
    }
    journal().record(engine_->id(), "live",
                     {{"event", textValue(event)}, {"uid", intValue(uid)}, {"arg", intValue(arg)}});
    deliver(HandlerCalls(*handler));
}

void LiveCall::announceJoined(RemoteUser& user) const {
    const std::int64_t elapsed = elapsedMs();
    user.joinedMs.store(elapsed);
    notify("onRemoteUserJoined", user.spec.uid, static_cast<int>(elapsed),
           [&](const HandlerCalls& h) {
               h.onRemoteUserJoined(user.spec.uid, static_cast<int>(elapsed));
           });
    // Media flows once the program has heard of the user.
    user.present.store(true);
}

std::vector<std::shared_ptr<RemoteUser>> LiveCall::remoteUsers() const {
    std::vector<std::shared_ptr<RemoteUser>> all = users_;
    std::lock_guard<std::mutex> lock(peersMutex_);
    all.insert(all.end(), peers_.begin(), peers_.end());
    return all;
}

void LiveCall::addPeer(std::shared_ptr<RemoteUser> peer) {
    std::lock_guard<std::mutex> lock(peersMutex_);
    peers_.push_back(std::move(peer));
}

std::shared_ptr<RemoteUser> LiveCall::peer(std::uint32_t uid) const {
    std::lock_guard<std::mutex> lock(peersMutex_);
    for (const auto& peer : peers_) {
        if (peer->spec.uid == uid) {
            return peer;
        }
    }
    return nullptr;
}

void LiveCall::removePeer(std::uint32_t uid) {
    std::lock_guard<std::mutex> lock(peersMutex_);
    for (auto it = peers_.begin(); it != peers_.end(); ++it) {
        if ((*it)->spec.uid == uid) {
            peers_.erase(it);
            return;
        }
    }
}

void LiveCall::stop() {
    stopped_.store(true);
    if (network_ != nullptr) {
        network_->leave();
    }
    std::vector<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(sentMutex_);
        dropped.swap(sentListeners_);
    }
}

void LiveCall::publishSentVideo(std::shared_ptr<const I420Frame> frame) {
    std::vector<std::function<void()>> listeners;
    {
        std::lock_guard<std::mutex> lock(sentMutex_);
        sentVideo_ = std::move(frame);
        ++sentSequence_;
        listeners = sentListeners_;
    }
    for (const auto& listener : listeners) {
        listener();
    }
}

void LiveCall::listenToSentVideo(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(sentMutex_);
    if (!stopped()) {
        sentListeners_.push_back(std::move(listener));
    }
}

std::shared_ptr<const I420Frame> LiveCall::lastSentVideo(std::uint64_t& sequence) const {
    std::lock_guard<std::mutex> lock(sentMutex_);
    sequence = sentSequence_;
    return sentVideo_;
}

}  // namespace sim
}  // namespace velto
