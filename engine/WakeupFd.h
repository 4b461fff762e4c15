// A file descriptor that is readable exactly while it is raised: an eventfd on Linux, a pipe on
// other POSIX systems, a loopback socket pair's reading end on Windows (the only kind of handle
// Windows' select() watches). An event loop watches it with add_reader, without a thread.
//
// Any thread; the owner serialises every call (EventQueue does so under its mutex). Failures
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

    // The descriptor for readers. On Linux it is not the one raised and lowered but a watcher of
    // it (made on first use), so a reader that closes it harms nothing: raise and lower never
    // touch a number the reader may have given back and the system handed to another file, and
    // it is closed here only while it is still the watcher. -1 when none can be made.
    int fileno();
    void raise() noexcept;
    void lower() noexcept;

    // Fork child, while it is the only thread: the descriptors inherited from the parent are
    // given up and a fresh one made, so the two processes never raise or lower each other's.
    void restartInForkChild() noexcept;

  private:
    int readFd_ = -1;
    int writeFd_ = -1;
#if defined(__linux__)
    // The watcher handed out by fileno(), or -1.
    int watcherFd_ = -1;
    bool ownsWatcher() const noexcept;
    void closeWatcher() noexcept;
#endif
};

}  // namespace pyv
