#include "simengine/AudioProducer.h"

#include <cstdint>
#include <map>
#include <vector>

#include "simengine/AudioMix.h"
#include "simengine/FrameDelivery.h"
#include "simengine/ObserverCalls.h"
#include "simengine/SenderMedia.h"
#include "simengine/SyntheticMedia.h"
#include "simengine/Ticker.h"

namespace velto {
namespace sim {

namespace {

constexpr int kRoundsPerSecond = 100;

class AudioProducer : public std::enable_shared_from_this<AudioProducer> {
  public:
    // Opens the senders' files on the joining thread.
    explicit AudioProducer(std::shared_ptr<LiveCall> call)
        : call_(std::move(call)),
          ticker_(call_->startedAt(), kRoundsPerSecond),
          microphone_(0, call_->engine().settings().audio().file,
                      call_->engine().settings().audio().loop, "sim.audio.file") {
        for (std::size_t i = 0; i < call_->users().size(); ++i) {
            const UserSpec& spec = call_->users()[i]->spec;
            if (spec.kind == UserKind::kPattern) {
                senders_.emplace(spec.uid, std::make_unique<SenderAudio>(
                                               spec.uid, spec.audioFile, spec.loop,
                                               "sim.users[" + std::to_string(i) + "].audioFile"));
            }
        }
    }

    void schedule() {
        auto self = shared_from_this();
        call_->postAt(kAudioThread, ticker_.due(), [self] { self->run(); });
    }

  private:
    void run() {
        if (call_->stopped()) {
            return;
        }
        round();
        ticker_.advance(LiveCall::Clock::now());
        schedule();
    }

    // Hands one frame to the observer, if any and while the call lasts.
    void deliver(int streamType, std::uint32_t uid, std::vector<std::int16_t>& pcm, int samples,
                 int channels, int rate) {
        media::IAudioFrameObserver* observer = call_->engine().audioObserver();
        if (observer == nullptr || call_->stopped()) {
            return;
        }
        media::EngineAudioFrame frame =
            audioFrameOf(streamType, pcm.data(), samples, channels, rate);
        callAudioObserver(*observer, streamType, uid, frame);
    }

    void round() {
        EngineState& engine = call_->engine();
        const MediaSwitches& on = engine.switches();
        if (!on.audio.load()) {
            return;
        }
        const LocalAudio local = engine.settings().audio();
        const int samples = local.sampleRate / kRoundsPerSecond;
        const std::uint64_t round = ticker_.index();

        const bool recording = on.localAudio.load();
        if (recording) {
            record_.resize(static_cast<std::size_t>(samples) * local.channels);
            if (!microphone_.read(record_.data(), samples, local.channels, local.sampleRate)) {
                fillTone(record_.data(), samples, local.channels, local.sampleRate, local.pitchHz,
                         round * samples);
            }
            deliver(media::StreamAudioRecord, 0, record_, samples, local.channels, local.sampleRate);
            call_->recorded.add(record_.size() * 2);
            call_->audioSent.add(record_.size() * 2);
            if (const auto& network = call_->network()) {
                network->sendAudio(record_.data(), samples, local.channels, local.sampleRate);
            }
        }

        AudioMixer playback(local.sampleRate, local.channels);
        if (!on.remoteAudioMuted.load()) {
            for (const auto& user : call_->users()) {
                if (user->present.load() && user->spec.audio) {
                    receive(*user, recording, local, round, playback);
                }
            }
        }
        receivePeers(!on.remoteAudioMuted.load(), playback);
        play_.resize(static_cast<std::size_t>(samples) * local.channels);
        playback.writeTo(play_.data());
        deliver(media::StreamAudioPlay, 0, play_, samples, local.channels, local.sampleRate);

        AudioMixer mix(local.sampleRate, local.channels);
        if (recording) {
            mix.add(record_.data(), samples, local.channels);
        }
        mix.add(play_.data(), samples, local.channels);
        mix_.resize(play_.size());
        mix.writeTo(mix_.data());
        deliver(media::StreamAudioMix, 0, mix_, samples, local.channels, local.sampleRate);
    }

    // One remote user's 10 ms: its tone, or for an echo user what was just recorded.
    void receive(RemoteUser& user, bool recording, const LocalAudio& local, std::uint64_t round,
                 AudioMixer& playback) {
        int rate = user.spec.sampleRate;
        int channels = user.spec.channels;
        if (user.spec.kind == UserKind::kEcho) {
            if (!recording) {
                return;  // nothing sent, nothing to echo
            }
            rate = local.sampleRate;
            channels = local.channels;
            remote_ = record_;
        } else {
            remote_.resize(static_cast<std::size_t>(rate / kRoundsPerSecond) * channels);
            const auto sender = senders_.find(user.spec.uid);
            if (sender == senders_.end() ||
                !sender->second->read(remote_.data(), rate / kRoundsPerSecond, channels, rate)) {
                fillTone(remote_.data(), rate / kRoundsPerSecond, channels, rate, user.spec.pitchHz,
                         round * static_cast<std::uint64_t>(rate / kRoundsPerSecond));
            }
        }
        const int samples = rate / kRoundsPerSecond;
        deliver(media::StreamAudioPlayBeforeMix, user.spec.uid, remote_, samples, channels, rate);
        user.sampleRate.store(rate);
        user.channels.store(channels);
        user.audioIn.add(remote_.size() * 2);
        playback.add(remote_.data(), samples, channels);
    }

    // The members in other processes: the oldest 10 ms waiting from each, as its
    // playback-before-mix frame and into the playback mix. While muted, what waits is dropped.
    void receivePeers(bool unmuted, AudioMixer& playback) {
        for (const auto& user : call_->remoteUsers()) {
            if (user->inbox == nullptr) {
                continue;
            }
            if (!unmuted) {
                user->inbox->clearAudio();
                continue;
            }
            if (!user->present.load() || !user->inbox->takeAudio(peerAudio_)) {
                continue;
            }
            const int samples = peerAudio_.samples;
            deliver(media::StreamAudioPlayBeforeMix, user->spec.uid, peerAudio_.pcm, samples,
                    peerAudio_.channels, peerAudio_.sampleRate);
            user->sampleRate.store(peerAudio_.sampleRate);
            user->channels.store(peerAudio_.channels);
            user->audioIn.add(peerAudio_.pcm.size() * 2);
            playback.add(peerAudio_.pcm.data(), samples, peerAudio_.channels);
        }
    }

    const std::shared_ptr<LiveCall> call_;
    Ticker ticker_;
    SenderAudio microphone_;
    std::map<std::uint32_t, std::unique_ptr<SenderAudio>> senders_;  // pattern users by uid
    // Reused from round to round; only this producer's thread touches them.
    std::vector<std::int16_t> record_;
    std::vector<std::int16_t> remote_;
    std::vector<std::int16_t> play_;
    std::vector<std::int16_t> mix_;
    WireAudioFrame peerAudio_;
};

}  // namespace

void startAudio(const std::shared_ptr<LiveCall>& call) {
    std::make_shared<AudioProducer>(call)->schedule();
}

}  // namespace sim
}  // namespace velto
