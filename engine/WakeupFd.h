// A file descriptor that is readable exactly while it is raised: an eventfd on Linux, a pipe on
// other POSIX systems, a loopback socket pair's reading end on Windows (the only kind of handle
// Windows' select() watches). An event loop watches it with add_reader, without a thread.
//
// Any thread; the owner serialises raise/lower (EventQueue does so under its mutex). Failures
// of raise/lower are ignored: the descriptor is non-blocking and only ever one count deep.
#pragma once

namespace pyv {

class WakeupFd {
  public:
    // Throws std::system_error when the system gives no descriptor.
    WakeupFd();
    ~WakeupFd();
    WakeupFd(const WakeupFd&) = delete;
    WakeupFd& operator=(const WakeupFd&) = delete;

    int fileno() const { return readFd_; }
    void raise() noexcept;
    void lower() noexcept;

  private:
    int readFd_ = -1;
    int writeFd_ = -1;
};

}  // namespace pyv
