// The state one live call shares between its producers: the engine it runs on, the remote users
// and what flowed, the frame the local user sent last (for echo users) and whether the call has
// ended. Created by joinChannel, ended by leaveChannel or release; every producer task holds it
// through a shared_ptr, so a task still queued after the end finds it intact and returns.
//
// The engine's threads by role: 0 notifications and statistics, 1 audio, 2 camera, 3 remote
// video. Counters are atomics written by the producing thread and read by the statistics thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/IRtcEngineEventHandler.h"
#include "simengine/ChannelInbox.h"
#include "simengine/ChannelNetwork.h"
#include "simengine/EngineState.h"
#include "simengine/HandlerCalls.h"
#include "simengine/I420Frame.h"
#include "simengine/LiveSettings.h"

namespace velto {
namespace sim {

enum LiveThread : int {
    kEventThread = 0,
    kAudioThread = 1,
    kCaptureThread = 2,
    kRenderThread = 3,
};

// Frames and bytes that went one way.
struct FlowCounter {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> bytes{0};

    void add(std::size_t size) {
        frames.fetch_add(1, std::memory_order_relaxed);
        bytes.fetch_add(size, std::memory_order_relaxed);
    }
};

struct RemoteUser {
    explicit RemoteUser(const UserSpec& userSpec) : spec(userSpec) {}

    const UserSpec spec;
    // Set by the notification thread once onRemoteUserJoined returned; cleared before
    // onRemoteUserOffline.
    std::atomic<bool> present{false};
    std::atomic<bool> gone{false};
    std::atomic<std::int64_t> joinedMs{0};  // call time of the join
    FlowCounter videoIn;
    FlowCounter audioIn;
    std::atomic<int> width{0};
    std::atomic<int> height{0};
    std::atomic<int> sampleRate{0};
    std::atomic<int> channels{0};
    // Members of the channel in other processes only: what arrived from them, and how long
    // their last video frame took from their capture callback to this process.
    std::shared_ptr<PeerInbox> inbox;
    std::atomic<int> videoDelayMs{0};
};

class LiveCall {
  public:
    using Clock = std::chrono::steady_clock;

    LiveCall(std::shared_ptr<EngineState> engine, std::string channel, std::uint32_t localUid,
             const std::vector<UserSpec>& users);

    EngineState& engine() const { return *engine_; }
    const std::string& channel() const { return channel_; }
    std::uint32_t localUid() const { return localUid_; }
    Clock::time_point startedAt() const { return startedAt_; }
    std::int64_t elapsedMs() const;
    // The simulated users, fixed for the call.
    const std::vector<std::shared_ptr<RemoteUser>>& users() const { return users_; }
    // Every remote user: the simulated ones, then the members in other processes as they came.
    std::vector<std::shared_ptr<RemoteUser>> remoteUsers() const;

    // The call's membership of the channel between processes, or nullptr. Set once, before the
    // call's producers start.
    const std::shared_ptr<ChannelNetwork>& network() const { return network_; }
    void setNetwork(std::shared_ptr<ChannelNetwork> network) { network_ = std::move(network); }
    // Members in other processes, by uid; added and removed on the notification thread.
    void addPeer(std::shared_ptr<RemoteUser> peer);
    std::shared_ptr<RemoteUser> peer(std::uint32_t uid) const;
    void removePeer(std::uint32_t uid);

    bool stopped() const { return stopped_.load(); }
    // Ends the call: producers see it at their next step, listeners are dropped and the other
    // processes in the channel are told.
    void stop();

    // Queue work on engine thread `thread`; false once the engine's threads stop.
    bool post(int thread, std::function<void()> task) const;
    bool postAt(int thread, Clock::time_point due, std::function<void()> task) const;

    // Journals the notification as a "live" entry and calls `deliver` with the event handler's
    // calls, if the engine has one. Never holds a lock while the handler runs.
    void notify(const char* event, std::uint32_t uid, int arg,
                const std::function<void(const HandlerCalls&)>& deliver) const;

    // Notification thread: tells the program that `user` joined, then lets the user's media flow.
    void announceJoined(RemoteUser& user) const;

    // What the local user sent last, for echo users; `sequence` grows by one per frame. Each
    // frame sent calls every listener (outside the lock), on the camera thread.
    void publishSentVideo(std::shared_ptr<const I420Frame> frame);
    std::shared_ptr<const I420Frame> lastSentVideo(std::uint64_t& sequence) const;
    void listenToSentVideo(std::function<void()> listener);

    FlowCounter captured;   // camera frames handed to the observer
    FlowCounter videoSent;  // of those, sent
    FlowCounter recorded;   // microphone frames
    FlowCounter audioSent;
    std::atomic<int> sentWidth{0};
    std::atomic<int> sentHeight{0};

  private:
    const std::shared_ptr<EngineState> engine_;
    const std::string channel_;
    const std::uint32_t localUid_;
    const Clock::time_point startedAt_;
    std::vector<std::shared_ptr<RemoteUser>> users_;
    std::atomic<bool> stopped_{false};
    std::shared_ptr<ChannelNetwork> network_;

    mutable std::mutex peersMutex_;
    std::vector<std::shared_ptr<RemoteUser>> peers_;

    mutable std::mutex sentMutex_;
    std::shared_ptr<const I420Frame> sentVideo_;
    std::uint64_t sentSequence_ = 0;
    // May hold producers that hold this call; stop() parts them.
    std::vector<std::function<void()>> sentListeners_;
};

}  // namespace sim
}  // namespace velto
