#include "simengine/FrameDelivery.h"

#include <array>
#include <memory>

#include "sdk/MediaFrames.h"
#include "simengine/Dispatch.h"
#include "simengine/GuardedBuffer.h"
#include "simengine/Journal.h"
#include "simengine/Notifications.h"
#include "simengine/ObserverCalls.h"

namespace velto {
namespace sim {

namespace {

using media::EngineAudioFrame;
using media::EngineVideoFrame;
using media::IAudioFrameObserver;
using media::IVideoFrameObserver;

// Journals a delivery before the observer runs, so calls it makes follow it in the journal.
std::uint64_t recordDelivery(const Route& route, int streamType, uint32_t uid, int thread) {
    return journal().record(route.engine->id(), "deliver",
                            {{"stream", intValue(streamType)},
                             {"uid", intValue(uid)},
                             {"thread", intValue(thread)},
                             {"fallback", boolValue(route.fallback)}});
}

int dispatchFailure(DispatchStatus status) {
    return status == DispatchStatus::kTimedOut ? kDeliverTimedOut : kBadThreadIndex;
}

// Everything an audio delivery touches; owned by its task so a timed-out caller may leave.
struct AudioDelivery {
    AudioDelivery(const FrameBytes& bytes) : buffer(bytes.data, bytes.length) {}
    GuardedBuffer buffer;
    EngineAudioFrame frame{};
    int answer = kDeliverNoObserver;
};

struct VideoDelivery {
    VideoDelivery(const FrameBytes& y, const FrameBytes& u, const FrameBytes& v)
        : planes{GuardedBuffer(y.data, y.length), GuardedBuffer(u.data, u.length),
                 GuardedBuffer(v.data, v.length)} {}
    std::array<GuardedBuffer, 3> planes;
    EngineVideoFrame frame{};
    int answer = kDeliverNoObserver;
};

}  // namespace

int deliverAudio(int streamType, uint32_t uid, int samples, int bytesPerSample, int channels,
                 int samplesPerSec, FrameBytes buffer, int thread, int timeoutMs) {
    if (streamType < media::StreamAudioRecord || streamType > media::StreamAudioPlayBeforeMix) {
        return kDeliverBadStreamType;
    }
    auto delivery = std::make_shared<AudioDelivery>(buffer);
    const DispatchStatus status =
        dispatchToEngineThread(thread, timeoutMs, [=](const Route& route) {
            IAudioFrameObserver* observer =
                route.engine == nullptr ? nullptr : route.engine->audioObserver();
            if (observer == nullptr) {
                return;
            }
            EngineAudioFrame& frame = delivery->frame;
            frame.type = streamType;
            frame.samples = samples;
            frame.bytesPerSample = bytesPerSample;
            frame.channels = channels;
            frame.samplesPerSec = samplesPerSec;
            frame.buffer = delivery->buffer.data();
            frame.renderTimeMs = renderTimeNowMs();
            const std::uint64_t entry = recordDelivery(route, streamType, uid, thread);
            delivery->answer = callAudioObserver(*observer, streamType, uid, frame) ? 1 : 0;
            journal().complete(entry, delivery->answer);
        });
    if (status != DispatchStatus::kDone) {
        return dispatchFailure(status);
    }
    if (delivery->answer == kDeliverNoObserver) {
        return kDeliverNoObserver;
    }
    if (!delivery->buffer.intact()) {
        return kDeliverCanaryChanged;
    }
    delivery->buffer.copyTo(buffer.data);
    return delivery->answer;
}

int deliverVideo(int streamType, uint32_t uid, int width, int height, FrameBytes y, FrameBytes u,
                 FrameBytes v, int thread, int timeoutMs) {
    if (streamType != media::StreamVideoCap && streamType != media::StreamVideoRender) {
        return kDeliverBadStreamType;
    }
    auto delivery = std::make_shared<VideoDelivery>(y, u, v);
    const DispatchStatus status =
        dispatchToEngineThread(thread, timeoutMs, [=](const Route& route) {
            IVideoFrameObserver* observer =
                route.engine == nullptr ? nullptr : route.engine->videoObserver();
            if (observer == nullptr) {
                return;
            }
            EngineVideoFrame& frame = delivery->frame;
            frame.type = streamType;
            frame.width = width;
            frame.height = height;
            frame.yStride = width;
            // I420 chroma planes are half as wide; computed wide, so any width is safe.
            frame.uStride = static_cast<int32_t>((static_cast<int64_t>(width) + 1) / 2);
            frame.vStride = frame.uStride;
            frame.yPlane = delivery->planes[0].data();
            frame.uPlane = delivery->planes[1].data();
            frame.vPlane = delivery->planes[2].data();
            frame.rotation = 0;
            frame.renderTimeMs = renderTimeNowMs();
            const std::uint64_t entry = recordDelivery(route, streamType, uid, thread);
            delivery->answer = callVideoObserver(*observer, streamType, uid, frame) ? 1 : 0;
            journal().complete(entry, delivery->answer);
        });
    if (status != DispatchStatus::kDone) {
        return dispatchFailure(status);
    }
    if (delivery->answer == kDeliverNoObserver) {
        return kDeliverNoObserver;
    }
    for (const GuardedBuffer& plane : delivery->planes) {
        if (!plane.intact()) {
            return kDeliverCanaryChanged;
        }
    }
    delivery->planes[0].copyTo(y.data);
    delivery->planes[1].copyTo(u.data);
    delivery->planes[2].copyTo(v.data);
    return delivery->answer;
}

int queryObserverOptions(int* out, int timeoutMs) {
    struct Answers {
        std::array<int, 10> values{};
        bool complete = false;
    };
    auto answers = std::make_shared<Answers>();
    // The engine asks its observers on its own thread, as it does before streaming starts.
    const DispatchStatus status =
        dispatchToEngineThread(0, timeoutMs, [answers](const Route& route) {
            if (route.engine == nullptr) {
                return;
            }
            IAudioFrameObserver* audio = route.engine->audioObserver();
            IVideoFrameObserver* video = route.engine->videoObserver();
            journal().record(route.engine->id(), "observerOptions",
                             {{"audioObserver", addressValue(audio)},
                              {"videoObserver", addressValue(video)},
                              {"fallback", boolValue(route.fallback)}});
            std::array<int, 10>& v = answers->values;
            if (audio != nullptr) {
                v[0] = audio->audioOption1();
                v[1] = audio->audioOption2();
            }
            if (video != nullptr) {
                v[2] = video->videoOption1();
                v[3] = video->videoOption2();
                v[4] = video->videoOption3();
                v[5] = video->videoOption4();
                v[6] = video->videoOption5();
                v[7] = video->videoOption6();
                v[8] = video->videoOption7();
                v[9] = video->videoOption8();
            }
            answers->complete = audio != nullptr && video != nullptr;
        });
    if (status == DispatchStatus::kTimedOut) {
        return kDeliverTimedOut;
    }
    if (out != nullptr) {
        for (std::size_t i = 0; i < answers->values.size(); ++i) {
            out[i] = answers->values[i];
        }
    }
    return answers->complete ? 0 : kDeliverNoObserver;
}

}  // namespace sim
}  // namespace velto
