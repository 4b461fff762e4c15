#include "CallScript.h"

#include "ForeignEngine.h"
#include "Journal.h"
#include "SubInterfaces.h"

namespace foreign {

namespace {

using velto::media::EngineAudioFrame;
using velto::media::EngineVideoFrame;
using velto::rtc::IRtcEngineEventHandler;

// Stream kinds as the module numbers them for its callable.
enum Kind : int {
    kRecord = 0,
    kPlay = 1,
    kMix = 2,
    kPlayBeforeMix = 3,
    kCapture = 10,
    kRender = 11
};

constexpr int kSamples = 80;
constexpr int kChannels = 2;
constexpr int kBytesPerSample = 2;
constexpr int kSampleRate = 32000;
constexpr int kAudioBytes = kSamples * kChannels * kBytesPerSample;
constexpr int kWidth = 16;
constexpr int kHeight = 8;
constexpr int kLumaBytes = kWidth * kHeight;
constexpr int kChromaBytes = kLumaBytes / 4;

// Frame buffers of the one call thread that runs at a time.
unsigned char audioBuffer[kAudioBytes];
unsigned char planeBuffers[3][kLumaBytes];

const char* lastCall = "none";

// Noted before every call into the module, so a call that never returns can be named.
void calling(const char* name) {
    __atomic_store_n(&lastCall, name, __ATOMIC_RELEASE);
}

// Bytes no observer could guess by accident, different for every frame.
void fill(unsigned char* data, int size, int seed) {
    for (int i = 0; i < size; ++i) {
        data[i] = static_cast<unsigned char>(seed * 37 + i * 11 + (i >> 3));
    }
}

bool sameBytes(const void* a, const void* b, size_t size) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < size; ++i) {
        if (x[i] != y[i]) {
            return false;
        }
    }
    return true;
}

void journalFrame(JournalLine& line, int kind, unsigned int uid, bool answer, bool intact) {
    line.add("frame kind=").add(kind).add(" uid=").add(static_cast<int64_t>(uid));
    line.add(" answer=").add(answer ? 1 : 0).add(" intact=").add(intact ? 1 : 0);
}

void deliverAudio(int kind, unsigned int uid, int seed) {
    velto::media::IAudioFrameObserver* observer = attachedAudioObserver();
    JournalLine line;
    if (observer == nullptr) {
        journalAdd(line.add("frame kind=").add(kind).add(" observer=none"));
        return;
    }
    EngineAudioFrame frame;
    memset(&frame, 0, sizeof frame);
    frame.type = 0;
    frame.samples = kSamples;
    frame.bytesPerSample = kBytesPerSample;
    frame.channels = kChannels;
    frame.samplesPerSec = kSampleRate;
    frame.buffer = audioBuffer;
    frame.renderTimeMs = 5000 + seed;
    const EngineAudioFrame sent = frame;
    fill(audioBuffer, kAudioBytes, seed);
    const uint32_t sentHash = fnv1a(audioBuffer, kAudioBytes);
    bool answer = false;
    switch (kind) {
        case kRecord:
            calling("onStreamAudioRecord");
            answer = observer->onStreamAudioRecord(frame);
            break;
        case kPlay:
            calling("onStreamAudioPlay");
            answer = observer->onStreamAudioPlay(frame);
            break;
        case kMix:
            calling("onStreamAudioMix");
            answer = observer->onStreamAudioMix(frame);
            break;
        default:
            calling("onStreamAudioPlayBeforeMix");
            answer = observer->onStreamAudioPlayBeforeMix(uid, frame);
            break;
    }
    journalFrame(line, kind, uid, answer, sameBytes(&frame, &sent, sizeof frame));
    line.add(" samples=").add(kSamples).add(" channels=").add(kChannels);
    line.add(" rate=").add(kSampleRate);
    line.add(" sent=").hex(sentHash).add(" back=").hex(fnv1a(audioBuffer, kAudioBytes));
    journalAdd(line);
}

void deliverVideo(int kind, unsigned int uid, int seed) {
    velto::media::IVideoFrameObserver* observer = attachedVideoObserver();
    JournalLine line;
    if (observer == nullptr) {
        journalAdd(line.add("frame kind=").add(kind).add(" observer=none"));
        return;
    }
    const int sizes[3] = {kLumaBytes, kChromaBytes, kChromaBytes};
    EngineVideoFrame frame;
    memset(&frame, 0, sizeof frame);
    frame.type = 1;
    frame.width = kWidth;
    frame.height = kHeight;
    frame.yStride = kWidth;
    frame.uStride = kWidth / 2;
    frame.vStride = kWidth / 2;
    frame.yPlane = planeBuffers[0];
    frame.uPlane = planeBuffers[1];
    frame.vPlane = planeBuffers[2];
    frame.renderTimeMs = 7000 + seed;
    const EngineVideoFrame sent = frame;
    uint32_t sentHashes[3];
    for (int i = 0; i < 3; ++i) {
        fill(planeBuffers[i], sizes[i], seed * 3 + i);
        sentHashes[i] = fnv1a(planeBuffers[i], sizes[i]);
    }
    calling(kind == kCapture ? "onStreamVideoCap" : "onStreamVideoRender");
    const bool answer = kind == kCapture ? observer->onStreamVideoCap(frame)
                                         : observer->onStreamVideoRender(uid, frame);
    journalFrame(line, kind, uid, answer, sameBytes(&frame, &sent, sizeof frame));
    line.add(" width=").add(kWidth).add(" height=").add(kHeight).add(" sent=");
    for (int i = 0; i < 3; ++i) {
        line.add(i == 0 ? "" : ",").hex(sentHashes[i]);
    }
    line.add(" back=");
    for (int i = 0; i < 3; ++i) {
        line.add(i == 0 ? "" : ",").hex(fnv1a(planeBuffers[i], sizes[i]));
    }
    journalAdd(line);
}

// Every field numbered `base` + its place in the record, unused ones too, so that a field read
// from the wrong offset shows in the printed line.
template <typename Record>
Record numbered(int32_t base) {
    static_assert(sizeof(Record) % 4 == 0, "records of 32-bit slots");
    Record record;
    int32_t words[sizeof(Record) / 4];
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i) {
        words[i] = base + static_cast<int32_t>(i);
    }
    memcpy(&record, words, sizeof record);
    return record;
}

void reportStatistics(IRtcEngineEventHandler& handler) {
    calling("onLocalVideoStats");
    handler.onLocalVideoStats(numbered<velto::rtc::LocalVideoStats>(100));
    velto::rtc::RemoteVideoStats remoteVideo = numbered<velto::rtc::RemoteVideoStats>(200);
    remoteVideo.uid = kRemoteUsers[0];
    calling("onRemoteVideoStats");
    handler.onRemoteVideoStats(remoteVideo);
    calling("onLocalAudioStats");
    handler.onLocalAudioStats(numbered<velto::rtc::LocalAudioStats>(300));
    velto::rtc::RemoteAudioStats remoteAudio = numbered<velto::rtc::RemoteAudioStats>(400);
    remoteAudio.uid = kRemoteUsers[1];
    calling("onRemoteAudioStats");
    handler.onRemoteAudioStats(remoteAudio);
}

void journalStep(const char* step) {
    JournalLine line;
    journalAdd(line.add("script ").add(step));
}

}  // namespace

const char* lastCallIntoModule() {
    return __atomic_load_n(&lastCall, __ATOMIC_ACQUIRE);
}

unsigned long playJoinedCall(void* parameter) {
    ForeignEngine& owner = *static_cast<ForeignEngine*>(parameter);
    IRtcEngineEventHandler* handler = owner.handler();
    if (handler == nullptr) {
        journalStep("no-handler");
        return 1;
    }
    // Every slot of the handler once, in its declaration order where the call allows it; the
    // slots the module leaves empty must stay harmless.
    calling("onWarning");
    handler->onWarning(104, "foreign engine warning");
    calling("onError");
    handler->onError(105, "foreign engine error");
    calling("onJoinChannelSuccess");
    handler->onJoinChannelSuccess(owner.channel(), owner.uid(), 12);
    calling("onRejoinChannelSuccess");
    handler->onRejoinChannelSuccess(owner.channel(), owner.uid(), 13);
    calling("onRemoteUserJoined");
    handler->onRemoteUserJoined(kRemoteUsers[0], 20);
    calling("onRemoteUserJoined");
    handler->onRemoteUserJoined(kRemoteUsers[1], 21);
    journalStep("users");
    const int localAudio[] = {kRecord, kPlay, kMix};
    const unsigned int remotes[] = {kRemoteUsers[0], kRemoteUsers[1]};
    int seed = 1;
    for (int kind : localAudio) {
        if (owner.alive()) {
            deliverAudio(kind, 0, seed++);
        }
    }
    for (unsigned int uid : remotes) {
        if (owner.alive()) {
            deliverAudio(kPlayBeforeMix, uid, seed++);
        }
    }
    if (owner.alive()) {
        deliverVideo(kCapture, 0, seed++);
    }
    for (unsigned int uid : remotes) {
        if (owner.alive()) {
            deliverVideo(kRender, uid, seed++);
        }
    }
    journalStep("frames");
    if (!owner.alive()) {
        journalStep("released");
        return 1;
    }
    calling("onFirstRemoteVideoFrame");
    handler->onFirstRemoteVideoFrame(kRemoteUsers[0], kWidth, kHeight, 30);
    reportStatistics(*handler);
    calling("onConnectionLost");
    handler->onConnectionLost();
    calling("onRemoteUserOffline");
    handler->onRemoteUserOffline(kRemoteUsers[0], 1);
    calling("onRemoteUserJoined");
    handler->onRemoteUserJoined(kRemoteUsers[2], 40);
    calling("none");
    journalStep("done");
    return 0;
}

unsigned long playChannelLeft(void* parameter) {
    ForeignEngine& owner = *static_cast<ForeignEngine*>(parameter);
    if (IRtcEngineEventHandler* handler = owner.handler()) {
        velto::rtc::RtcStats stats;
        stats.duration = 61;
        stats.txBytes = 62000;
        stats.rxBytes = 63000;
        stats.userCount = 3;
        calling("onChannelLeft");
        handler->onChannelLeft(stats);
        calling("none");
    }
    journalStep("left");
    return 0;
}

}  // namespace foreign
