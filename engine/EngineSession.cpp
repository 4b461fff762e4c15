#include "engine/EngineSession.h"

#include <array>

#include "engine/CVeltoObject.h"

namespace pyv {

namespace {
// A released engine that still delivers after this many newer engines were started is taken
// for the session now in the slot; no engine lingers that long.
constexpr std::size_t kRingSize = 64;
}  // namespace

EngineSession& EngineSession::next(CVeltoObject& owner) {
    // Leaked on purpose, like the engine object: a released engine may still call its handler.
    static std::array<EngineSession*, kRingSize> ring{};
    static std::size_t started = 0;
    EngineSession*& slot = ring[started++ % kRingSize];
    if (slot == nullptr) {
        slot = new EngineSession(owner);
    }
    return *slot;
}

void EngineSession::onChannelLeft(const velto::rtc::RtcStats& stats) {
    owner_.onChannelLeft(ChannelEpochs::instance().stamp(*this, EventKind::ChannelLeft), stats);
}

void EngineSession::onRemoteUserJoined(uint32_t uid, int elapsed) {
    owner_.onRemoteUserJoined(ChannelEpochs::instance().stamp(*this, EventKind::UserJoined), uid,
                              elapsed);
}

void EngineSession::onRemoteUserOffline(uint32_t uid, int reason) {
    owner_.onRemoteUserOffline(ChannelEpochs::instance().stamp(*this, EventKind::UserLeft), uid,
                               reason);
}

void EngineSession::onLocalVideoStats(const velto::rtc::LocalVideoStats& stats) {
    owner_.onLocalVideoStats(ChannelEpochs::instance().stamp(*this, EventKind::LocalVideoStats),
                             stats);
}

void EngineSession::onRemoteVideoStats(const velto::rtc::RemoteVideoStats& stats) {
    owner_.onRemoteVideoStats(ChannelEpochs::instance().stamp(*this, EventKind::RemoteVideoStats),
                              stats);
}

void EngineSession::onLocalAudioStats(const velto::rtc::LocalAudioStats& stats) {
    owner_.onLocalAudioStats(ChannelEpochs::instance().stamp(*this, EventKind::LocalAudioStats),
                             stats);
}

void EngineSession::onRemoteAudioStats(const velto::rtc::RemoteAudioStats& stats) {
    owner_.onRemoteAudioStats(ChannelEpochs::instance().stamp(*this, EventKind::RemoteAudioStats),
                              stats);
}

}  // namespace pyv
