#include "simengine/VideoProducers.h"

#include <atomic>

#include "simengine/FrameDelivery.h"
#include "simengine/ObserverCalls.h"
#include "simengine/SenderMedia.h"
#include "simengine/SyntheticMedia.h"
#include "simengine/Ticker.h"

namespace velto {
namespace sim {

namespace {

using Clock = LiveCall::Clock;

// Hands `frame` to the video observer, if any and while the call lasts.
void deliver(const LiveCall& call, int streamType, std::uint32_t uid, I420Frame& frame) {
    media::IVideoFrameObserver* observer = call.engine().videoObserver();
    if (observer == nullptr || call.stopped()) {
        return;
    }
    media::EngineVideoFrame record = videoFrameOf(streamType, frame);
    callVideoObserver(*observer, streamType, uid, record);
}

// True while the program gets `user`'s video: present, video on, remote video not muted.
bool receiving(const LiveCall& call, const RemoteUser& user) {
    const MediaSwitches& on = call.engine().switches();
    return user.present.load() && on.video.load() && !on.remoteVideoMuted.load();
}

// A remote frame arrived: to the observer, then counted.
void deliverRender(const LiveCall& call, RemoteUser& user, I420Frame& frame) {
    deliver(call, media::StreamVideoRender, user.spec.uid, frame);
    user.width.store(frame.width);
    user.height.store(frame.height);
    user.videoIn.add(frame.bytes());
}

class Camera : public std::enable_shared_from_this<Camera> {
  public:
    // Opens the camera's file on the joining thread.
    explicit Camera(std::shared_ptr<LiveCall> call)
        : call_(std::move(call)),
          source_(0, call_->engine().settings().video().file,
                  call_->engine().settings().video().loop, "sim.video.file"),
          ticker_(call_->startedAt(), source_.fps(call_->engine().settings().video().fps)) {}

    void schedule() {
        auto self = shared_from_this();
        call_->postAt(kCaptureThread, ticker_.due(), [self] { self->run(); });
    }

  private:
    void run() {
        if (call_->stopped()) {
            return;
        }
        const LocalVideo format = call_->engine().settings().video();
        const MediaSwitches& on = call_->engine().switches();
        if (on.video.load() && on.localVideoCapture.load()) {
            capture(format, on.localVideoSend.load());
        }
        const Clock::time_point now = Clock::now();
        const int fps = source_.fps(format.fps);
        if (fps != ticker_.rate()) {
            ticker_.changeRate(now, fps);
        } else {
            ticker_.advance(now);
        }
        schedule();
    }

    void capture(const LocalVideo& format, bool send) {
        // A fresh frame each time: the one sent last may still be read by the echo users.
        auto frame = std::make_shared<I420Frame>();
        if (!source_.next(*frame)) {
            frame->resize(format.width, format.height);
            drawTestPattern(*frame, 0, static_cast<std::uint32_t>(ticker_.index()));
        }
        deliver(*call_, media::StreamVideoCap, 0, *frame);
        call_->captured.add(frame->bytes());
        if (send) {
            call_->videoSent.add(frame->bytes());
            call_->sentWidth.store(frame->width);
            call_->sentHeight.store(frame->height);
            if (const auto& network = call_->network()) {
                network->sendVideo(frame);
            }
            call_->publishSentVideo(std::move(frame));
        }
    }

    const std::shared_ptr<LiveCall> call_;
    SenderVideo source_;
    Ticker ticker_;
};

// A pattern user's video, at its own rate (its file's, when it plays one).
class PatternVideo : public std::enable_shared_from_this<PatternVideo> {
  public:
    PatternVideo(std::shared_ptr<LiveCall> call, std::shared_ptr<RemoteUser> user,
                 const std::string& setting)
        : call_(std::move(call)),
          user_(std::move(user)),
          source_(user_->spec.uid, user_->spec.videoFile, user_->spec.loop, setting),
          ticker_(Clock::now(), source_.fps(user_->spec.fps)) {}

    void schedule() {
        auto self = shared_from_this();
        call_->postAt(kRenderThread, ticker_.due(), [self] { self->run(); });
    }

  private:
    void run() {
        if (call_->stopped() || user_->gone.load()) {
            return;
        }
        if (receiving(*call_, *user_)) {
            if (!source_.next(frame_)) {
                frame_.resize(user_->spec.width, user_->spec.height);
                drawTestPattern(frame_, user_->spec.uid,
                                static_cast<std::uint32_t>(ticker_.index()));
            }
            deliverRender(*call_, *user_, frame_);
        }
        const Clock::time_point now = Clock::now();
        const int fps = source_.fps(user_->spec.fps);
        if (fps != ticker_.rate()) {
            ticker_.changeRate(now, fps);
        } else {
            ticker_.advance(now);
        }
        schedule();
    }

    const std::shared_ptr<LiveCall> call_;
    const std::shared_ptr<RemoteUser> user_;
    SenderVideo source_;
    Ticker ticker_;
    I420Frame frame_;  // reused; only this producer's thread touches it
};

// An echo user's video: each frame the local user sends comes back once, as soon as the remote
// video thread is free. A thread that falls behind returns the latest frame and skips the rest.
class EchoVideo : public std::enable_shared_from_this<EchoVideo> {
  public:
    EchoVideo(std::shared_ptr<LiveCall> call, std::shared_ptr<RemoteUser> user)
        : call_(std::move(call)), user_(std::move(user)) {}

    void listen() {
        auto self = shared_from_this();
        call_->listenToSentVideo([self] { self->wake(); });
    }

  private:
    // Camera thread: at most one echo waits on the remote video thread at a time.
    void wake() {
        if (user_->gone.load() || pending_.exchange(true)) {
            return;
        }
        auto self = shared_from_this();
        if (!call_->post(kRenderThread, [self] { self->run(); })) {
            pending_.store(false);
        }
    }

    void run() {
        pending_.store(false);
        if (call_->stopped() || user_->gone.load() || !receiving(*call_, *user_)) {
            return;
        }
        std::uint64_t sequence = 0;
        const std::shared_ptr<const I420Frame> sent = call_->lastSentVideo(sequence);
        if (sent == nullptr || sequence == echoed_) {
            return;
        }
        echoed_ = sequence;
        frame_ = *sent;
        deliverRender(*call_, *user_, frame_);
    }

    const std::shared_ptr<LiveCall> call_;
    const std::shared_ptr<RemoteUser> user_;
    std::atomic<bool> pending_{false};
    I420Frame frame_;  // remote video thread only
    std::uint64_t echoed_ = 0;
};

}  // namespace

void startCamera(const std::shared_ptr<LiveCall>& call) {
    std::make_shared<Camera>(call)->schedule();
}

void startRemoteVideo(const std::shared_ptr<LiveCall>& call,
                      const std::shared_ptr<RemoteUser>& user) {
    if (!user->spec.video) {
        return;
    }
    if (user->spec.kind == UserKind::kEcho) {
        std::make_shared<EchoVideo>(call, user)->listen();
    } else {
        std::size_t index = 0;
        while (index < call->users().size() && call->users()[index] != user) {
            ++index;
        }
        const std::string setting = "sim.users[" + std::to_string(index) + "].videoFile";
        std::make_shared<PatternVideo>(call, user, setting)->schedule();
    }
}

}  // namespace sim
}  // namespace velto
