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

size_t vsim_journal_json(char* buf, size_t cap) {
    const std::string json = journal().toJson();
    if (buf != nullptr && cap > json.size()) {
        std::memcpy(buf, json.c_str(), json.size() + 1);
    }
    return json.size();
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
