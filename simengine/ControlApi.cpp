#include "simengine/ControlApi.h"

#include <cstring>
#include <string>

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

using namespace velto::sim;

namespace {
constexpr int kOptionsTimeoutMs = 5000;
}  // namespace

extern "C" {

void vsim_reset(void) {
    journal().clear();
    controls().reset();
    library().restartCounts();
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

}  // extern "C"
