#include "simengine/SimEngine.h"

#include <string>
#include <utility>

#include "simengine/Controls.h"
#include "simengine/Handouts.h"
#include "simengine/LiveMode.h"
#include "simengine/LiveSession.h"
#include "simengine/Results.h"
#include "simengine/SettingKeys.h"
#include "simengine/SimEngineParameters.h"
#include "simengine/SimObserverRegistry.h"
#include "simengine/SimSubInterface.h"

namespace velto {
namespace sim {

SimEngine::SimEngine(std::shared_ptr<EngineState> state) : state_(std::move(state)) {}

int SimEngine::finish(const char* call, Args args, int rejected) {
    const int result = outcome(call, rejected);
    journal().record(state_->id(), call, std::move(args), result);
    return result;
}

int SimEngine::switched(int result, std::atomic<bool> MediaSwitches::* member, bool on) {
    if (result == kOk) {
        (state_->switches().*member).store(on);
    }
    return result;
}

int SimEngine::initialize(const rtc::EngineContext* context) {
    if (context == nullptr) {
        return finish("initialize", {{"context", nullValue()}}, kInvalidArgument);
    }
    SettingsChange change;
    std::string error;
    const int rejected = context->initText == nullptr ? kInvalidArgument : kOk;
    // A malformed "sim" object is refused on its own: failing the whole initialize would leave
    // the engine without an event handler, which a caller that ignores the result never sees.
    const bool settingsOk = rejected != kOk || readInitText(context->initText, change, error);
    const int result = finish("initialize",
                              {{"eventHandler", addressValue(context->eventHandler)},
                               {"initText", textValue(context->initText)},
                               {"extraPointer", addressValue(context->extraPointer)},
                               {"extraWord", intValue(context->extraWord)}},
                              rejected);
    if (!error.empty()) {
        reportBadSetting("initialize", error);
    }
    if (result == kOk) {
        state_->setEventHandler(context->eventHandler);
        if (settingsOk) {
            change.applyTo(state_->settings(), state_->switches());
        }
    }
    return result;
}

int SimEngine::setChannelProfile(int profile) {
    return finish("setChannelProfile", {{"profile", intValue(profile)}});
}

int SimEngine::setClientRole(int role) {
    return finish("setClientRole", {{"role", intValue(role)}});
}

int SimEngine::joinChannel(const char* key, const char* channel, const char* info,
                           unsigned int uid) {
    const bool anyNull = key == nullptr || channel == nullptr || info == nullptr;
    const int result = finish("joinChannel",
                              {{"key", textValue(key)},
                               {"channel", textValue(channel)},
                               {"info", textValue(info)},
                               {"uid", intValue(uid)}},
                              anyNull ? kInvalidArgument : kOk);
    if (result == kOk && liveWanted()) {
        // Another process of the channel may hold the uid: then the join is refused.
        const int live = startLiveCall(state_, channel, uid);
        if (live != kOk) {
            journal().record(state_->id(), "joinRefused", {{"uid", intValue(uid)}}, live);
            return live;
        }
    }
    if (result == kOk) {
        state_->setChannel(channel);
    }
    return result;
}

int SimEngine::leaveChannel() {
    const int result = finish("leaveChannel", {});
    if (result == kOk) {
        endLiveCall(*state_, true);
    }
    return result;
}

int SimEngine::getSubInterface(int id, void** out) {
    Args args{{"id", intValue(id)}};
    int rejected = kOk;
    if (out == nullptr) {
        args.push_back({"out", nullValue()});
        rejected = kInvalidArgument;
    } else if (id < kHandoutSubInterface1 || id > kHandoutObserverRegistry) {
        rejected = kInvalidArgument;
    } else if (controls().subInterfaceRefused(id)) {
        rejected = kFailed;
    }
    const int result = finish("getSubInterface", std::move(args), rejected);
    if (result == kOk) {
        *out = handOutSubInterface(id);
    }
    return result;
}

void* SimEngine::handOutSubInterface(int id) {
    Handouts& registry = handouts();
    // Each pointer is converted to the interface the id names before it becomes void*, so the
    // caller may convert it straight back.
    switch (id) {
        case kHandoutEngineParameters: {
            rtc::EngineParameters* parameters =
                registry.handOut(id, std::make_shared<SimEngineParameters>(state_));
            return parameters;
        }
        case kHandoutObserverRegistry: {
            rtc::ObserverRegistry* observers =
                registry.handOut(id, std::make_shared<SimObserverRegistry>(state_));
            return observers;
        }
        default: {
            rtc::ISubInterface* plain =
                registry.handOut(id, std::make_shared<SimSubInterface>(id, state_));
            return plain;
        }
    }
}

int SimEngine::enableVideo() {
    return switched(finish("enableVideo", {}), &MediaSwitches::video, true);
}

int SimEngine::disableVideo() {
    return switched(finish("disableVideo", {}), &MediaSwitches::video, false);
}

int SimEngine::setVideoConfiguration(const rtc::VideoConfiguration* config) {
    if (config == nullptr) {
        return finish("setVideoConfiguration", {{"config", nullValue()}}, kInvalidArgument);
    }
    SettingsChange change;
    std::string error;
    const bool valid = readVideoConfiguration(*config, change, error);
    const int result = finish("setVideoConfiguration",
                              {{"width", intValue(config->width)},
                               {"height", intValue(config->height)},
                               {"frameRate", intValue(config->frameRate)},
                               {"minFrameRate", intValue(config->minFrameRate)},
                               {"bitrate", intValue(config->bitrate)},
                               {"minBitrate", intValue(config->minBitrate)},
                               {"orientationMode", intValue(config->orientationMode)},
                               {"degradationPreference", intValue(config->degradationPreference)},
                               {"mirrorMode", intValue(config->mirrorMode)}},
                              valid ? kOk : kInvalidArgument);
    if (!valid) {
        reportBadSetting("setVideoConfiguration", error);
    }
    if (result == kOk) {
        change.applyTo(state_->settings(), state_->switches());
    }
    return result;
}

int SimEngine::setupView(const char* call, const rtc::VideoCanvas* canvas) {
    if (canvas == nullptr) {
        return finish(call, {{"canvas", nullValue()}}, kInvalidArgument);
    }
    return finish(call, {{"view", intValue(canvas->view)},
                         {"mode", intValue(canvas->mode)},
                         {"label", boundedTextValue(canvas->label, rtc::kCanvasLabelSize)},
                         {"uid", intValue(canvas->uid)},
                         {"reserved", intValue(canvas->reserved)},
                         {"reserved2", intValue(canvas->reserved2)}});
}

int SimEngine::setupLocalView(const rtc::VideoCanvas* canvas) {
    return setupView("setupLocalView", canvas);
}

int SimEngine::setupRemoteView(const rtc::VideoCanvas* canvas) {
    return setupView("setupRemoteView", canvas);
}

int SimEngine::activateLocalView() {
    return finish("activateLocalView", {});
}

int SimEngine::enableAudio() {
    return switched(finish("enableAudio", {}), &MediaSwitches::audio, true);
}

int SimEngine::setLocalAudioEnabled(bool enabled) {
    return switched(finish("setLocalAudioEnabled", {{"enabled", boolValue(enabled)}}),
                    &MediaSwitches::localAudio, enabled);
}

int SimEngine::disableAudio() {
    return switched(finish("disableAudio", {}), &MediaSwitches::audio, false);
}

int SimEngine::setAudioProfile(int profile, int scenario) {
    return finish("setAudioProfile",
                  {{"profile", intValue(profile)}, {"scenario", intValue(scenario)}});
}

int SimEngine::muteAllRemoteAudioStreams(bool mute) {
    return switched(finish("muteAllRemoteAudioStreams", {{"mute", boolValue(mute)}}),
                    &MediaSwitches::remoteAudioMuted, mute);
}

int SimEngine::enableDualStreamMode(bool enabled) {
    return finish("enableDualStreamMode", {{"enabled", boolValue(enabled)}});
}

}  // namespace sim
}  // namespace velto
