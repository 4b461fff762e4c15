#include "engine/WakeupFd.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

#if defined(__linux__)
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#elif !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
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

#else

WakeupFd::WakeupFd() = default;
WakeupFd::~WakeupFd() = default;
int WakeupFd::fileno() {
    return -1;
}
void WakeupFd::raise() noexcept {}
void WakeupFd::lower() noexcept {}
void WakeupFd::restartInForkChild() noexcept {}

#endif

}  // namespace pyv
