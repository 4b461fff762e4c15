#include "simengine/ChannelNetwork.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>

#include "simengine/NetworkFolder.h"

namespace velto {
namespace sim {

namespace {

// How long a join waits for another process's join to finish before going ahead anyway (a
// process stopped while holding the lock must not stop everybody).
constexpr int kLockWaitMs = 2000;
// How long leave() waits for room for a goodbye in a member's queue.
constexpr int kByeWaitMs = 100;
// Messages read from one link before the others get their turn.
constexpr int kReadBurst = 256;
// Highest uid the engine hands out: below 2**31, so a program sees it positive.
constexpr std::uint32_t kMaxAssignedUid = 0x7fffffff;

SocketFd takeJoinLock(const std::string& dir) {
    SocketFd lock(open(lockPath(dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.valid()) {
        return lock;
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            break;
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            break;
        }
        usleep(2000);
    }
    return lock;
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
    explicit Link(SocketFd socket) : fd(std::move(socket)) {}

    SocketFd fd;
    // Their hello arrived and was accepted: media goes to them from now on.
    std::atomic<bool> greeted{false};
    // Network thread only.
    WireReader reader;
    bool finished = false;
    bool saidBye = false;

    // What waits to be sent because the member's queue was full, guarded by sendMutex: audio
    // messages (oldest dropped beyond kAudioBacklog), the video frame in flight with the bytes
    // of it already sent, and the next frame (a newer one replaces it). `backlog` tells the
    // network thread to wait until the member's queue has room again.
    std::mutex sendMutex;
    std::deque<std::vector<std::uint8_t>> audio;
    struct Frame {
        std::shared_ptr<const I420Frame> frame;
        std::uint32_t sequence = 0;
        std::uint64_t sentNs = 0;
    };
    Frame video;
    std::size_t videoOffset = 0;
    Frame nextVideo;
    std::atomic<bool> backlog{false};
};

ChannelNetwork::ChannelNetwork(std::string dir, std::string channel, std::uint32_t uid)
    : dir_(std::move(dir)),
      channel_(std::move(channel)),
      uid_(uid),
      path_(memberPath(dir_, channelKey(channel_), uid_)) {}

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
    SocketFd lock = takeJoinLock(dir);
    cleanStaleMembers(dir);

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
        int failure = 0;
        SocketFd listening = listenAt(path, failure);
        if (!listening.valid() && failure == EADDRINUSE && probeMember(path) == Liveness::kStale) {
            removeStale(path);
            listening = listenAt(path, failure);
        }
        if (listening.valid()) {
            std::shared_ptr<ChannelNetwork> network(new ChannelNetwork(dir, channel, chosen));
            network->listener_ = std::move(listening);
            network->lock_ = std::move(lock);
            network->wake_ = SocketFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
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

void ChannelNetwork::addLink(SocketFd fd) {
    widenSendBuffer(fd.get());
    const std::vector<std::uint8_t> hello = encodeHello(uid_, channel_);
    const iovec parts[] = {part(hello.data(), hello.size())};
    if (sendMessage(fd.get(), parts, 1) != SendResult::kSent) {
        return;  // a member that cannot take even a hello is not one
    }
    std::lock_guard<std::mutex> lock(linksMutex_);
    links_.push_back(std::make_shared<Link>(std::move(fd)));
}

void ChannelNetwork::start(std::shared_ptr<ChannelListener> listener) {
    for (const Member& member : listMembers(dir_, channelKey(channel_))) {
        if (member.uid == uid_) {
            continue;
        }
        int failure = 0;
        SocketFd fd = connectTo(member.path, failure);
        if (fd.valid() && sameUserAtOtherEnd(fd.get())) {
            addLink(std::move(fd));
        } else if (failure == ECONNREFUSED) {
            removeStale(member.path);
        }
    }
    lock_ = SocketFd();  // the members already here are connected: the next join may go on
    auto self = shared_from_this();
    std::thread([self, listener] { self->run(listener); }).detach();
}

void ChannelNetwork::leave() {
    if (leaving_.exchange(true)) {
        return;
    }
    // The name first, so a member joining now no longer finds this one. Nobody else can have
    // taken it: it is only ever removed once its owner no longer listens.
    unlink(path_.c_str());
    const std::vector<std::uint8_t> bye = encodeBye(uid_);
    const iovec parts[] = {part(bye.data(), bye.size())};
    for (const auto& link : sendableLinks()) {
        sendMessageWaiting(link->fd.get(), parts, 1, kByeWaitMs);
    }
    wake();
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
    std::vector<std::uint8_t> message =
        encodeAudioHead(uid_, sequence, wireClockNs(), sampleRate, channels, samples);
    const std::size_t head = message.size();
    const std::size_t bytes = static_cast<std::size_t>(samples) * channels * sizeof *pcm;
    message.resize(head + bytes);
    std::memcpy(message.data() + head, pcm, bytes);
    bool backlog = false;
    for (const auto& link : links) {
        std::lock_guard<std::mutex> lock(link->sendMutex);
        if (link->audio.size() >= kAudioBacklog) {
            link->audio.pop_front();
            counters_.sendsDropped.fetch_add(1, std::memory_order_relaxed);
        }
        link->audio.push_back(message);
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
        if (link->video.frame == nullptr) {
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

bool ChannelNetwork::flush(Link& link) {
    const int fd = link.fd.get();
    while (!link.audio.empty()) {
        const std::vector<std::uint8_t>& message = link.audio.front();
        const iovec parts[] = {part(message.data(), message.size())};
        const SendResult result = sendMessage(fd, parts, 1);
        if (result == SendResult::kFull) {
            link.backlog.store(true);
            return false;
        }
        if (result == SendResult::kSent) {
            counters_.messagesOut.fetch_add(1, std::memory_order_relaxed);
            counters_.bytesOut.fetch_add(message.size(), std::memory_order_relaxed);
        }
        link.audio.pop_front();
    }
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
    link.backlog.store(false);
    return true;
}

void ChannelNetwork::run(std::shared_ptr<ChannelListener> listener) {
    std::vector<std::uint8_t> buffer(kWireMaxMessage);
    std::vector<pollfd> waits;
    std::vector<std::shared_ptr<Link>> polled;
    while (!leaving_.load()) {
        {
            std::lock_guard<std::mutex> lock(linksMutex_);
            polled = links_;
        }
        waits.clear();
        waits.push_back(pollfd{wake_.get(), POLLIN, 0});
        waits.push_back(pollfd{listener_.get(), POLLIN, 0});
        for (const auto& link : polled) {
            const short writing = link->backlog.load() ? POLLOUT : 0;
            waits.push_back(
                pollfd{link->fd.get(), static_cast<short>(POLLIN | POLLRDHUP | writing), 0});
        }
        if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) {
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
            acceptMembers();
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
    }
    std::lock_guard<std::mutex> lock(linksMutex_);
    links_.clear();
}

void ChannelNetwork::acceptMembers() {
    while (true) {
        SocketFd fd(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            return;
        }
        if (!sameUserAtOtherEnd(fd.get())) {
            counters_.refused.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        addLink(std::move(fd));
    }
}

bool ChannelNetwork::readLink(Link& link, ChannelListener& listener,
                              std::vector<std::uint8_t>& buffer, bool hungUp) {
    for (int i = 0; i < kReadBurst; ++i) {
        iovec into = part(buffer.data(), buffer.size());
        msghdr message{};
        message.msg_iov = &into;
        message.msg_iovlen = 1;
        const ssize_t got = recvmsg(link.fd.get(), &message, MSG_DONTWAIT);
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
        const WireEvent event = link.reader.read(buffer.data(), static_cast<std::size_t>(got),
                                                 (message.msg_flags & MSG_TRUNC) != 0);
        if (link.reader.abandoned() != abandoned) {
            counters_.abandoned.fetch_add(1, std::memory_order_relaxed);
        }
        switch (event) {
            case WireEvent::kNothing:
                break;
            case WireEvent::kRefused:
                counters_.refused.fetch_add(1, std::memory_order_relaxed);
                if (!wasGreeted) {
                    return false;  // not one of ours: hang up
                }
                break;
            case WireEvent::kHello: {
                const WirePeer& peer = link.reader.peer();
                bool duplicate = peer.uid == uid_;
                {
                    std::lock_guard<std::mutex> lock(linksMutex_);
                    for (const auto& other : links_) {
                        duplicate = duplicate || (other.get() != &link && other->greeted.load() &&
                                                  other->reader.peer().uid == peer.uid);
                    }
                }
                if (peer.channel != channel_ || duplicate || avoid_.count(peer.uid) != 0) {
                    counters_.refused.fetch_add(1, std::memory_order_relaxed);
                    if (avoid_.count(peer.uid) != 0) {
                        const std::string line =
                            "velto-sim: network: uid " + std::to_string(peer.uid) +
                            " joined channel \"" + channel_ +
                            "\" but is a simulated user of this process; it is not shown\n";
                        std::fwrite(line.data(), 1, line.size(), stderr);
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

void ChannelNetwork::dropLink(const std::shared_ptr<Link>& link, ChannelListener& listener,
                              int reason) {
    const bool wasMember = link->greeted.exchange(false);
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        for (auto it = links_.begin(); it != links_.end(); ++it) {
            if (*it == link) {
                links_.erase(it);
                break;
            }
        }
    }
    if (wasMember && !leaving_.load()) {
        listener.peerLeft(link->reader.peer().uid, reason);
    }
}

std::string ChannelNetwork::json() const {
    std::string uids;
    for (std::uint32_t uid : members()) {
        uids += (uids.empty() ? "" : ",") + std::to_string(uid);
    }
    auto count = [](const std::atomic<std::uint64_t>& value) {
        return std::to_string(value.load(std::memory_order_relaxed));
    };
    std::string escapedDir;
    for (char c : dir_) {
        if (c == '"' || c == '\\') {
            escapedDir += '\\';
        }
        escapedDir += c;
    }
    std::string escapedChannel;
    for (char c : channel_) {
        if (c == '"' || c == '\\') {
            escapedChannel += '\\';
        }
        if (static_cast<unsigned char>(c) >= 0x20) {
            escapedChannel += c;
        }
    }
    return "{\"dir\":\"" + escapedDir + "\",\"channel\":\"" + escapedChannel +
           "\",\"uid\":" + std::to_string(uid_) + ",\"members\":[" + uids +
           "],\"messagesIn\":" + count(counters_.messagesIn) +
           ",\"bytesIn\":" + count(counters_.bytesIn) + ",\"refused\":" + count(counters_.refused) +
           ",\"abandoned\":" + count(counters_.abandoned) +
           ",\"messagesOut\":" + count(counters_.messagesOut) +
           ",\"bytesOut\":" + count(counters_.bytesOut) +
           ",\"sendsDropped\":" + count(counters_.sendsDropped) + "}";
}

}  // namespace sim
}  // namespace velto
