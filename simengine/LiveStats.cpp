#include "simengine/LiveStats.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

namespace velto {
namespace sim {

namespace {

using Clock = LiveCall::Clock;

// While statistics are switched off, how often to look whether they were switched on again.
constexpr int kIdleRecheckMs = 250;

struct Taken {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
};

Taken take(const FlowCounter& counter) {
    return Taken{counter.frames.load(std::memory_order_relaxed),
                 counter.bytes.load(std::memory_order_relaxed)};
}

// Change of a counter over one interval, as a rate per second and a bitrate in kbit/s.
struct Delta {
    Taken before;
    Taken now;
    double seconds;

    int32_t fps() const { return perSecond(static_cast<double>(now.frames - before.frames)); }
    int32_t kbps() const {
        return perSecond(static_cast<double>(now.bytes - before.bytes) * 8.0 / 1000.0);
    }
    int32_t perSecond(double amount) const {
        if (seconds <= 0) {
            return 0;
        }
        const double value = std::round(amount / seconds);
        return static_cast<int32_t>(std::min(value, 2147483647.0));
    }
};

int32_t clampInt(std::uint64_t value) {
    return static_cast<int32_t>(std::min<std::uint64_t>(value, 2147483647u));
}

class StatisticsReporter : public std::enable_shared_from_this<StatisticsReporter> {
  public:
    explicit StatisticsReporter(std::shared_ptr<LiveCall> call)
        : call_(std::move(call)), last_(call_->startedAt()) {}

    void schedule(Clock::time_point due) {
        auto self = shared_from_this();
        call_->postAt(kEventThread, due, [self, due] { self->run(due); });
    }

    void scheduleFirst() {
        const int interval = call_->engine().settings().statsIntervalMs();
        schedule(last_ + std::chrono::milliseconds(interval > 0 ? interval : kIdleRecheckMs));
    }

  private:
    struct UserTaken {
        Taken video;
        Taken audio;
    };

    void run(Clock::time_point due) {
        if (call_->stopped()) {
            return;
        }
        const int interval = call_->engine().settings().statsIntervalMs();
        const Clock::time_point now = Clock::now();
        if (interval > 0) {
            report(std::chrono::duration<double>(now - last_).count());
        }
        last_ = now;
        // By absolute time: the next report is due one interval after this one was.
        Clock::time_point next =
            due + std::chrono::milliseconds(interval > 0 ? interval : kIdleRecheckMs);
        if (next <= now) {
            next = now + std::chrono::milliseconds(interval > 0 ? interval : kIdleRecheckMs);
        }
        schedule(next);
    }

    void report(double seconds) {
        const LiveCall& call = *call_;
        const LocalVideo video = call.engine().settings().video();
        const LocalAudio audio = call.engine().settings().audio();

        const Delta captured{captured_, take(call.captured), seconds};
        const Delta sent{videoSent_, take(call.videoSent), seconds};
        rtc::LocalVideoStats localVideo{};
        localVideo.sentBitrate = sent.kbps();
        localVideo.sentFrameRate = sent.fps();
        localVideo.encoderOutputFrameRate = sent.fps();
        localVideo.rendererOutputFrameRate = captured.fps();
        const double rawKbps = video.width * video.height * 1.5 * 8.0 * video.fps / 1000.0;
        localVideo.targetBitrate =
            video.bitrateKbps > 0 ? video.bitrateKbps : static_cast<int32_t>(rawKbps);
        localVideo.targetFrameRate = video.fps;
        localVideo.encodedBitrate = sent.kbps();
        localVideo.encodedFrameWidth = call.sentWidth.load();
        localVideo.encodedFrameHeight = call.sentHeight.load();
        localVideo.encodedFrameCount = clampInt(sent.now.frames);
        localVideo.codecType = 0;  // raw I420: nothing is encoded
        localVideo.captureFrameRate = captured.fps();
        captured_ = captured.now;
        videoSent_ = sent.now;
        if (call.stopped()) {
            return;
        }
        call.notify("onLocalVideoStats", 0, 0,
                    [&](const HandlerCalls& h) { h.onLocalVideoStats(localVideo); });

        // Simulated users and members in other processes alike; a user seen for the first
        // time counts from zero.
        const std::vector<std::shared_ptr<RemoteUser>> users = call.remoteUsers();
        std::map<const RemoteUser*, UserTaken> now;
        for (const auto& user : users) {
            now[user.get()] = UserTaken{take(user->videoIn), take(user->audioIn)};
        }
        for (const auto& shared : users) {
            const RemoteUser& user = *shared;
            if (!user.present.load() || !user.spec.video || call.stopped()) {
                continue;
            }
            const Delta in{users_[&user].video, now[&user].video, seconds};
            rtc::RemoteVideoStats remote{};
            remote.uid = user.spec.uid;
            remote.delay = user.videoDelayMs.load();
            remote.width = user.width.load();
            remote.height = user.height.load();
            remote.receivedBitrate = in.kbps();
            remote.decoderOutputFrameRate = in.fps();
            remote.rendererOutputFrameRate = in.fps();
            call.notify("onRemoteVideoStats", user.spec.uid, 0,
                        [&](const HandlerCalls& h) { h.onRemoteVideoStats(remote); });
        }

        const Delta audioSent{audioSent_, take(call.audioSent), seconds};
        audioSent_ = audioSent.now;
        rtc::LocalAudioStats localAudio{};
        localAudio.numChannels = audio.channels;
        localAudio.sentSampleRate = audio.sampleRate;
        localAudio.sentBitrate = audioSent.kbps();
        if (call.stopped()) {
            return;
        }
        call.notify("onLocalAudioStats", 0, 0,
                    [&](const HandlerCalls& h) { h.onLocalAudioStats(localAudio); });

        const std::int64_t nowMs = call.elapsedMs();
        for (const auto& shared : users) {
            const RemoteUser& user = *shared;
            if (!user.present.load() || !user.spec.audio || call.stopped()) {
                continue;
            }
            const Delta in{users_[&user].audio, now[&user].audio, seconds};
            rtc::RemoteAudioStats remote{};
            remote.uid = user.spec.uid;
            remote.quality = in.fps() > 0 ? 1 : 0;  // 1 excellent; 0 unknown while nothing came
            remote.numChannels = user.channels.load();
            remote.receivedSampleRate = user.sampleRate.load();
            remote.receivedBitrate = in.kbps();
            remote.totalActiveTime = clampInt(now[&user].audio.frames * 10);  // 10 ms a frame
            remote.publishDuration = clampInt(static_cast<std::uint64_t>(
                std::max<std::int64_t>(0, nowMs - user.joinedMs.load())));
            call.notify("onRemoteAudioStats", user.spec.uid, 0,
                        [&](const HandlerCalls& h) { h.onRemoteAudioStats(remote); });
        }
        // Users gone since are forgotten; the call keeps them alive while they are listed.
        users_.clear();
        for (const auto& user : users) {
            users_[user.get()] = now[user.get()];
        }
        held_ = users;
    }

    const std::shared_ptr<LiveCall> call_;
    Clock::time_point last_;
    // Counters as the last report saw them; only this reporter's thread touches them.
    Taken captured_;
    Taken videoSent_;
    Taken audioSent_;
    std::map<const RemoteUser*, UserTaken> users_;
    // The users users_ names, kept alive so that no address is reused while it is a key.
    std::vector<std::shared_ptr<RemoteUser>> held_;
};

std::uint32_t clampWord(std::uint64_t value) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

void startStatistics(const std::shared_ptr<LiveCall>& call) {
    std::make_shared<StatisticsReporter>(call)->scheduleFirst();
}

rtc::RtcStats callTotals(const LiveCall& call) {
    rtc::RtcStats totals{};
    totals.duration = clampWord(static_cast<std::uint64_t>(call.elapsedMs() / 1000));
    totals.txBytes = clampWord(take(call.videoSent).bytes + take(call.audioSent).bytes);
    std::uint64_t received = 0;
    std::uint32_t users = 1;
    for (const auto& user : call.remoteUsers()) {
        received += take(user->videoIn).bytes + take(user->audioIn).bytes;
        users += user->present.load() ? 1 : 0;
    }
    totals.rxBytes = clampWord(received);
    totals.userCount = users;
    return totals;
}

}  // namespace sim
}  // namespace velto
