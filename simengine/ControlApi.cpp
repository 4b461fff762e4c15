#include "simengine/ControlApi.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sdk/IRtcEngine.h"
#include "sdk/StatsRecords.h"
#include "simengine/Controls.h"
#include "simengine/FrameDelivery.h"
#include "simengine/Handouts.h"
#include "simengine/Journal.h"
#include "simengine/Library.h"
#include "simengine/LiveMode.h"
#include "simengine/LiveSettings.h"
#include "simengine/Notifications.h"
#include "simengine/PushQueue.h"
#include "simengine/WavSource.h"
#include "simengine/Y4mSource.h"

using namespace velto::sim;

namespace {
constexpr int kOptionsTimeoutMs = 5000;
}  // namespace

extern "C" {

void vsim_reset(void) {
    journal().clear();
    controls().reset();
    library().restartCounts();
    pushedMedia().clear();
}

namespace {

size_t copyText(const std::string& text, char* buf, size_t cap) {
    if (buf != nullptr && cap > text.size()) {
        std::memcpy(buf, text.c_str(), text.size() + 1);
    }
    return text.size();
}

std::string switchesJson(const MediaSwitches& s) {
    auto flag = [](const std::atomic<bool>& on) { return on.load() ? "true" : "false"; };
    return std::string("{\"audio\":") + flag(s.audio) + ",\"video\":" + flag(s.video) +
           ",\"localAudio\":" + flag(s.localAudio) +
           ",\"localVideoCapture\":" + flag(s.localVideoCapture) +
           ",\"localVideoSend\":" + flag(s.localVideoSend) +
           ",\"remoteAudioMuted\":" + flag(s.remoteAudioMuted) +
           ",\"remoteVideoMuted\":" + flag(s.remoteVideoMuted) + "}";
}

}  // namespace

size_t vsim_journal_json(char* buf, size_t cap) {
    return copyText(journal().toJson(), buf, cap);
}

void vsim_set_live(int mode) {
    setLiveMode(mode);
}

int vsim_live(void) {
    return liveWanted() ? 1 : 0;
}

size_t vsim_settings_json(char* buf, size_t cap) {
    const std::shared_ptr<EngineState> engine = library().route(0).engine;
    std::string json;
    if (engine == nullptr) {
        json = "{\"settings\":" + settingsJson(LiveSettings{}) +
               ",\"switches\":" + switchesJson(MediaSwitches{}) + ",\"inCall\":false}";
    } else {
        json = "{\"settings\":" + settingsJson(engine->settings().snapshot()) +
               ",\"switches\":" + switchesJson(engine->switches()) +
               ",\"inCall\":" + (engine->call() != nullptr ? "true" : "false") + "}";
    }
    return copyText(json, buf, cap);
}

void vsim_set_result(const char* call, int result) {
    if (call != nullptr) {
        controls().setResult(call, result);
    }
}

void vsim_clear_results(void) {
    controls().clearResults();
}

void vsim_refuse_subinterface(int id, int refuse) {
    controls().refuseSubInterface(id, refuse != 0);
}

void vsim_fail_resolve_path(int fail) {
    controls().setResolvePathFails(fail != 0);
}

void vsim_create_gives_null(int on) {
    controls().setCreateGivesNull(on != 0);
}

void vsim_counts(int* created, int* alive, int* released) {
    const EngineCounts counts = library().counts();
    if (created != nullptr) {
        *created = counts.created;
    }
    if (alive != nullptr) {
        *alive = counts.alive;
    }
    if (released != nullptr) {
        *released = counts.released;
    }
}

int vsim_outstanding_refs(int subInterfaceId) {
    return handouts().outstanding(subInterfaceId);
}

size_t vsim_record_size(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    struct Known {
        const char* name;
        size_t size;
    };
    static const Known kKnown[] = {
        {"RtcStats", sizeof(velto::rtc::RtcStats)},
        {"LocalVideoStats", sizeof(velto::rtc::LocalVideoStats)},
        {"RemoteVideoStats", sizeof(velto::rtc::RemoteVideoStats)},
        {"LocalAudioStats", sizeof(velto::rtc::LocalAudioStats)},
        {"RemoteAudioStats", sizeof(velto::rtc::RemoteAudioStats)},
        {"FirstFrameSize", sizeof(FirstFrameSize)},
        {"EngineContext", sizeof(velto::rtc::EngineContext)},
        {"VideoCanvas", sizeof(velto::rtc::VideoCanvas)},
        {"VideoConfiguration", sizeof(velto::rtc::VideoConfiguration)},
        {"EngineAudioFrame", sizeof(velto::media::EngineAudioFrame)},
        {"EngineVideoFrame", sizeof(velto::media::EngineVideoFrame)},
    };
    for (const Known& known : kKnown) {
        if (std::strcmp(known.name, name) == 0) {
            return known.size;
        }
    }
    return 0;
}

int vsim_fire(const char* event, uint32_t uid, int arg, const void* record, size_t recordSize,
              int thread, int timeoutMs) {
    return fireNotification(event, uid, arg, record, recordSize, thread, timeoutMs);
}

int vsim_deliver_audio(int streamType, uint32_t uid, int samples, int bytesPerSample, int channels,
                       int samplesPerSec, void* buffer, size_t bufferLen, int thread,
                       int timeoutMs) {
    return deliverAudio(streamType, uid, samples, bytesPerSample, channels, samplesPerSec,
                        FrameBytes{buffer, bufferLen}, thread, timeoutMs);
}

int vsim_deliver_video(int streamType, uint32_t uid, int width, int height, void* y, size_t yLen,
                       void* u, size_t uLen, void* v, size_t vLen, int thread, int timeoutMs) {
    return deliverVideo(streamType, uid, width, height, FrameBytes{y, yLen}, FrameBytes{u, uLen},
                        FrameBytes{v, vLen}, thread, timeoutMs);
}

int vsim_observer_options(int* out10) {
    return queryObserverOptions(out10, kOptionsTimeoutMs);
}

namespace {

constexpr int kNoEngine = -1;
constexpr int kNotASender = -4;

// The audio format sender `uid` plays in on the current engine; false when it plays no pushed
// media (no engine: `result` -1; an echo user or an unknown uid: -4).
bool senderFormat(uint32_t uid, int& rate, int& channels, int& result) {
    const Route route = library().route(0);
    const std::shared_ptr<EngineState> engine = route.engine;
    if (engine == nullptr || route.fallback) {
        result = kNoEngine;
        return false;
    }
    const LiveSettings settings = engine->settings().snapshot();
    if (uid == 0) {
        rate = settings.audio.sampleRate;
        channels = settings.audio.channels;
        return true;
    }
    for (const UserSpec& user : settings.users) {
        if (user.uid == uid && user.kind == UserKind::kPattern) {
            rate = user.sampleRate;
            channels = user.channels;
            return true;
        }
    }
    result = kNotASender;
    return false;
}

}  // namespace

int vsim_push_audio(uint32_t uid, const void* pcm, size_t bytes, int rate, int channels) {
    if (pcm == nullptr || rate < 1000 || rate > 384000 || channels < 1 || channels > 2 ||
        bytes == 0 || bytes % (2 * static_cast<size_t>(channels)) != 0) {
        return kPushTooLong;
    }
    int outRate = 0, outChannels = 0, result = 0;
    if (!senderFormat(uid, outRate, outChannels, result)) {
        return result;
    }
    std::vector<std::int16_t> samples(bytes / 2);
    std::memcpy(samples.data(), pcm, bytes);
    return pushedMedia().audioFor(uid)->push(samples.data(), samples.size() / channels, rate,
                                             channels, outRate, outChannels);
}

int vsim_push_video(uint32_t uid, int width, int height, const void* i420, size_t bytes) {
    if (i420 == nullptr || width < 2 || height < 2 || width > 3840 || height > 2160 ||
        width % 2 != 0 || height % 2 != 0 || bytes != static_cast<size_t>(width) * height * 3 / 2) {
        return kPushTooLong;
    }
    int rate = 0, channels = 0, result = 0;
    if (!senderFormat(uid, rate, channels, result)) {
        return result;
    }
    auto frame = std::make_shared<I420Frame>();
    frame->resize(width, height);
    const auto* planes = static_cast<const std::uint8_t*>(i420);
    std::memcpy(frame->y.data(), planes, frame->y.size());
    std::memcpy(frame->u.data(), planes + frame->y.size(), frame->u.size());
    std::memcpy(frame->v.data(), planes + frame->y.size() + frame->u.size(), frame->v.size());
    return pushedMedia().videoFor(uid)->push(std::move(frame));
}

void vsim_push_end(uint32_t uid) {
    pushedMedia().end(uid);
}

int vsim_check_media_file(int video, const char* path, char* error, size_t cap) {
    const std::string file = path != nullptr ? path : "";
    std::string reason;
    const bool playable = video != 0 ? Y4mSource::open(file, false, reason) != nullptr
                                     : WavSource::open(file, false, reason) != nullptr;
    if (error != nullptr && cap > 0) {
        error[0] = '\0';
    }
    if (playable) {
        return 0;
    }
    copyText(reason, error, cap);
    return -1;
}

}  // extern "C"
