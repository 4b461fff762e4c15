// Remote users coming and going, and the local user leaving the channel: views handed out,
// taken back and made free again. Engine threads; the bookkeeping runs under viewsMutex_, the
// engine call after it under engineMutex_, never both at once and never with the GIL.
#include <cstring>

#include "engine/CVeltoObject.h"
#include "engine/EventQueue.h"

namespace pyv {

void CVeltoObject::onRemoteUserJoined(const ChannelStamp& stamp, uint32_t uid, int elapsed) {
    publishEvent(userJoinedEvent(uid, elapsed), stamp.epoch);
    if (stamp.late) {
        return;
    }
    ViewHandle view = 0;
    {
        std::lock_guard<std::mutex> lock(viewsMutex_);
        view = CViewPool::getInstance().takeFreeView();
        // A uid that already holds a view keeps it; the new view stays in use until reset.
        remoteViews_.emplace(uid, RemoteView{view, stamp.epoch});
    }
    setupRemoteView(view, uid);
}

void CVeltoObject::onRemoteUserOffline(const ChannelStamp& stamp, uint32_t uid, int reason) {
    publishEvent(userLeftEvent(uid, reason), stamp.epoch);
    std::lock_guard<std::mutex> lock(viewsMutex_);
    const auto entry = remoteViews_.find(uid);
    // A late one frees only a view that its own channel handed out, never one of a channel
    // joined since.
    if (entry == remoteViews_.end() || (stamp.late && entry->second.epoch > stamp.epoch)) {
        return;
    }
    CViewPool::getInstance().releaseView(entry->second.view);
    remoteViews_.erase(entry);
}

void CVeltoObject::onChannelLeft(const ChannelStamp& stamp, const velto::rtc::RtcStats& stats) {
    publishEvent(statsEvent(stats), stamp.epoch);
    std::lock_guard<std::mutex> lock(viewsMutex_);
    if (!stamp.late) {
        remoteViews_.clear();
        CViewPool::getInstance().reset();
        return;
    }
    // Left after another channel was joined: that channel keeps its local and remote views.
    for (auto entry = remoteViews_.begin(); entry != remoteViews_.end();) {
        if (entry->second.epoch <= stamp.epoch) {
            CViewPool::getInstance().releaseView(entry->second.view);
            entry = remoteViews_.erase(entry);
        } else {
            ++entry;
        }
    }
}

void CVeltoObject::setupRemoteView(ViewHandle view, uint32_t uid) noexcept {
    velto::rtc::VideoCanvas canvas;
    std::memset(&canvas, 0, sizeof canvas);
    canvas.view = view;
    canvas.mode = 2;
    canvas.uid = uid;
    std::lock_guard<std::mutex> lock(engineMutex_);
    if (velto::rtc::IRtcEngine* engine = rtcEngine_.load()) {
        engine->setupRemoteView(&canvas);
    }
}

}  // namespace pyv
