#include "simengine/ChannelSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

namespace velto {
namespace sim {

namespace {

constexpr int kBacklog = 64;
constexpr int kSendBufferBytes = 4 * 1024 * 1024;

bool addressOf(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The network's open descriptors, for a forked child to let go of. Never destroyed: detached
// network threads may close descriptors while the process exits.
struct OpenDescriptors {
    std::mutex mutex;
    std::set<int> fds;
};

OpenDescriptors& openDescriptors() {
    static OpenDescriptors* const instance = new OpenDescriptors;
    return *instance;
}

SocketFd newSocket(int& error) {
    SocketFd fd = SocketFd::created(
        [] { return socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); });
    if (!fd.valid()) {
        error = errno;
    }
    return fd;
}

// A new socket and the address of `path` for it; an invalid one with `error` set when the path is
// too long for an address or no socket can be made.
SocketFd socketFor(const std::string& path, sockaddr_un& address, int& error) {
    if (!addressOf(path, address)) {
        error = ENAMETOOLONG;
        return SocketFd();
    }
    return newSocket(error);
}

}  // namespace

SocketFd SocketFd::created(const std::function<int()>& create) {
    OpenDescriptors& open = openDescriptors();
    std::lock_guard<std::mutex> lock(open.mutex);
    SocketFd owned;
    owned.fd_ = create();
    if (owned.fd_ >= 0) {
        const int saved = errno;
        open.fds.insert(owned.fd_);
        errno = saved;
    }
    return owned;
}

SocketFd& SocketFd::operator=(SocketFd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

SocketFd::~SocketFd() {
    close();
}

void SocketFd::close() {
    if (fd_ < 0) {
        return;
    }
    // Closed and unlisted at once: a child forked in between would replace a number that another
    // thread may already have reused.
    OpenDescriptors& open = openDescriptors();
    std::lock_guard<std::mutex> lock(open.mutex);
    ::close(fd_);
    open.fds.erase(fd_);
    fd_ = -1;
}

void lockNetworkForFork() {
    openDescriptors().mutex.lock();
}

void unlockNetworkAfterFork() {
    openDescriptors().mutex.unlock();
}

void closeNetworkInForkChild() {
    OpenDescriptors& open = openDescriptors();
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 && !open.fds.empty()) {
        // No descriptor free: one of ours makes room, and gets /dev/null below like the others.
        ::close(*open.fds.begin());
        null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    }
    for (const int fd : open.fds) {
        if (null >= 0 && fd != null) {
            (void)dup3(null, fd, O_CLOEXEC);
        }
    }
    if (null >= 0 && open.fds.count(null) == 0) {
        ::close(null);
    }
    open.mutex.unlock();
}

SocketFd listenAt(const std::string& path, int& error) {
    // Bound and listening under a name of its own first, then linked to `path`: the name
    // appears only once someone listens there (so a name that refuses connections is stale,
    // never one being set up), and link() fails when the name is taken.
    static std::atomic<unsigned> made{0};
    const std::string temporary = path.substr(0, path.rfind('/') + 1) + "t" +
                                  std::to_string(static_cast<long>(getpid())) + "-" +
                                  std::to_string(made.fetch_add(1)) + ".sock";
    sockaddr_un address{};
    SocketFd fd = socketFor(temporary, address, error);
    if (!fd.valid()) {
        return fd;
    }
    unlink(temporary.c_str());  // left by a process of this pid that died
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        return SocketFd();
    }
    // Nobody else may connect: the folder is 0700 already, the socket is made 0600 as well
    // (the umask is the whole process's, so it is not touched).
    if (chmod(temporary.c_str(), 0600) != 0 || listen(fd.get(), kBacklog) != 0 ||
        link(temporary.c_str(), path.c_str()) != 0) {
        error = errno == EEXIST ? EADDRINUSE : errno;
        unlink(temporary.c_str());
        return SocketFd();
    }
    unlink(temporary.c_str());
    return fd;
}

SocketFd connectTo(const std::string& path, int& error) {
    sockaddr_un address{};
    SocketFd fd = socketFor(path, address, error);
    if (!fd.valid()) {
        return fd;
    }
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        return SocketFd();
    }
    return fd;
}

Liveness probeMember(const std::string& path) {
    int error = 0;
    const SocketFd fd = connectTo(path, error);
    if (fd.valid() || error == EAGAIN) {
        return Liveness::kAlive;  // EAGAIN: a full backlog, someone listens
    }
    return error == ECONNREFUSED ? Liveness::kStale : Liveness::kUnknown;
}

void removeStale(const std::string& path) {
    struct stat before {};
    if (lstat(path.c_str(), &before) != 0 || !S_ISSOCK(before.st_mode)) {
        return;
    }
    if (probeMember(path) != Liveness::kStale) {
        return;
    }
    // Another member may have cleaned and re-bound the name meanwhile: only the same inode goes.
    struct stat now {};
    if (lstat(path.c_str(), &now) == 0 && now.st_ino == before.st_ino &&
        now.st_dev == before.st_dev) {
        unlink(path.c_str());
    }
}

bool sameUserAtOtherEnd(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           credentials.uid == geteuid();
}

void widenSendBuffer(int fd) {
    const int size = kSendBufferBytes;
    // The system caps it (net.core.wmem_max); whatever it grants is fine.
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

SendResult sendMessage(int fd, const iovec* parts, int count, int passed) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(parts);
    message.msg_iovlen = static_cast<std::size_t>(count);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passed >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
    }
    while (true) {
        if (sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
            return SendResult::kSent;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? SendResult::kFull
                                                                           : SendResult::kBroken;
    }
}

long receiveMessage(int fd, void* buffer, std::size_t size, bool& truncated, SocketFd& passed,
                    int& descriptors) {
    iovec into{buffer, size};
    msghdr message{};
    message.msg_iov = &into;
    message.msg_iovlen = 1;
    // Room for a few: a peer passing more than one is refused, and each is closed.
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // One reference captured, so the call allocates nothing.
    struct {
        int fd;
        msghdr* message;
        long got;
        int descriptors;
    } state{fd, &message, -1, 0};
    passed = SocketFd::created([&state] {
        msghdr& message = *state.message;
        state.got = static_cast<long>(recvmsg(state.fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC));
        if (state.got < 0) {
            return -1;
        }
        const int saved = errno;
        int first = -1;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
                continue;
            }
            const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(header) + i * sizeof(int), sizeof received);
                ++state.descriptors;
                if (first < 0) {
                    first = received;
                } else {
                    ::close(received);
                }
            }
        }
        if ((message.msg_flags & MSG_CTRUNC) != 0) {
            ++state.descriptors;
        }
        errno = saved;
        return first;
    });
    const int saved = errno;
    const long got = state.got;
    descriptors = state.descriptors;
    truncated = got >= 0 && (message.msg_flags & MSG_TRUNC) != 0;
    errno = saved;
    return got;
}

SendResult sendMessageWaiting(int fd, const iovec* parts, int count, int timeoutMs) {
    SendResult result = sendMessage(fd, parts, count);
    if (result != SendResult::kFull) {
        return result;
    }
    pollfd wait{fd, POLLOUT, 0};
    if (poll(&wait, 1, timeoutMs) > 0 && (wait.revents & POLLOUT) != 0) {
        result = sendMessage(fd, parts, count);
    }
    return result;
}

}  // namespace sim
}  // namespace velto
