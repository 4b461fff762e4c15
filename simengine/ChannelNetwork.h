// One process's membership of a channel shared with other processes of the same OS user: its
// socket in the rendezvous folder (which reserves its uid in the channel), a connection to every
// other member, and the network thread that accepts members, reads their messages and reports
// them to a ChannelListener.
//
// Threads: open/start/leave run on the module's threads (joinChannel, leaveChannel, release);
// sendAudio runs on the audio thread and sendVideo on the camera thread; the listener is called
// on the network thread only. Sends never wait: what a member's full queue cannot take waits,
// newest kept, for the network thread to send once there is room, so a slow receiver slows
// nobody else. leave() never waits for the network
// thread, which holds no lock anyone else needs and ends on its own. A member's send mutex is
// held only while sending to it without waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "simengine/ChannelSocket.h"
#include "simengine/ChannelWire.h"
#include "simengine/I420Frame.h"

namespace velto {
namespace sim {

constexpr int kOfflineQuit = 0;     // onRemoteUserOffline: the member left the channel
constexpr int kOfflineDropped = 1;  // its process ended or its connection broke

// What the network reports; called on the network thread, never with a network lock held.
class ChannelListener {
  public:
    virtual ~ChannelListener() = default;
    virtual void peerJoined(std::uint32_t uid) = 0;
    virtual void peerLeft(std::uint32_t uid, int reason) = 0;
    virtual void peerAudio(std::uint32_t uid, const WireAudioFrame& frame) = 0;
    // A complete frame; the listener may swap it with a spare buffer of its own.
    virtual void peerVideo(std::uint32_t uid, I420Frame& frame, std::uint32_t sequence,
                           std::uint64_t sentNs) = 0;
};

// Counters over the membership's life; atomics written by the thread that does the work.
struct NetworkCounters {
    std::atomic<std::uint64_t> messagesIn{0};
    std::atomic<std::uint64_t> bytesIn{0};
    std::atomic<std::uint64_t> refused{0};    // malformed, truncated, oversized, foreign
    std::atomic<std::uint64_t> abandoned{0};  // video frames whose pieces did not all arrive
    std::atomic<std::uint64_t> messagesOut{0};
    std::atomic<std::uint64_t> bytesOut{0};
    std::atomic<std::uint64_t> sendsDropped{0};  // frames a member's full queue did not take
};

class ChannelNetwork : public std::enable_shared_from_this<ChannelNetwork> {
  public:
    enum class OpenResult { kOpened, kUidTaken, kFailed };

    // Joins `channel` in the folder `dir` (already checked) as `uid`, or as a uid chosen here,
    // unique in the channel and outside `avoid`, when `uid` is 0. Holds the folder's join lock
    // until start(), so that members joining at once each find the other exactly once. On
    // kUidTaken or kFailed, `error` says why and the result is nullptr.
    static std::shared_ptr<ChannelNetwork> open(const std::string& dir, const std::string& channel,
                                                std::uint32_t uid,
                                                const std::set<std::uint32_t>& avoid,
                                                OpenResult& result, std::string& error);

    // Connects to the members already in the channel, gives up the join lock and starts the
    // network thread, which reports to `listener` until leave().
    void start(std::shared_ptr<ChannelListener> listener);
    // Says goodbye to every member (each sees reason quit), gives up the uid and ends the
    // network thread. Nothing is reported after it returns but what is already under way.
    void leave();

    // Each member gets every frame its queue has room for; what does not fit waits for the
    // network thread (video: the frame in flight and the newest one after it; audio: up to
    // kAudioBacklog messages), older frames are dropped and counted. `frame` must not change
    // once given.
    void sendAudio(const std::int16_t* pcm, int samples, int channels, int sampleRate);
    void sendVideo(std::shared_ptr<const I420Frame> frame);
    static constexpr std::size_t kAudioBacklog = 6;

    std::uint32_t uid() const { return uid_; }
    const std::string& channel() const { return channel_; }
    const std::string& folder() const { return dir_; }
    // uids of the members greeted so far.
    std::vector<std::uint32_t> members() const;
    const NetworkCounters& counters() const { return counters_; }
    // {"dir":..., "channel":..., "uid":..., "members":[...], counters...}
    std::string json() const;

    ChannelNetwork(const ChannelNetwork&) = delete;
    ChannelNetwork& operator=(const ChannelNetwork&) = delete;
    ~ChannelNetwork();

  private:
    struct Link;

    ChannelNetwork(std::string dir, std::string channel, std::uint32_t uid);
    std::vector<std::shared_ptr<Link>> sendableLinks() const;
    void addLink(SocketFd fd);
    void run(std::shared_ptr<ChannelListener> listener);
    void acceptMembers();
    // Reads what `link` has; false once the link is finished. An empty read is the end only
    // when the wait reported `hungUp`: otherwise it is an empty message.
    bool readLink(Link& link, ChannelListener& listener, std::vector<std::uint8_t>& buffer,
                  bool hungUp);
    void dropLink(const std::shared_ptr<Link>& link, ChannelListener& listener, int reason);
    void wake();
    // Sends what waits for `link` (its sendMutex held); false while some of it must wait for
    // room in the member's queue.
    bool flush(Link& link);

    const std::string dir_;
    const std::string channel_;
    const std::uint32_t uid_;
    const std::string path_;
    SocketFd listener_;
    SocketFd lock_;
    SocketFd wake_;  // an eventfd: leave() and new links interrupt the network thread's wait
    std::set<std::uint32_t> avoid_;
    std::atomic<bool> leaving_{false};

    mutable std::mutex linksMutex_;
    std::vector<std::shared_ptr<Link>> links_;

    std::uint32_t audioSequence_ = 0;  // audio thread only
    std::uint32_t videoSequence_ = 0;  // camera thread only
    NetworkCounters counters_;
};

}  // namespace sim
}  // namespace velto
