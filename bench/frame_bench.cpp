// Native half of bench/frame_path.py, compiled by it at run time into a temporary library and
// called through ctypes.CDLL (so the GIL is released while these run).
//
// Every fb_* function starts one std::thread, runs `warmup` untimed frames and then `count` timed
// frames on it, joins it and returns the steady_clock nanoseconds of the timed loop; the thread's
// CPU time for the loop goes to `*cpuNs`, which leaves out the time the thread waited for a CPU
// on a busy machine. One thread per call, and all frames of a call on it, is what an engine media
// thread looks like to the module: it keeps one thread state for the thread instead of paying
// for a new one per frame.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "sdk/MediaFrames.h"

using velto::media::EngineAudioFrame;
using velto::media::EngineVideoFrame;
using velto::media::IAudioFrameObserver;
using velto::media::IVideoFrameObserver;

namespace {

int64_t threadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Times body(count) on the calling thread after body(warmup).
template <typename Body>
int64_t timed(int64_t warmup, int64_t count, int64_t* cpuNs, Body body) {
    body(warmup);
    const int64_t cpuStart = threadCpuNs();
    const auto start = std::chrono::steady_clock::now();
    body(count);
    const auto stop = std::chrono::steady_clock::now();
    *cpuNs = threadCpuNs() - cpuStart;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count();
}

template <typename Body>
int64_t timedOnNewThread(int64_t warmup, int64_t count, int64_t* cpuNs, Body body) {
    int64_t elapsed = 0;
    std::thread thread([&] { elapsed = timed(warmup, count, cpuNs, body); });
    thread.join();
    return elapsed;
}

// The floor's copies land in memory the compiler cannot see used; without this barrier it could
// merge the copy in with the copy back, or hoist them out of the loop.
inline void keepMemory() {
    asm volatile("" ::: "memory");
}

}  // namespace

extern "C" {

// `observer` is the module's IAudioFrameObserver as the engine was given it; `buffer` holds
// samples * bytesPerSample * channels bytes.
int64_t fb_module_audio(void* observer, void* buffer, int32_t samples, int32_t bytesPerSample,
                        int32_t channels, int32_t samplesPerSec, int64_t warmup, int64_t count,
                        int64_t* cpuNs) {
    auto* target = static_cast<IAudioFrameObserver*>(observer);
    EngineAudioFrame frame{};
    frame.type = 0;
    frame.samples = samples;
    frame.bytesPerSample = bytesPerSample;
    frame.channels = channels;
    frame.samplesPerSec = samplesPerSec;
    frame.buffer = buffer;
    return timedOnNewThread(warmup, count, cpuNs, [&](int64_t frames) {
        for (int64_t i = 0; i < frames; ++i) {
            target->onStreamAudioRecord(frame);
        }
    });
}

// I420 planes of width * height and a quarter of that each.
int64_t fb_module_video(void* observer, void* y, void* u, void* v, int32_t width, int32_t height,
                        int64_t warmup, int64_t count, int64_t* cpuNs) {
    auto* target = static_cast<IVideoFrameObserver*>(observer);
    EngineVideoFrame frame{};
    frame.type = 0;
    frame.width = width;
    frame.height = height;
    frame.yStride = width;
    frame.uStride = (width + 1) / 2;
    frame.vStride = (width + 1) / 2;
    frame.yPlane = y;
    frame.uPlane = u;
    frame.vPlane = v;
    return timedOnNewThread(warmup, count, cpuNs, [&](int64_t frames) {
        for (int64_t i = 0; i < frames; ++i) {
            target->onStreamVideoCap(frame);
        }
    });
}

// The floor: each plane copied out to a buffer of its own and back, two copies per frame, the
// least any bridge that hands the callable a copy and applies its answer can do.
int64_t fb_floor(void* const* planes, const int64_t* sizes, int32_t planeCount, int64_t warmup,
                 int64_t count, int64_t* cpuNs) {
    std::vector<std::vector<unsigned char>> staging;
    for (int32_t p = 0; p < planeCount; ++p) {
        staging.emplace_back(static_cast<size_t>(sizes[p]));
    }
    return timedOnNewThread(warmup, count, cpuNs, [&](int64_t frames) {
        for (int64_t i = 0; i < frames; ++i) {
            for (int32_t p = 0; p < planeCount; ++p) {
                const auto size = static_cast<size_t>(sizes[p]);
                std::memcpy(staging[p].data(), planes[p], size);
                keepMemory();
                std::memcpy(planes[p], staging[p].data(), size);
                keepMemory();
            }
        }
    });
}

// A ctypes CFUNCTYPE callback per frame, (pointer, length) per plane.
using AudioCallback = void (*)(void*, size_t);
using VideoCallback = void (*)(void*, size_t, void*, size_t, void*, size_t);

int64_t fb_ctypes_audio(AudioCallback callback, void* buffer, size_t size, int64_t warmup,
                        int64_t count, int64_t* cpuNs) {
    return timedOnNewThread(warmup, count, cpuNs, [&](int64_t frames) {
        for (int64_t i = 0; i < frames; ++i) {
            callback(buffer, size);
        }
    });
}

int64_t fb_ctypes_video(VideoCallback callback, void* y, size_t ySize, void* u, size_t uSize,
                        void* v, size_t vSize, int64_t warmup, int64_t count, int64_t* cpuNs) {
    return timedOnNewThread(warmup, count, cpuNs, [&](int64_t frames) {
        for (int64_t i = 0; i < frames; ++i) {
            callback(y, ySize, u, uSize, v, vSize);
        }
    });
}

// The same callbacks as a careful ctypes user's bridge would be called with: the frame's numbers
// as plain ints, then (pointer, length) per plane.
using AudioFrameCallback = void (*)(int32_t, int32_t, int32_t, int32_t, int32_t, void*, size_t);
using VideoFrameCallback = void (*)(int32_t, int32_t, int32_t, int32_t, void*, size_t, void*,
                                    size_t, void*, size_t);

int64_t fb_ctypes_audio_frame(AudioFrameCallback callback, void* buffer, int32_t samples,
                              int32_t bytesPerSample, int32_t channels, int32_t samplesPerSec,
                              int64_t warmup, int64_t count, int64_t* cpuNs) {
    const auto size = static_cast<size_t>(samples) * static_cast<size_t>(bytesPerSample) *
                      static_cast<size_t>(channels);
    return timedOnNewThread(warmup, count, cpuNs, [&](int64_t frames) {
        for (int64_t i = 0; i < frames; ++i) {
            callback(0, 0, samples, channels, samplesPerSec, buffer, size);
        }
    });
}

int64_t fb_ctypes_video_frame(VideoFrameCallback callback, void* y, void* u, void* v, int32_t width,
                              int32_t height, int64_t warmup, int64_t count, int64_t* cpuNs) {
    const auto ySize = static_cast<size_t>(width) * static_cast<size_t>(height);
    return timedOnNewThread(warmup, count, cpuNs, [&](int64_t frames) {
        for (int64_t i = 0; i < frames; ++i) {
            callback(10, 0, width, height, y, ySize, u, ySize / 4, v, ySize / 4);
        }
    });
}

// Real-time pacing: one audio frame due every `periodNs` on a new thread, as an engine's audio
// thread delivers them; after one untimed frame, how long after it was due each of `count` frames
// was done goes to delaysNs[i] (steady_clock). A frame that waits for the GIL shows here, and so
// do the frames behind it, which start late. Returns the loop's length.
int64_t fb_module_audio_paced(void* observer, void* buffer, int32_t samples, int32_t bytesPerSample,
                              int32_t channels, int32_t samplesPerSec, int64_t count,
                              int64_t periodNs, int64_t* delaysNs) {
    auto* target = static_cast<IAudioFrameObserver*>(observer);
    EngineAudioFrame frame{};
    frame.samples = samples;
    frame.bytesPerSample = bytesPerSample;
    frame.channels = channels;
    frame.samplesPerSec = samplesPerSec;
    frame.buffer = buffer;
    int64_t elapsed = 0;
    std::thread thread([&] {
        using Clock = std::chrono::steady_clock;
        target->onStreamAudioRecord(frame);
        const auto start = Clock::now();
        auto next = start;
        for (int64_t i = 0; i < count; ++i) {
            std::this_thread::sleep_until(next);
            target->onStreamAudioRecord(frame);
            delaysNs[i] =
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - next).count();
            next += std::chrono::nanoseconds(periodNs);
        }
        elapsed =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    });
    thread.join();
    return elapsed;
}

// The interpreter entry points the analysis needs, passed in by address so that this file needs
// no Python headers and stays the same for every interpreter.
struct PyApi {
    int (*ensure)();                        // PyGILState_Ensure
    void (*release)(int);                   // PyGILState_Release
    void* (*save)();                        // PyEval_SaveThread
    void (*restore)(void*);                 // PyEval_RestoreThread
    void* (*call)(void*, void*, void*);     // PyObject_Call
    void (*decref)(void*);                  // Py_DecRef
    void* (*bytes)(const void*, intptr_t);  // PyBytes_FromStringAndSize
    void* (*integer)(long);                 // PyLong_FromLong
};

// Per frame, with nothing else in between: the GIL taken and let go (through the PyGILState pair
// as the module does, or, when `direct`, by restoring and saving the kept state itself); if
// `data` is not null, a bytes copy of it and two ints that are no small ints (as the module makes
// for an audio frame) made and dropped under it; if `callable` is not null, callable(*args)
// called under it. The thread keeps its thread state as the module's engine threads do.
int64_t fb_gil_round_trip(const PyApi* api, int32_t direct, const void* data, intptr_t size,
                          void* callable, void* args, int64_t warmup, int64_t count,
                          int64_t* cpuNs) {
    void* kept = nullptr;
    const auto body = [&](int64_t frames) {
        for (int64_t i = 0; i < frames; ++i) {
            int state = 0;
            if (direct != 0) {
                api->restore(kept);
            } else {
                state = api->ensure();
            }
            if (data != nullptr) {
                void* objects[] = {api->bytes(data, size), api->integer(480), api->integer(48000)};
                for (void* object : objects) {
                    if (object != nullptr) {
                        api->decref(object);
                    }
                }
            }
            if (callable != nullptr) {
                // The callables measured never fail; a null result would only be decref'd.
                void* result = api->call(callable, args, nullptr);
                if (result != nullptr) {
                    api->decref(result);
                }
            }
            if (direct != 0) {
                kept = api->save();
            } else {
                api->release(state);
            }
        }
    };
    int64_t elapsed = 0;
    std::thread thread([&] {
        // The first Ensure stays unmatched: it gives the thread the state it keeps.
        const int first = api->ensure();
        kept = api->save();
        elapsed = timed(warmup, count, cpuNs, body);
        api->restore(kept);
        api->release(first);  // the outermost release deletes the state
    });
    thread.join();
    return elapsed;
}

}  // extern "C"
