#include "ForeignEngine.h"

#include "CallScript.h"
#include "Journal.h"
#include "SubInterfaces.h"

namespace foreign {

namespace {

constexpr unsigned long kInfinite = 0xFFFFFFFFul;

[[clang::require_constant_initialization]] ForeignEngine theEngine;

void addCanvas(JournalLine& line, const velto::rtc::VideoCanvas* canvas) {
    if (canvas == nullptr) {
        line.add(" canvas=null");
        return;
    }
    line.add(" view=").add(canvas->view).add(" mode=").add(canvas->mode);
    line.add(" uid=").add(static_cast<int64_t>(canvas->uid));
}

}  // namespace

ForeignEngine& engine() {
    return theEngine;
}

void ForeignEngine::start() {
    handler_ = nullptr;
    channel_[0] = 0;
    uid_ = 0;
    detachObservers();
    __atomic_store_n(&alive_, true, __ATOMIC_RELEASE);
}

void ForeignEngine::finish(bool sync) {
    __atomic_store_n(&alive_, false, __ATOMIC_RELEASE);
    if (sync) {
        waitForCallThread(kInfinite);
    }
    JournalLine line;
    line.add("release sync=").add(sync ? 1 : 0);
    line.add(" outstanding=").add(outstandingSubInterfaces());
    journalAdd(line);
}

bool ForeignEngine::waitForCallThread(unsigned long milliseconds) {
    void* thread = __atomic_load_n(&callThread_, __ATOMIC_ACQUIRE);
    if (thread == nullptr) {
        return true;
    }
    if (WaitForSingleObject(thread, milliseconds) != kWaitObject0) {
        return false;
    }
    // Only one waiter closes the handle.
    if (__atomic_compare_exchange_n(&callThread_, &thread, nullptr, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        CloseHandle(thread);
    }
    return true;
}

void ForeignEngine::startCallThread(ThreadStart* script) {
    // One call thread at a time: the previous one has played its script by the time the module
    // asks for the next (the test waits for each through foreignEngineWait).
    if (!waitForCallThread(0)) {
        JournalLine line;
        line.add("callThreadBusy");
        journalAdd(line);
        return;
    }
    void* thread = CreateThread(nullptr, 0, script, this, 0, nullptr);
    __atomic_store_n(&callThread_, thread, __ATOMIC_RELEASE);
    if (thread == nullptr) {
        JournalLine line;
        line.add("createThreadFailed");
        journalAdd(line);
    }
}

int ForeignEngine::journalPlain(const char* name, int64_t value) {
    JournalLine line;
    line.add(name).add(" value=").add(value);
    journalAdd(line);
    return 0;
}

int ForeignEngine::initialize(const velto::rtc::EngineContext* context) {
    JournalLine line;
    line.add("initialize");
    if (context == nullptr) {
        journalAdd(line.add(" context=null"));
        return -2;
    }
    handler_ = context->eventHandler;
    line.add(" handler=").add(handler_ != nullptr ? 1 : 0);
    line.add(" initText=").add(context->initText);
    line.add(" extraWord=").hex(context->extraWord);
    journalAdd(line);
    return 0;
}

int ForeignEngine::setChannelProfile(int profile) {
    return journalPlain("setChannelProfile", profile);
}

int ForeignEngine::setClientRole(int role) {
    return journalPlain("setClientRole", role);
}

int ForeignEngine::joinChannel(const char* key, const char* channel, const char* info,
                               unsigned int uid) {
    JournalLine line;
    line.add("joinChannel key=").add(key).add(" channel=").add(channel).add(" info=").add(info);
    line.add(" uid=").add(static_cast<int64_t>(uid));
    journalAdd(line);
    if (channel == nullptr || textLength(channel) >= sizeof channel_) {
        return -2;
    }
    memcpy(channel_, channel, textLength(channel) + 1);
    uid_ = uid;
    startCallThread(playJoinedCall);
    return 0;
}

int ForeignEngine::leaveChannel() {
    JournalLine line;
    journalAdd(line.add("leaveChannel"));
    startCallThread(playChannelLeft);
    return 0;
}

int ForeignEngine::getSubInterface(int id, void** out) {
    JournalLine line;
    line.add("getSubInterface id=").add(id);
    journalAdd(line);
    if (out == nullptr) {
        return -2;
    }
    *out = handOutSubInterface(id);
    return *out != nullptr ? 0 : -2;
}

int ForeignEngine::enableVideo() {
    return journalPlain("enableVideo", 1);
}

int ForeignEngine::disableVideo() {
    return journalPlain("disableVideo", 1);
}

int ForeignEngine::setVideoConfiguration(const velto::rtc::VideoConfiguration* config) {
    JournalLine line;
    line.add("setVideoConfiguration");
    if (config == nullptr) {
        journalAdd(line.add(" config=null"));
        return -2;
    }
    const int32_t fields[] = {config->width,           config->height,
                              config->frameRate,       config->minFrameRate,
                              config->bitrate,         config->minBitrate,
                              config->orientationMode, config->degradationPreference,
                              config->mirrorMode};
    line.add(" fields=");
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) {
        line.add(i == 0 ? "" : ",").add(fields[i]);
    }
    journalAdd(line);
    return 0;
}

int ForeignEngine::setupLocalView(const velto::rtc::VideoCanvas* canvas) {
    JournalLine line;
    line.add("setupLocalView");
    addCanvas(line, canvas);
    journalAdd(line);
    return 0;
}

// Reached on this engine's own call thread: the module binds a view from inside
// onRemoteUserJoined.
int ForeignEngine::setupRemoteView(const velto::rtc::VideoCanvas* canvas) {
    JournalLine line;
    line.add("setupRemoteView");
    addCanvas(line, canvas);
    journalAdd(line);
    return 0;
}

int ForeignEngine::activateLocalView() {
    return journalPlain("activateLocalView", 1);
}

int ForeignEngine::enableAudio() {
    return journalPlain("enableAudio", 1);
}

int ForeignEngine::setLocalAudioEnabled(bool enabled) {
    return journalPlain("setLocalAudioEnabled", enabled ? 1 : 0);
}

int ForeignEngine::disableAudio() {
    return journalPlain("disableAudio", 1);
}

int ForeignEngine::setAudioProfile(int profile, int scenario) {
    JournalLine line;
    line.add("setAudioProfile profile=").add(profile).add(" scenario=").add(scenario);
    journalAdd(line);
    return 0;
}

int ForeignEngine::muteAllRemoteAudioStreams(bool mute) {
    return journalPlain("muteAllRemoteAudioStreams", mute ? 1 : 0);
}

int ForeignEngine::enableDualStreamMode(bool enabled) {
    return journalPlain("enableDualStreamMode", enabled ? 1 : 0);
}

}  // namespace foreign
