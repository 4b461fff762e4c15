#include "engine/WakeupFd.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

#if defined(__linux__)
#include <sys/eventfd.h>
#include <unistd.h>
#elif !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace pyv {

#if defined(__linux__)

WakeupFd::WakeupFd() {
    readFd_ = writeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (readFd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

WakeupFd::~WakeupFd() {
    close(readFd_);
}

void WakeupFd::raise() noexcept {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(writeFd_, &one, sizeof one);
}

void WakeupFd::lower() noexcept {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(readFd_, &count, sizeof count);
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

void WakeupFd::raise() noexcept {
    const char one = 1;
    [[maybe_unused]] const ssize_t written = write(writeFd_, &one, 1);
}

void WakeupFd::lower() noexcept {
    char drained[64];
    while (read(readFd_, drained, sizeof drained) > 0) {
    }
}

#else

WakeupFd::WakeupFd() = default;
WakeupFd::~WakeupFd() = default;
void WakeupFd::raise() noexcept {}
void WakeupFd::lower() noexcept {}

#endif

}  // namespace pyv
