// Remote users coming and going, and the local user leaving the channel: views handed out,
// taken back and made free again. Engine threads; the bookkeeping runs under viewsMutex_, the
// engine call after it under engineMutex_, never both at once and never with the GIL.
#include <cstring>

#include "engine/CVeltoObject.h"
#include "engine/EventQueue.h"

namespace pyv {

void CVeltoObject::onRemoteUserJoined(uint32_t uid, int elapsed) {
    publishEvent(userJoinedEvent(uid, elapsed));
    ViewHandle view = 0;
    {
        std::lock_guard<std::mutex> lock(viewsMutex_);
        view = CViewPool::getInstance().takeFreeView();
        // A uid that already holds a view keeps it; the new view stays in use until reset.
        remoteViews_.emplace(uid, view);
    }
    setupRemoteView(view, uid);
}

void CVeltoObject::onRemoteUserOffline(uint32_t uid, int reason) {
    publishEvent(userLeftEvent(uid, reason));
    std::lock_guard<std::mutex> lock(viewsMutex_);
    const auto entry = remoteViews_.find(uid);
    if (entry == remoteViews_.end()) {
        return;
    }
    CViewPool::getInstance().releaseView(entry->second);
    remoteViews_.erase(entry);
}

void CVeltoObject::onChannelLeft(const velto::rtc::RtcStats& stats) {
    publishEvent(statsEvent(stats));
    std::lock_guard<std::mutex> lock(viewsMutex_);
    remoteViews_.clear();
    CViewPool::getInstance().reset();
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
