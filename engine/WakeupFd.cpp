#include "engine/WakeupFd.h"

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

#if defined(__linux__)
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#elif !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#else
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max stay usable
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#endif

namespace pyv {

#if defined(__linux__)

// The eventfd is private: only raise/lower and the watcher use it. Readers get an epoll
// descriptor that is readable while the eventfd is (level-triggered). Whether a number is still
// that watcher can be asked without harm: only our watcher has our eventfd registered, so
// EPOLL_CTL_MOD succeeds on it and fails on any other file the number may have become.

namespace {
int makeEventFd() {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    return fd;
}
}  // namespace

WakeupFd::WakeupFd() {
    readFd_ = writeFd_ = makeEventFd();
}

WakeupFd::~WakeupFd() {
    closeWatcher();
    close(readFd_);
}

int WakeupFd::fileno() {
    if (watcherFd_ >= 0 && ownsWatcher()) {
        return watcherFd_;
    }
    // Never made, or closed by the reader: a new one (the old number is not ours to close).
    watcherFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (watcherFd_ < 0) {
        return -1;
    }
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.fd = readFd_;
    if (epoll_ctl(watcherFd_, EPOLL_CTL_ADD, readFd_, &interest) != 0) {
        close(watcherFd_);
        watcherFd_ = -1;
    }
    return watcherFd_;
}

bool WakeupFd::ownsWatcher() const noexcept {
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.fd = readFd_;
    return epoll_ctl(watcherFd_, EPOLL_CTL_MOD, readFd_, &interest) == 0;
}

void WakeupFd::closeWatcher() noexcept {
    if (watcherFd_ >= 0 && ownsWatcher()) {
        close(watcherFd_);
    }
    watcherFd_ = -1;
}

void WakeupFd::raise() noexcept {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(writeFd_, &one, sizeof one);
}

void WakeupFd::lower() noexcept {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(readFd_, &count, sizeof count);
}

void WakeupFd::restartInForkChild() noexcept {
    // The child's copies only: the parent's eventfd and watcher stay as they are.
    closeWatcher();
    close(readFd_);
    readFd_ = writeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

#elif !defined(_WIN32)

WakeupFd::WakeupFd() {
    int fds[2];
    if (pipe(fds) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    for (const int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
}

WakeupFd::~WakeupFd() {
    close(readFd_);
    close(writeFd_);
}

int WakeupFd::fileno() {
    return readFd_;
}

void WakeupFd::raise() noexcept {
    const char one = 1;
    [[maybe_unused]] const ssize_t written = write(writeFd_, &one, 1);
}

void WakeupFd::lower() noexcept {
    char drained[64];
    while (read(readFd_, drained, sizeof drained) > 0) {
    }
}

void WakeupFd::restartInForkChild() noexcept {
    close(readFd_);
    close(writeFd_);
    int fds[2];
    if (pipe(fds) != 0) {
        readFd_ = writeFd_ = -1;
        return;
    }
    for (const int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
}

#else  // _WIN32

// A connected pair of loopback TCP sockets: Windows' select() watches sockets only, and a socket
// is what asyncio's selector loop can add_reader. Socket handles are kept in the int fields:
// Windows gives them 32 significant bits, as Python's own socket.fileno() assumes.
namespace {

SOCKET socketOf(int fd) {
    return static_cast<SOCKET>(static_cast<unsigned int>(fd));
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(WSAGetLastError(), std::system_category(), what);
}

SOCKET newSocket() {
    const SOCKET made =
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (made == INVALID_SOCKET) {
        fail("WSASocket");
    }
    return made;
}

// Closes the socket unless released.
struct SocketCloser {
    SOCKET socket;
    ~SocketCloser() {
        if (socket != INVALID_SOCKET) {
            closesocket(socket);
        }
    }
    SOCKET release() { return std::exchange(socket, INVALID_SOCKET); }
};

}  // namespace

WakeupFd::WakeupFd() {
    WSADATA data;
    if (const int error = WSAStartup(MAKEWORD(2, 2), &data)) {
        throw std::system_error(error, std::system_category(), "WSAStartup");
    }
    try {
        SocketCloser listener{newSocket()};
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(listener.socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener.socket, 1) != 0 ||
            getsockname(listener.socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            fail("loopback listener");
        }
        SocketCloser writer{newSocket()};
        if (connect(writer.socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            fail("connect");
        }
        SocketCloser reader{accept(listener.socket, nullptr, nullptr)};
        // Only our own connection will do: another local program could have come first.
        sockaddr_in writerEnd{};
        sockaddr_in readerPeer{};
        int writerLength = sizeof writerEnd;
        int peerLength = sizeof readerPeer;
        if (reader.socket == INVALID_SOCKET ||
            getsockname(writer.socket, reinterpret_cast<sockaddr*>(&writerEnd), &writerLength) ||
            getpeername(reader.socket, reinterpret_cast<sockaddr*>(&readerPeer), &peerLength) ||
            writerEnd.sin_port != readerPeer.sin_port ||
            writerEnd.sin_addr.s_addr != readerPeer.sin_addr.s_addr) {
            fail("accept");
        }
        SetHandleInformation(reinterpret_cast<HANDLE>(reader.socket), HANDLE_FLAG_INHERIT, 0);
        u_long nonBlocking = 1;
        ioctlsocket(reader.socket, FIONBIO, &nonBlocking);
        ioctlsocket(writer.socket, FIONBIO, &nonBlocking);
        const BOOL noDelay = TRUE;
        setsockopt(writer.socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        readFd_ = static_cast<int>(reader.release());
        writeFd_ = static_cast<int>(writer.release());
    } catch (...) {
        WSACleanup();
        throw;
    }
}

WakeupFd::~WakeupFd() {
    closesocket(socketOf(readFd_));
    closesocket(socketOf(writeFd_));
    WSACleanup();
}

void WakeupFd::raise() noexcept {
    const char one = 1;
    send(socketOf(writeFd_), &one, 1, 0);
}

void WakeupFd::lower() noexcept {
    char drained[64];
    while (recv(socketOf(readFd_), drained, sizeof drained, 0) > 0) {
    }
}

// A socket handle, handed out as it is: there is no fork on Windows, and closing it by number
// through the C runtime fails without touching it.
int WakeupFd::fileno() {
    return readFd_;
}

void WakeupFd::restartInForkChild() noexcept {}

#endif

}  // namespace pyv
