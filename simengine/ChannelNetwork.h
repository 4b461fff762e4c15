// One process's membership of a channel shared with other processes of the same OS user: its
// socket in the rendezvous folder (which reserves its uid in the channel), a connection to every
// other member, and the network thread that meets the members, reads their messages and reports
// them to a ChannelListener.
//
// Threads: open/start/leave run on the module's threads (joinChannel, leaveChannel, release),
// which may hold the interpreter lock: none of them waits, neither for the join lock nor for a
// peer (the network thread does both). sendAudio runs on the audio thread and sendVideo on the
// camera thread; the listener is called on the network thread only. Sends never wait: what a
// member's full queue cannot take waits, newest kept, for the network thread to send once there
// is room, so a slow receiver slows nobody else. Media go through a ring per link and direction
// in shared memory (ChannelRing.h), written by the sending thread and copied out by the
// receiving network thread; the socket carries one small message per frame. leave() never
// waits for the network thread, which holds no lock anyone else needs and ends on its own. A
// member's send mutex is held only while copying a frame into its ring and sending to it
// without waiting.
//
// What a member accepts is bounded: at most kMaxLinks connections, of which at most
// kMaxUngreeted accepted ones not yet greeted; one that does not greet within kGreetingMs is
// hung up on; a frame being assembled holds only the bytes that arrived, and all links
// together at most kMaxAssemblingBytes (the link that would pass it is dropped). A link maps at
// most one audio ring and one video ring from its member (a video ring replaced only by a larger
// one), each a sealed memfd of at most kMaxRingBytes, and all links together at most
// kMaxMappedBytes; a ring that breaks these bounds drops its link. Frame buffers grow only to
// frames copied out of a ring, never to what a message merely announces. A uid is held by one
// link at most, and only by a member whose socket is in the folder.
#pragma once

#include <atomic>
#include <chrono>
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
    // malformed, truncated, oversized, foreign; connections over the bounds or silent too long
    std::atomic<std::uint64_t> refused{0};
    std::atomic<std::uint64_t> abandoned{0};  // video frames whose pieces did not all arrive
    std::atomic<std::uint64_t> messagesOut{0};
    std::atomic<std::uint64_t> bytesOut{0};
    std::atomic<std::uint64_t> sendsDropped{0};  // frames a member's full queue did not take
    std::atomic<std::uint64_t> ringsIn{0};       // members' rings mapped
    std::atomic<std::uint64_t> ringsOut{0};      // rings made for members
    std::atomic<std::uint64_t> slotWaits{0};     // video frames that found no free slot at once
    // Arrived whole but never reached the program: a video frame replaced by a newer one before
    // the render thread took it, an audio frame pushed out of the member's full queue.
    std::atomic<std::uint64_t> videoReplaced{0};
    std::atomic<std::uint64_t> audioDropped{0};
};

class ChannelNetwork : public std::enable_shared_from_this<ChannelNetwork> {
  public:
    enum class OpenResult { kOpened, kUidTaken, kFailed };

    // Joins `channel` in the folder `dir` (already checked) as `uid`, or as a uid chosen here,
    // unique in the channel and outside `avoid`, when `uid` is 0: binds the member's socket,
    // which reserves the uid, and nothing else, so it never waits. On kUidTaken or kFailed,
    // `error` says why and the result is nullptr.
    static std::shared_ptr<ChannelNetwork> open(const std::string& dir, const std::string& channel,
                                                std::uint32_t uid,
                                                const std::set<std::uint32_t>& avoid,
                                                OpenResult& result, std::string& error);

    // Starts the network thread, which reports to `listener` until leave(). It first takes the
    // folder's join lock (waiting up to kLockWaitMs for a join under way: a process stopped while
    // holding it must not stop everybody), learns who already connected, connects to the other
    // members and gives the lock up, so that members joining at once each find the other once.
    void start(std::shared_ptr<ChannelListener> listener);
    // Gives up the uid and says goodbye to every member (each sees reason quit), without
    // waiting: a goodbye a member's full queue cannot take is left to the network thread, which
    // tries for kByeWaitMs before it ends. Nothing is reported after it returns but what is
    // already under way.
    void leave();

    // Each member gets every frame its queue and its ring have room for; what does not fit
    // waits for the network thread (video: the frame whose message waits, or inline the frame in
    // flight, and the newest one after it, which also waits for a free slot; audio: up to
    // kAudioBacklog messages, none beyond the ring's free slots), older frames are dropped and
    // counted. The frame is copied into the member's ring here. `frame` must not change once
    // given.
    void sendAudio(const std::int16_t* pcm, int samples, int channels, int sampleRate);
    void sendVideo(std::shared_ptr<const I420Frame> frame);
    static constexpr std::size_t kAudioBacklog = 6;

    static constexpr std::size_t kMaxLinks = 128;
    static constexpr std::size_t kMaxUngreeted = 32;
    static constexpr int kGreetingMs = 2000;
    static constexpr std::size_t kMaxAssemblingBytes = 128u << 20;
    static constexpr std::size_t kMaxMappedBytes = 512u << 20;
    // Slots of a link's rings: video ones sized for the largest frame so far.
    static constexpr std::uint32_t kVideoSlots = 3;
    static constexpr std::uint32_t kAudioSlots = 16;
    static constexpr std::size_t kAudioSlotBytes = 960 * 2 * sizeof(std::int16_t);
    static constexpr int kLockWaitMs = 2000;
    static constexpr int kByeWaitMs = 1000;

    std::uint32_t uid() const { return uid_; }
    const std::string& channel() const { return channel_; }
    const std::string& folder() const { return dir_; }
    // uids of the members greeted so far.
    std::vector<std::uint32_t> members() const;
    const NetworkCounters& counters() const { return counters_; }
    // Network thread, for what the program's side of the call dropped of a member's frames.
    NetworkCounters& counters() { return counters_; }
    // {"dir":..., "channel":..., "uid":..., "members":[...], counters...}
    std::string json() const;

    ChannelNetwork(const ChannelNetwork&) = delete;
    ChannelNetwork& operator=(const ChannelNetwork&) = delete;
    ~ChannelNetwork();

  private:
    struct Link;
    using Clock = std::chrono::steady_clock;

    ChannelNetwork(std::string dir, std::string channel, std::uint32_t uid);
    std::vector<std::shared_ptr<Link>> sendableLinks() const;
    // Greets the member at the other end of `fd` and keeps the link; false when it cannot take
    // even a hello. `connectedUid`: the uid whose socket was connected to, 0 for one accepted.
    bool addLink(SocketFd fd, std::uint32_t connectedUid);
    void run(std::shared_ptr<ChannelListener> listener);
    // Network thread: under the join lock, the members that connected already are read and the
    // others connected to.
    void meetMembers(ChannelListener& listener, std::vector<std::uint8_t>& buffer);
    // Accepts what waits, within the bounds, and reads each new link's hello if it is there.
    void acceptMembers(ChannelListener& listener, std::vector<std::uint8_t>& buffer);
    // Network thread: the folder or this member's name in it was removed; makes both again and
    // meets whoever joined meanwhile, or says why not.
    void checkName(ChannelListener& listener, std::vector<std::uint8_t>& buffer);
    // Reads what `link` has; false once the link is finished. An empty read is the end only
    // when the wait reported `hungUp`: otherwise it is an empty message.
    bool readLink(Link& link, ChannelListener& listener, std::vector<std::uint8_t>& buffer,
                  bool hungUp);
    // A hello that `link` may not give: another channel, a uid held or not this member's.
    bool refuseHello(const Link& link, const WirePeer& peer) const;
    // Forgets `link` and reports a member gone; false when it was dropped already.
    bool dropLink(const std::shared_ptr<Link>& link, ChannelListener& listener, int reason);
    // Network thread, once leaving: the goodbyes leave() could not send, for up to kByeWaitMs.
    void sendPendingByes();
    void wake();
    // Sends what waits for `link` (its sendMutex held); false while some of it must wait for
    // room in the member's queue.
    bool flush(Link& link);
    // Under the link's sendMutex: the link's ring for `stream`, made when missing or too small
    // for `bytes`; nullptr when the system gives none (the link then sends inline).
    bool ensureRing(Link& link, WireStream stream, std::size_t bytes);
    // Under the link's sendMutex: copies the newest waiting video frame into a free slot.
    void placeVideo(Link& link);
    bool flushInlineVideo(Link& link);
    // Network thread: a member's ring, frames in its slots, a slot of ours released; false when
    // the link must be dropped.
    bool mapRing(Link& link, SocketFd passed);
    bool copyAudioSlot(Link& link, ChannelListener& listener);
    bool copyVideoSlot(Link& link, ChannelListener& listener);
    void releaseSlot(Link& link, WireStream stream, std::uint32_t slot);

    const std::string dir_;
    const std::string channel_;
    const std::uint32_t uid_;
    const std::string key_;
    const std::string path_;
    const int ownerPid_;  // a forked child never removes its parent's name
    SocketFd listener_;   // replaced by the network thread only (checkName)
    std::atomic<unsigned long long> listenerInode_{0};
    bool nameLost_ = false;  // network thread only: the name is gone for good, said once
    SocketFd wake_;   // an eventfd: leave() and new links interrupt the network thread's wait
    SocketFd spare_;  // given up for a moment to refuse a connection when descriptors run out
    Clock::time_point acceptPausedUntil_{};  // network thread only
    std::size_t assembling_ = 0;             // network thread only: bytes of incomplete frames
    std::size_t mapped_ = 0;                 // network thread only: bytes of members' rings
    std::set<std::uint32_t> avoid_;
    std::atomic<bool> leaving_{false};
    // Whether leave() left goodbyes to the network thread, and whether that thread is past
    // sending them; the process's exit waits for such goodbyes (bounded).
    std::mutex byeStateMutex_;
    bool byesOutstanding_ = false;
    bool byesSettled_ = false;

    mutable std::mutex linksMutex_;
    std::vector<std::shared_ptr<Link>> links_;

    std::uint32_t audioSequence_ = 0;  // audio thread only
    std::uint32_t videoSequence_ = 0;  // camera thread only
    NetworkCounters counters_;
};

}  // namespace sim
}  // namespace velto
