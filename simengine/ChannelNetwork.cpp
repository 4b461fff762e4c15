#include "simengine/ChannelNetwork.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>

#include "simengine/ChannelRing.h"
#include "simengine/JsonText.h"
#include "simengine/NetworkFolder.h"

namespace velto {
namespace sim {

namespace {

// Messages read from one link before the others get their turn.
constexpr int kReadBurst = 256;
// Highest uid the engine hands out: below 2**31, so a program sees it positive.
constexpr std::uint32_t kMaxAssignedUid = 0x7fffffff;
// How long accepting rests when no descriptor is left even to refuse a connection.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// How often the network thread looks whether its name is still in the folder.
constexpr auto kNameCheck = std::chrono::seconds(1);

// Goodbyes that leave() left to a network thread. A program that exits right after leaving (the
// peer command, a bot) waits for them at exit, for at most a goodbye's time, so its peers see it
// quit rather than drop. Leaked on purpose: engine threads may still use it while statics die.
struct OutstandingByes {
    std::mutex mutex;
    std::condition_variable sent;
    int count = 0;
    pid_t owner = 0;  // a forked child has no network thread to wait for
};

OutstandingByes& outstandingByes() {
    static OutstandingByes* byes = [] {
        auto* made = new OutstandingByes;
        std::atexit([] {
            OutstandingByes& b = outstandingByes();
            std::unique_lock<std::mutex> lock(b.mutex);
            if (b.owner == getpid()) {
                b.sent.wait_for(lock, std::chrono::milliseconds(ChannelNetwork::kByeWaitMs),
                                [&b] { return b.count == 0; });
            }
        });
        return made;
    }();
    return *byes;
}

void countOutstandingByes(int change) {
    OutstandingByes& byes = outstandingByes();
    std::lock_guard<std::mutex> lock(byes.mutex);
    if (byes.owner != getpid()) {
        byes.owner = getpid();
        byes.count = 0;
    }
    byes.count += change;
    if (byes.count <= 0) {
        byes.count = 0;
        byes.sent.notify_all();
    }
}

// The folder's join lock, waited for up to kLockWaitMs (or until `leaving`); an invalid one when
// the lock file cannot be opened.
SocketFd takeJoinLock(const std::string& dir, const std::atomic<bool>& leaving) {
    const std::string path = lockPath(dir);
    SocketFd lock = SocketFd::created(
        [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600); });
    if (!lock.valid()) {
        return lock;
    }
    const auto giveUp =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ChannelNetwork::kLockWaitMs);
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            break;
        }
        if (std::chrono::steady_clock::now() >= giveUp || leaving.load()) {
            break;
        }
        usleep(2000);
    }
    return lock;
}

void say(const std::string& line) {
    const std::string text = "velto-sim: network: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

// Members of other channels that died leave their names behind; a join removes them.
void cleanStaleMembers(const std::string& dir) {
    for (const Member& member : listMembers(dir, "")) {
        removeStale(member.path);
    }
}

iovec part(const void* data, std::size_t size) {
    return iovec{const_cast<void*>(data), size};
}

}  // namespace

struct ChannelNetwork::Link {
    Link(SocketFd socket, std::uint32_t connectedUid)
        : fd(std::move(socket)),
          expectedUid(connectedUid),
          greetBy(std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(ChannelNetwork::kGreetingMs)) {}

    SocketFd fd;
    // Their hello arrived and was accepted: media goes to them from now on.
    std::atomic<bool> greeted{false};
    // The uid whose socket this member connected to, or 0 for a connection it accepted.
    const std::uint32_t expectedUid;
    // An accepted connection still silent by then is hung up on.
    const std::chrono::steady_clock::time_point greetBy;
    // Network thread only.
    WireReader reader;
    bool saidBye = false;
    std::size_t assembling = 0;  // this link's share of ChannelNetwork::assembling_
    // leave() found no room for the goodbye; the network thread tries again.
    std::atomic<bool> byePending{false};

    // Network thread only: the member's rings, and the bytes they map (this link's share of
    // ChannelNetwork::mapped_).
    std::unique_ptr<RingReader> audioIn;
    std::unique_ptr<RingReader> videoIn;
    std::size_t mapped = 0;

    // What waits to be sent because the member's queue was full or no slot was free, guarded by
    // sendMutex: audio messages (oldest dropped beyond kAudioBacklog, its slot given back), the
    // announcement of a video frame written to a slot, and the next frame (a newer one replaces
    // it); inline, the video frame in flight with the bytes of it already sent instead.
    // `backlog` tells the network thread to wait until the member's queue has room again.
    std::mutex sendMutex;
    std::unique_ptr<RingWriter> audioOut;
    std::unique_ptr<RingWriter> videoOut;
    bool ringless = false;  // the system gave no ring: media go inline
    struct PendingAudio {
        std::vector<std::uint8_t> message;
        int slot = -1;            // of audioOut, or inline
        std::size_t payload = 0;  // bytes in the slot
    };
    std::deque<PendingAudio> audio;
    struct Frame {
        std::shared_ptr<const I420Frame> frame;
        std::uint32_t sequence = 0;
        std::uint64_t sentNs = 0;
        bool waited = false;  // found no free slot once (counted once)
    };
    std::array<std::uint8_t, kSlotMessageBytes> videoSlotMessage{};
    int videoSlot = -1;  // of videoOut, while its announcement waits
    std::size_t videoPayload = 0;
    Frame video;
    std::size_t videoOffset = 0;
    Frame nextVideo;
    std::atomic<bool> backlog{false};
};

ChannelNetwork::ChannelNetwork(std::string dir, std::string channel, std::uint32_t uid)
    : dir_(std::move(dir)),
      channel_(std::move(channel)),
      uid_(uid),
      key_(channelKey(channel_)),
      path_(memberPath(dir_, key_, uid_)),
      ownerPid_(static_cast<int>(getpid())) {}

ChannelNetwork::~ChannelNetwork() = default;

std::shared_ptr<ChannelNetwork> ChannelNetwork::open(const std::string& dir,
                                                     const std::string& channel, std::uint32_t uid,
                                                     const std::set<std::uint32_t>& avoid,
                                                     OpenResult& result, std::string& error) {
    result = OpenResult::kFailed;
    if (channel.empty() || channel.size() > kWireMaxChannelBytes) {
        error = "channel names of 1 to " + std::to_string(kWireMaxChannelBytes) +
                " bytes can be shared between processes";
        return nullptr;
    }
    if (memberPath(dir, channelKey(channel), 4294967295u).size() > maxSocketPath()) {
        error = dir + ": too long a path for the channel's sockets (at most " +
                std::to_string(maxSocketPath() - 34) + " characters)";
        return nullptr;
    }
    std::mt19937 random(static_cast<std::uint32_t>(std::random_device{}()) ^
                        static_cast<std::uint32_t>(getpid()));
    std::uniform_int_distribution<std::uint32_t> anyUid(1, kMaxAssignedUid);
    const std::string key = channelKey(channel);
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::uint32_t chosen = uid != 0 ? uid : anyUid(random);
        if (uid == 0 && avoid.count(chosen) != 0) {
            continue;
        }
        const std::string path = memberPath(dir, key, chosen);
        const std::string occupant = notASocket(path);
        if (!occupant.empty()) {
            if (uid == 0) {
                continue;
            }
            error = path + ": " + occupant + " has the name of uid " + std::to_string(uid) +
                    "'s socket in channel \"" + channel + "\"; remove it to join as that uid";
            return nullptr;
        }
        int failure = 0;
        SocketFd listening = listenAt(path, failure);
        if (!listening.valid() && failure == EADDRINUSE && probeMember(path) == Liveness::kStale) {
            removeStale(path);
            listening = listenAt(path, failure);
        }
        if (listening.valid()) {
            std::shared_ptr<ChannelNetwork> network(new ChannelNetwork(dir, channel, chosen));
            struct stat info {};
            if (lstat(path.c_str(), &info) == 0) {
                network->listenerInode_.store(static_cast<unsigned long long>(info.st_ino));
            }
            network->listener_ = std::move(listening);
            network->wake_ =
                SocketFd::created([] { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); });
            network->spare_ =
                SocketFd::created([] { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); });
            network->avoid_ = avoid;
            result = OpenResult::kOpened;
            return network;
        }
        if (failure != EADDRINUSE) {
            error = path + ": " + std::strerror(failure);
            return nullptr;
        }
        if (uid != 0) {
            result = OpenResult::kUidTaken;
            error = "uid " + std::to_string(uid) + " is already in channel \"" + channel +
                    "\" (another process)";
            return nullptr;
        }
    }
    error = "no free uid found in channel \"" + channel + "\"";
    return nullptr;
}

bool ChannelNetwork::addLink(SocketFd fd, std::uint32_t connectedUid) {
    widenSendBuffer(fd.get());
    const std::vector<std::uint8_t> hello = encodeHello(uid_, channel_);
    const iovec parts[] = {part(hello.data(), hello.size())};
    if (sendMessage(fd.get(), parts, 1) != SendResult::kSent) {
        return false;  // a member that cannot take even a hello is not one
    }
    std::lock_guard<std::mutex> lock(linksMutex_);
    links_.push_back(std::make_shared<Link>(std::move(fd), connectedUid));
    return true;
}

void ChannelNetwork::start(std::shared_ptr<ChannelListener> listener) {
    auto self = shared_from_this();
    std::thread([self, listener] { self->run(listener); }).detach();
}

void ChannelNetwork::meetMembers(ChannelListener& listener, std::vector<std::uint8_t>& buffer) {
    const SocketFd lock = takeJoinLock(dir_, leaving_);
    if (leaving_.load()) {
        return;  // left while waiting: nobody is met
    }
    cleanStaleMembers(dir_);
    // A member that connected to this one did so, and sent its hello, while it held the lock:
    // its hello is here now (read as it is accepted), so it is met once, not connected to a
    // second time.
    acceptMembers(listener, buffer);
    std::set<std::uint32_t> met;
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> guard(linksMutex_);
        for (const auto& link : links_) {
            met.insert(link->greeted.load() ? link->reader.peer().uid : link->expectedUid);
        }
        count = links_.size();
    }
    for (const Member& member : listMembers(dir_, key_)) {
        if (leaving_.load() || count >= kMaxLinks) {
            break;
        }
        if (member.uid == uid_ || met.count(member.uid) != 0) {
            continue;
        }
        int failure = 0;
        SocketFd fd = connectTo(member.path, failure);
        if (fd.valid() && sameUserAtOtherEnd(fd.get())) {
            count += addLink(std::move(fd), member.uid) ? 1 : 0;
        } else if (failure == ECONNREFUSED) {
            removeStale(member.path);
        }
    }
}

void ChannelNetwork::leave() {
    if (leaving_.exchange(true)) {
        return;
    }
    // The name first, so a member joining now no longer finds this one; only this process's
    // own, and only while it is still the one this member bound.
    struct stat info {};
    if (static_cast<int>(getpid()) == ownerPid_ && lstat(path_.c_str(), &info) == 0 &&
        static_cast<unsigned long long>(info.st_ino) == listenerInode_.load()) {
        unlink(path_.c_str());
    }
    const std::vector<std::uint8_t> bye = encodeBye(uid_);
    const iovec parts[] = {part(bye.data(), bye.size())};
    bool pending = false;
    for (const auto& link : sendableLinks()) {
        std::lock_guard<std::mutex> lock(link->sendMutex);
        if (sendMessage(link->fd.get(), parts, 1) == SendResult::kFull) {
            link->byePending.store(true);
            pending = true;
        }
    }
    std::lock_guard<std::mutex> lock(byeStateMutex_);
    if (pending && !byesSettled_) {
        byesOutstanding_ = true;
        countOutstandingByes(+1);
    }
    wake();
}

void ChannelNetwork::sendPendingByes() {
    const std::vector<std::uint8_t> bye = encodeBye(uid_);
    const iovec parts[] = {part(bye.data(), bye.size())};
    const auto giveUp = Clock::now() + std::chrono::milliseconds(kByeWaitMs);
    while (true) {
        std::vector<std::shared_ptr<Link>> waiting;
        std::vector<pollfd> waits;
        {
            std::lock_guard<std::mutex> lock(linksMutex_);
            for (const auto& link : links_) {
                if (link->byePending.load()) {
                    waiting.push_back(link);
                    waits.push_back(pollfd{link->fd.get(), POLLOUT, 0});
                }
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now()).count();
        if (waiting.empty() || left <= 0) {
            return;
        }
        if (poll(waits.data(), waits.size(), static_cast<int>(left)) < 0 && errno != EINTR) {
            return;
        }
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            if (waits[i].revents == 0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(waiting[i]->sendMutex);
            if ((waits[i].revents & POLLOUT) == 0 ||
                sendMessage(waiting[i]->fd.get(), parts, 1) != SendResult::kFull) {
                waiting[i]->byePending.store(false);
            }
        }
    }
}

void ChannelNetwork::wake() {
    const std::uint64_t one = 1;
    if (wake_.valid()) {
        (void)!write(wake_.get(), &one, sizeof one);
    }
}

std::vector<std::shared_ptr<ChannelNetwork::Link>> ChannelNetwork::sendableLinks() const {
    std::vector<std::shared_ptr<Link>> sendable;
    std::lock_guard<std::mutex> lock(linksMutex_);
    for (const auto& link : links_) {
        if (link->greeted.load(std::memory_order_acquire)) {
            sendable.push_back(link);
        }
    }
    return sendable;
}

std::vector<std::uint32_t> ChannelNetwork::members() const {
    std::vector<std::uint32_t> uids;
    std::lock_guard<std::mutex> lock(linksMutex_);
    for (const auto& link : links_) {
        if (link->greeted.load(std::memory_order_acquire)) {
            uids.push_back(link->reader.peer().uid);
        }
    }
    return uids;
}

void ChannelNetwork::sendAudio(const std::int16_t* pcm, int samples, int channels, int sampleRate) {
    if (leaving_.load()) {
        return;
    }
    const std::vector<std::shared_ptr<Link>> links = sendableLinks();
    const std::uint32_t sequence = audioSequence_++;
    if (links.empty()) {
        return;
    }
    const std::uint64_t sentNs = wireClockNs();
    const std::size_t bytes = static_cast<std::size_t>(samples) * channels * sizeof *pcm;
    std::vector<std::uint8_t> inlineMessage;  // made for the first link without a ring
    bool backlog = false;
    for (const auto& link : links) {
        std::lock_guard<std::mutex> lock(link->sendMutex);
        if (link->audio.size() >= kAudioBacklog) {
            if (link->audio.front().slot >= 0) {
                link->audioOut->giveBack(link->audio.front().slot);
            }
            link->audio.pop_front();
            counters_.sendsDropped.fetch_add(1, std::memory_order_relaxed);
        }
        Link::PendingAudio pending;
        if (bytes <= kAudioSlotBytes && ensureRing(*link, WireStream::kAudio, bytes)) {
            const int slot = link->audioOut->takeSlot(false);
            if (slot < 0) {
                // The member has not read the last kAudioSlots frames: this one is dropped.
                counters_.sendsDropped.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            std::memcpy(link->audioOut->slot(slot), pcm, bytes);
            pending.message.resize(kSlotMessageBytes);
            encodeAudioSlot(pending.message.data(), uid_, sequence, sentNs, sampleRate, channels,
                            samples, static_cast<std::uint32_t>(slot));
            pending.slot = slot;
            pending.payload = bytes;
        } else {
            if (inlineMessage.empty()) {
                inlineMessage =
                    encodeAudioHead(uid_, sequence, sentNs, sampleRate, channels, samples);
                const std::size_t head = inlineMessage.size();
                inlineMessage.resize(head + bytes);
                std::memcpy(inlineMessage.data() + head, pcm, bytes);
            }
            pending.message = inlineMessage;
        }
        link->audio.push_back(std::move(pending));
        backlog = !flush(*link) || backlog;
    }
    if (backlog) {
        wake();  // the network thread sends the rest once there is room
    }
}

void ChannelNetwork::sendVideo(std::shared_ptr<const I420Frame> frame) {
    if (leaving_.load() || frame == nullptr) {
        return;
    }
    const std::vector<std::shared_ptr<Link>> links = sendableLinks();
    const std::uint32_t sequence = videoSequence_++;
    if (links.empty()) {
        return;
    }
    const Link::Frame next{std::move(frame), sequence, wireClockNs()};
    bool backlog = false;
    for (const auto& link : links) {
        std::lock_guard<std::mutex> lock(link->sendMutex);
        if (!link->ringless) {
            if (link->nextVideo.frame != nullptr) {
                counters_.sendsDropped.fetch_add(1, std::memory_order_relaxed);  // never sent
            }
            link->nextVideo = next;
        } else if (link->video.frame == nullptr) {
            link->video = next;
            link->videoOffset = 0;
        } else {
            if (link->nextVideo.frame != nullptr) {
                counters_.sendsDropped.fetch_add(1, std::memory_order_relaxed);  // never sent
            }
            link->nextVideo = next;
        }
        backlog = !flush(*link) || backlog;
    }
    if (backlog) {
        wake();
    }
}

bool ChannelNetwork::ensureRing(Link& link, WireStream stream, std::size_t bytes) {
    if (link.ringless) {
        return false;
    }
    std::unique_ptr<RingWriter>& ring =
        stream == WireStream::kAudio ? link.audioOut : link.videoOut;
    if (ring != nullptr && ring->slotBytes() >= bytes) {
        return true;
    }
    // Audio slots hold the largest 10 ms frame; video ones the frame at hand, made again (the
    // member maps the new one and lets go of the old) only when a larger frame comes.
    std::unique_ptr<RingWriter> made = stream == WireStream::kAudio
                                           ? RingWriter::make(kAudioSlots, kAudioSlotBytes)
                                           : RingWriter::make(kVideoSlots, bytes);
    if (made == nullptr) {
        link.ringless = true;
        return false;
    }
    ring = std::move(made);
    counters_.ringsOut.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void ChannelNetwork::placeVideo(Link& link) {
    const I420Frame& frame = *link.nextVideo.frame;
    const std::size_t total = frame.bytes();
    if (!ensureRing(link, WireStream::kVideo, total)) {
        if (link.video.frame == nullptr) {  // inline from now on
            link.video = std::move(link.nextVideo);
            link.videoOffset = 0;
            link.nextVideo = Link::Frame{};
        }
        return;
    }
    const int slot = link.videoOut->takeSlot(true);
    if (slot < 0) {
        // The member still reads every slot: the frame waits for its released message, or is
        // replaced by a newer one.
        if (!link.nextVideo.waited) {
            link.nextVideo.waited = true;
            counters_.slotWaits.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
    std::uint8_t* out = link.videoOut->slot(slot);
    for (const std::vector<std::uint8_t>* plane : {&frame.y, &frame.u, &frame.v}) {
        std::memcpy(out, plane->data(), plane->size());
        out += plane->size();
    }
    encodeVideoSlot(link.videoSlotMessage.data(), uid_, link.nextVideo.sequence,
                    link.nextVideo.sentNs, frame.width, frame.height,
                    static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>(total));
    link.videoSlot = slot;
    link.videoPayload = total;
    link.nextVideo = Link::Frame{};
}

bool ChannelNetwork::flush(Link& link) {
    const int fd = link.fd.get();
    // Sends one message (with `passed`, a descriptor, if any); false when the member's queue is
    // full and the rest must wait for room.
    auto send = [&](const std::uint8_t* message, std::size_t size, std::size_t payload,
                    int passed) {
        const iovec parts[] = {part(message, size)};
        const SendResult result = sendMessage(fd, parts, 1, passed);
        if (result == SendResult::kFull) {
            link.backlog.store(true);
            return false;
        }
        if (result == SendResult::kSent) {
            counters_.messagesOut.fetch_add(1, std::memory_order_relaxed);
            counters_.bytesOut.fetch_add(size + payload, std::memory_order_relaxed);
        }
        return true;
    };
    while (true) {
        if (!link.ringless && link.nextVideo.frame != nullptr && link.videoSlot < 0) {
            placeVideo(link);
        }
        // A ring is announced before the first frame in it; the socket keeps the order.
        for (WireStream stream : {WireStream::kAudio, WireStream::kVideo}) {
            RingWriter* ring = (stream == WireStream::kAudio ? link.audioOut : link.videoOut).get();
            if (ring == nullptr || ring->announced()) {
                continue;
            }
            const std::vector<std::uint8_t> message =
                encodeRing(uid_, stream, ring->slots(), ring->slotBytes());
            if (!send(message.data(), message.size(), 0, ring->descriptor())) {
                return false;
            }
            ring->markAnnounced();
        }
        while (!link.audio.empty()) {
            const Link::PendingAudio& pending = link.audio.front();
            if (!send(pending.message.data(), pending.message.size(), pending.payload, -1)) {
                return false;
            }
            link.audio.pop_front();
        }
        if (link.videoSlot < 0) {
            break;
        }
        if (!send(link.videoSlotMessage.data(), link.videoSlotMessage.size(), link.videoPayload,
                  -1)) {
            return false;
        }
        link.videoSlot = -1;
    }
    if (!flushInlineVideo(link)) {
        return false;
    }
    link.backlog.store(false);
    return true;
}

bool ChannelNetwork::flushInlineVideo(Link& link) {
    const int fd = link.fd.get();
    while (link.video.frame != nullptr) {
        const I420Frame& frame = *link.video.frame;
        const std::size_t total = frame.bytes();
        const struct {
            const std::uint8_t* data;
            std::size_t size;
        } planes[] = {{frame.y.data(), frame.y.size()},
                      {frame.u.data(), frame.u.size()},
                      {frame.v.data(), frame.v.size()}};
        while (link.videoOffset < total) {
            const std::size_t offset = link.videoOffset;
            const std::size_t length = std::min(kWirePieceBytes, total - offset);
            std::uint8_t head[kVideoHeadBytes];
            encodeVideoHead(head, uid_, link.video.sequence, link.video.sentNs, frame.width,
                            frame.height, static_cast<std::uint32_t>(offset),
                            static_cast<std::uint32_t>(length));
            // The piece as slices of the planes it spans: no copy before the kernel's own.
            iovec parts[4] = {part(head, sizeof head)};
            int count = 1;
            std::size_t start = offset;
            std::size_t left = length;
            for (const auto& plane : planes) {
                if (left == 0) {
                    break;
                }
                if (start >= plane.size) {
                    start -= plane.size;
                    continue;
                }
                const std::size_t n = std::min(left, plane.size - start);
                parts[count++] = part(plane.data + start, n);
                left -= n;
                start = 0;
            }
            const SendResult result = sendMessage(fd, parts, count);
            if (result == SendResult::kFull) {
                link.backlog.store(true);
                return false;
            }
            if (result == SendResult::kBroken) {
                break;  // the network thread sees the end and drops the link
            }
            counters_.messagesOut.fetch_add(1, std::memory_order_relaxed);
            counters_.bytesOut.fetch_add(sizeof head + length, std::memory_order_relaxed);
            link.videoOffset += length;
        }
        link.video = std::move(link.nextVideo);
        link.nextVideo = Link::Frame{};
        link.videoOffset = 0;
    }
    return true;
}

void ChannelNetwork::run(std::shared_ptr<ChannelListener> listener) {
    std::vector<std::uint8_t> buffer(kWireMaxMessage);
    meetMembers(*listener, buffer);
    std::vector<pollfd> waits;
    std::vector<std::shared_ptr<Link>> polled;
    auto nextNameCheck = Clock::now() + kNameCheck;
    while (!leaving_.load()) {
        {
            std::lock_guard<std::mutex> lock(linksMutex_);
            polled = links_;
        }
        // Waits until something arrives, a silent connection's time is up, accepting may go on
        // or the name is due to be looked at.
        auto until = nextNameCheck;
        const bool accepting = Clock::now() >= acceptPausedUntil_;
        until = std::min(until, accepting ? until : acceptPausedUntil_);
        waits.clear();
        waits.push_back(pollfd{wake_.get(), POLLIN, 0});
        waits.push_back(pollfd{accepting ? listener_.get() : -1, POLLIN, 0});
        for (const auto& link : polled) {
            const short writing = link->backlog.load() ? POLLOUT : 0;
            waits.push_back(
                pollfd{link->fd.get(), static_cast<short>(POLLIN | POLLRDHUP | writing), 0});
            if (link->expectedUid == 0 && !link->reader.greeted()) {
                until = std::min(until, link->greetBy);
            }
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        const int timeoutMs = static_cast<int>(std::max<std::int64_t>(0, wait.count()) + 1);
        if (poll(waits.data(), waits.size(), timeoutMs) < 0 && errno != EINTR) {
            break;
        }
        if (leaving_.load()) {
            break;
        }
        if ((waits[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!read(wake_.get(), &count, sizeof count);
        }
        if ((waits[1].revents & POLLIN) != 0) {
            acceptMembers(*listener, buffer);
        }
        for (std::size_t i = 0; i < polled.size() && !leaving_.load(); ++i) {
            if (waits[i + 2].revents == 0) {
                continue;
            }
            if ((waits[i + 2].revents & POLLOUT) != 0) {
                std::lock_guard<std::mutex> lock(polled[i]->sendMutex);
                flush(*polled[i]);
            }
            if ((waits[i + 2].revents & ~POLLOUT) == 0) {
                continue;
            }
            const bool hungUp = (waits[i + 2].revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
            if (!readLink(*polled[i], *listener, buffer, hungUp)) {
                dropLink(polled[i], *listener, polled[i]->saidBye ? kOfflineQuit : kOfflineDropped);
            }
        }
        const auto now = Clock::now();
        for (const auto& link : polled) {
            if (link->expectedUid == 0 && !link->reader.greeted() && now >= link->greetBy &&
                dropLink(link, *listener, kOfflineDropped)) {
                counters_.refused.fetch_add(1, std::memory_order_relaxed);  // silent: not ours
            }
        }
        if (now >= nextNameCheck && !leaving_.load()) {
            checkName(*listener, buffer);
            nextNameCheck = Clock::now() + kNameCheck;
        }
    }
    if (leaving_.load()) {
        sendPendingByes();
        std::lock_guard<std::mutex> lock(byeStateMutex_);
        byesSettled_ = true;
        if (byesOutstanding_) {
            countOutstandingByes(-1);
        }
    }
    std::lock_guard<std::mutex> lock(linksMutex_);
    links_.clear();
}

void ChannelNetwork::acceptMembers(ChannelListener& listener, std::vector<std::uint8_t>& buffer) {
    while (true) {
        int failure = 0;
        const auto acceptOne = [&] {
            const int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            failure = fd < 0 ? errno : 0;
            return fd;
        };
        SocketFd fd = SocketFd::created(acceptOne);
        if (!fd.valid()) {
            if (failure == EINTR || failure == ECONNABORTED) {
                continue;
            }
            if (failure == EAGAIN || failure == EWOULDBLOCK) {
                return;
            }
            if ((failure == EMFILE || failure == ENFILE) && spare_.valid()) {
                // Out of descriptors: the spare makes room to take the connection and hang up on
                // it, so the queue empties instead of waking the wait again and again.
                spare_ = SocketFd();
                const bool took = SocketFd::created(acceptOne).valid();
                spare_ =
                    SocketFd::created([] { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); });
                if (took) {
                    counters_.refused.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
            }
            acceptPausedUntil_ = Clock::now() + kAcceptPause;  // never spin on a failing accept
            return;
        }
        std::size_t total = 0;
        std::size_t silent = 0;
        {
            std::lock_guard<std::mutex> lock(linksMutex_);
            total = links_.size();
            for (const auto& link : links_) {
                silent += link->expectedUid == 0 && !link->reader.greeted() ? 1 : 0;
            }
        }
        if (!sameUserAtOtherEnd(fd.get()) || total >= kMaxLinks || silent >= kMaxUngreeted) {
            counters_.refused.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (addLink(std::move(fd), 0)) {
            // A member greets as soon as it connected: read now, its hello does not count
            // against the silent ones when many join at once.
            std::shared_ptr<Link> link;
            {
                std::lock_guard<std::mutex> lock(linksMutex_);
                link = links_.back();
            }
            if (!readLink(*link, listener, buffer, false)) {
                dropLink(link, listener, link->saidBye ? kOfflineQuit : kOfflineDropped);
            }
        }
    }
}

void ChannelNetwork::checkName(ChannelListener& listener, std::vector<std::uint8_t>& buffer) {
    if (nameLost_) {
        return;
    }
    struct stat info {};
    if (lstat(path_.c_str(), &info) == 0) {
        if (static_cast<unsigned long long>(info.st_ino) != listenerInode_.load()) {
            nameLost_ = true;
            say(path_ + ": uid " + std::to_string(uid_) + " in channel \"" + channel_ +
                "\" was taken by another process meanwhile; members joining from now on do not "
                "meet this one");
        }
        return;
    }
    if (errno != ENOENT) {
        return;
    }
    // The folder or the name was removed (a cleaner of temporary files, a user): made again, so
    // that members joining later still meet this one.
    std::string error;
    int failure = 0;
    SocketFd listening;
    if (prepareFolder(dir_, error)) {
        listening = listenAt(path_, failure);
        if (!listening.valid()) {
            error = path_ + ": " + std::strerror(failure);
        }
    }
    if (!listening.valid()) {
        nameLost_ = true;
        say(path_ + ": removed, and cannot be made again: " + error +
            "; members joining from now on do not meet this one");
        return;
    }
    if (lstat(path_.c_str(), &info) == 0) {
        listenerInode_.store(static_cast<unsigned long long>(info.st_ino));
    }
    listener_ = std::move(listening);
    say(path_ + ": removed while in channel \"" + channel_ + "\"; made again");
    meetMembers(listener, buffer);
}

bool ChannelNetwork::refuseHello(const Link& link, const WirePeer& peer) const {
    if (peer.channel != channel_ || peer.uid == uid_ || avoid_.count(peer.uid) != 0) {
        return true;
    }
    if (link.expectedUid != 0 && peer.uid != link.expectedUid) {
        return true;  // not the member whose socket this one connected to
    }
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        for (const auto& other : links_) {
            if (other.get() != &link && other->greeted.load() &&
                other->reader.peer().uid == peer.uid) {
                return true;  // the uid is held by another link
            }
        }
    }
    // Only a member whose socket is in the folder holds a uid: a connection that merely greets
    // as one must not keep the real member out.
    return link.expectedUid == 0 &&
           probeMember(memberPath(dir_, key_, peer.uid)) != Liveness::kAlive;
}

bool ChannelNetwork::readLink(Link& link, ChannelListener& listener,
                              std::vector<std::uint8_t>& buffer, bool hungUp) {
    for (int i = 0; i < kReadBurst; ++i) {
        bool truncated = false;
        SocketFd passed;  // a ring's descriptor; closed unless mapped
        int descriptors = 0;
        const long got = receiveMessage(link.fd.get(), buffer.data(), buffer.size(), truncated,
                                        passed, descriptors);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (got == 0 && !hungUp) {
            // The end may have come after the wait: ask again before calling it a message.
            pollfd now{link.fd.get(), POLLRDHUP, 0};
            hungUp = poll(&now, 1, 0) > 0 && (now.revents & (POLLHUP | POLLRDHUP)) != 0;
        }
        if (got == 0 && hungUp) {
            return false;  // the other end is closed: left or gone
        }
        if (got == 0) {
            // An empty message, not the end: refused like any other malformed one.
            counters_.refused.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        counters_.messagesIn.fetch_add(1, std::memory_order_relaxed);
        counters_.bytesIn.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
        const bool wasGreeted = link.reader.greeted();
        const std::uint64_t abandoned = link.reader.abandoned();
        const WireEvent event =
            link.reader.read(buffer.data(), static_cast<std::size_t>(got), truncated, descriptors);
        if (link.reader.abandoned() != abandoned) {
            counters_.abandoned.fetch_add(1, std::memory_order_relaxed);
        }
        const std::size_t holding = link.reader.assembling();
        assembling_ = assembling_ - link.assembling + holding;
        link.assembling = holding;
        if (assembling_ > kMaxAssemblingBytes) {
            counters_.refused.fetch_add(1, std::memory_order_relaxed);
            return false;  // more incomplete frames than all links together may hold
        }
        switch (event) {
            case WireEvent::kNothing:
                break;
            case WireEvent::kRefused:
                counters_.refused.fetch_add(1, std::memory_order_relaxed);
                if (!wasGreeted || descriptors > 0) {
                    return false;  // not one of ours, or passing what it may not: hang up
                }
                break;
            case WireEvent::kHello: {
                const WirePeer& peer = link.reader.peer();
                if (refuseHello(link, peer)) {
                    counters_.refused.fetch_add(1, std::memory_order_relaxed);
                    if (avoid_.count(peer.uid) != 0 && peer.channel == channel_) {
                        say("uid " + std::to_string(peer.uid) + " joined channel \"" + channel_ +
                            "\" but is a simulated user of this process; it is not shown");
                    }
                    return false;
                }
                link.greeted.store(true, std::memory_order_release);
                listener.peerJoined(peer.uid);
                break;
            }
            case WireEvent::kBye:
                link.saidBye = true;
                return false;
            case WireEvent::kAudio:
                listener.peerAudio(link.reader.peer().uid, link.reader.audio());
                break;
            case WireEvent::kRing:
                if (!mapRing(link, std::move(passed))) {
                    counters_.refused.fetch_add(1, std::memory_order_relaxed);
                    return false;  // a member that passes a bad ring is hung up on
                }
                break;
            case WireEvent::kAudioSlot:
                if (!copyAudioSlot(link, listener)) {
                    counters_.refused.fetch_add(1, std::memory_order_relaxed);
                }
                break;
            case WireEvent::kVideoSlot:
                if (!copyVideoSlot(link, listener)) {
                    counters_.refused.fetch_add(1, std::memory_order_relaxed);
                }
                break;
            case WireEvent::kReleased: {
                // A slot of ours is free again: the frame waiting for one goes now.
                std::lock_guard<std::mutex> lock(link.sendMutex);
                flush(link);
                break;
            }
            case WireEvent::kVideo: {
                thread_local I420Frame frame;
                link.reader.takeVideo(frame);
                listener.peerVideo(link.reader.peer().uid, frame, link.reader.videoSequence(),
                                   link.reader.videoSentNs());
                break;
            }
        }
    }
    return true;
}

bool ChannelNetwork::mapRing(Link& link, SocketFd passed) {
    const WireRing& ring = link.reader.ring();
    const bool video = ring.stream == static_cast<std::uint32_t>(WireStream::kVideo);
    std::unique_ptr<RingReader>& held = video ? link.videoIn : link.audioIn;
    // One ring per stream; a video ring is replaced only by one with larger slots, so a member
    // can pass only a bounded number of them.
    if (held != nullptr && (!video || ring.slotBytes <= held->slotBytes())) {
        return false;
    }
    const std::size_t before = held != nullptr ? held->bytes() : 0;
    const std::size_t after =
        kRingControlBytes + static_cast<std::size_t>(ring.slots) * ring.slotBytes;
    if (mapped_ - before + after > kMaxMappedBytes) {
        return false;
    }
    const char* why = "";
    std::unique_ptr<RingReader> mapped = RingReader::map(passed.get(), ring, why);
    if (mapped == nullptr) {
        return false;
    }
    mapped_ = mapped_ - before + mapped->bytes();
    link.mapped = link.mapped - before + mapped->bytes();
    held = std::move(mapped);
    counters_.ringsIn.fetch_add(1, std::memory_order_relaxed);
    return true;  // the mapping keeps the ring: its descriptor closes now
}

void ChannelNetwork::releaseSlot(Link& link, WireStream stream, std::uint32_t slot) {
    RingReader* ring = (stream == WireStream::kAudio ? link.audioIn : link.videoIn).get();
    if (!ring->release(slot)) {
        return;
    }
    // The member waits for a slot. A released message its full queue cannot take is not
    // retried: its next frame finds the slot free.
    const std::vector<std::uint8_t> message = encodeReleased(uid_, stream);
    const iovec parts[] = {part(message.data(), message.size())};
    std::lock_guard<std::mutex> lock(link.sendMutex);
    if (sendMessage(link.fd.get(), parts, 1) == SendResult::kSent) {
        counters_.messagesOut.fetch_add(1, std::memory_order_relaxed);
        counters_.bytesOut.fetch_add(message.size(), std::memory_order_relaxed);
    }
}

bool ChannelNetwork::copyAudioSlot(Link& link, ChannelListener& listener) {
    const WireSlot& slot = link.reader.audioSlot();
    const std::uint8_t* in =
        link.audioIn != nullptr ? link.audioIn->slot(slot.slot, slot.length) : nullptr;
    if (in == nullptr) {
        return false;  // no ring, or a slot or length outside it
    }
    std::memcpy(link.reader.audioSamples().data(), in, slot.length);
    releaseSlot(link, WireStream::kAudio, slot.slot);
    counters_.bytesIn.fetch_add(slot.length, std::memory_order_relaxed);
    listener.peerAudio(link.reader.peer().uid, link.reader.audio());
    return true;
}

bool ChannelNetwork::copyVideoSlot(Link& link, ChannelListener& listener) {
    const WireSlot& slot = link.reader.videoSlot();
    const std::uint8_t* in =
        link.videoIn != nullptr ? link.videoIn->slot(slot.slot, slot.length) : nullptr;
    if (in == nullptr) {
        return false;
    }
    // The frame that comes back from the listener is a spare of the same size, most times:
    // copied into without an allocation.
    thread_local I420Frame frame;
    frame.resize(slot.width, slot.height);
    for (std::vector<std::uint8_t>* plane : {&frame.y, &frame.u, &frame.v}) {
        std::memcpy(plane->data(), in, plane->size());
        in += plane->size();
    }
    releaseSlot(link, WireStream::kVideo, slot.slot);
    counters_.bytesIn.fetch_add(slot.length, std::memory_order_relaxed);
    listener.peerVideo(link.reader.peer().uid, frame, slot.sequence, slot.sentNs);
    return true;
}

bool ChannelNetwork::dropLink(const std::shared_ptr<Link>& link, ChannelListener& listener,
                              int reason) {
    const bool wasMember = link->greeted.exchange(false);
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        for (auto it = links_.begin(); it != links_.end(); ++it) {
            if (*it == link) {
                links_.erase(it);
                found = true;
                assembling_ -= link->assembling;
                link->assembling = 0;
                mapped_ -= link->mapped;
                link->mapped = 0;
                break;
            }
        }
    }
    if (found && wasMember && !leaving_.load()) {
        listener.peerLeft(link->reader.peer().uid, reason);
    }
    return found;
}

std::string ChannelNetwork::json() const {
    std::string uids;
    for (std::uint32_t uid : members()) {
        uids += (uids.empty() ? "" : ",") + std::to_string(uid);
    }
    auto count = [](const std::atomic<std::uint64_t>& value) {
        return std::to_string(value.load(std::memory_order_relaxed));
    };
    // Names are any bytes: repaired to UTF-8 and quoted by the JSON library, control characters
    // and all.
    std::string out = "{\"dir\":";
    appendJsonString(out, repairUtf8(dir_.data(), dir_.size()));
    out += ",\"channel\":";
    appendJsonString(out, repairUtf8(channel_.data(), channel_.size()));
    return out + ",\"uid\":" + std::to_string(uid_) + ",\"members\":[" + uids +
           "],\"messagesIn\":" + count(counters_.messagesIn) +
           ",\"bytesIn\":" + count(counters_.bytesIn) + ",\"refused\":" + count(counters_.refused) +
           ",\"abandoned\":" + count(counters_.abandoned) +
           ",\"messagesOut\":" + count(counters_.messagesOut) +
           ",\"bytesOut\":" + count(counters_.bytesOut) +
           ",\"sendsDropped\":" + count(counters_.sendsDropped) +
           ",\"ringsIn\":" + count(counters_.ringsIn) +
           ",\"ringsOut\":" + count(counters_.ringsOut) +
           ",\"slotWaits\":" + count(counters_.slotWaits) +
           ",\"videoReplaced\":" + count(counters_.videoReplaced) +
           ",\"audioDropped\":" + count(counters_.audioDropped) + "}";
}

}  // namespace sim
}  // namespace velto
