// The sockets that carry a channel's messages: Unix domain SOCK_SEQPACKET, one connection per
// pair of members: the kernel keeps each message whole and in order, tells a member at once when
// the other end's process is gone (end of stream), and checks the folder's permissions and the
// peer's credentials. Media payloads travel in shared memory beside them (ChannelRing.h): a
// socket carries only small messages, and a ring's descriptor once. Functions are safe from any
// thread; a descriptor is used by one sending and one receiving thread at most.
#pragma once

#if defined(_WIN32)
#include <cstddef>
#else
#include <sys/uio.h>
#endif

#include <functional>
#include <string>

#if defined(_WIN32)
// Declared for the Linux-only sockets' interfaces, which Windows builds declare but never call.
struct iovec {
    void* iov_base;
    std::size_t iov_len;
};
#endif

namespace velto {
namespace sim {

// Owns one descriptor of the network; closes it when destroyed. Every such descriptor is
// close-on-exec and listed process-wide while open, so that a child forked without exec lets go
// of it at once (closeNetworkInForkChild): a member that forked and died is seen gone at once.
class SocketFd {
  public:
    SocketFd() = default;
    // Takes `fd` (or -1) as returned by `create`, which runs under the list's lock so that a fork
    // at any moment finds the new descriptor listed.
    static SocketFd created(const std::function<int()>& create);
    SocketFd(SocketFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    SocketFd& operator=(SocketFd&& other) noexcept;
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;
    ~SocketFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

  private:
    void close();

    int fd_ = -1;
};

// fork(): the list's lock is held across it (taken last, it is only ever held around a system
// call), and in the child every listed descriptor is replaced by /dev/null: the number stays
// owned and valid, the socket or lock is let go.
void lockNetworkForFork();
void unlockNetworkAfterFork();
void closeNetworkInForkChild();

// A listening socket at `path`, non-blocking, the name appearing only once it listens; invalid
// with errno kept in `error` (EADDRINUSE when the name is taken).
SocketFd listenAt(const std::string& path, int& error);

// A non-blocking connection to the member listening at `path`; invalid with `error` set
// (ECONNREFUSED when nobody listens: a stale name).
SocketFd connectTo(const std::string& path, int& error);

enum class Liveness { kAlive, kStale, kUnknown };
// Whether a process listens at `path`, by connecting (and hanging up at once).
Liveness probeMember(const std::string& path);
// Removes the stale name at `path` unless it was replaced meanwhile.
void removeStale(const std::string& path);

// The uid of the process at the other end matches ours.
bool sameUserAtOtherEnd(int fd);

// Enlarges the send buffer, so a frame's pieces fit at once when the receiver keeps up.
void widenSendBuffer(int fd);

enum class SendResult {
    kSent,
    kFull,    // the receiver's queue is full: the message was dropped
    kBroken,  // the connection is gone
};
// One message from `parts`, without waiting and without raising SIGPIPE; `passed`, unless -1,
// goes with it as a descriptor for the other process.
SendResult sendMessage(int fd, const iovec* parts, int count, int passed = -1);

// One message into `buffer`, without waiting: its length, or -1 with errno set. `truncated`:
// it was longer than `size`. Descriptors that came with it are listed as ours at once (under
// the list's lock, so a fork never finds one unlisted): the first is kept in `passed`, the
// others are closed; `descriptors` counts them all, and a cut-off list counts one more.
long receiveMessage(int fd, void* buffer, std::size_t size, bool& truncated, SocketFd& passed,
                    int& descriptors);
// As sendMessage, but waits up to `timeoutMs` for room (a goodbye that must arrive).
SendResult sendMessageWaiting(int fd, const iovec* parts, int count, int timeoutMs);

}  // namespace sim
}  // namespace velto
