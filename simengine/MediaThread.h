// One native engine thread with a task queue. Each engine owns a few (its media threads); the
// library owns one more, the fallback thread, that serves requests while no engine is alive.
//
// The thread is detached: nobody ever joins it. Whoever stops it only signals; the thread runs
// what is already queued and ends on its own, keeping this object alive through its own
// shared_ptr. That way a caller holding the interpreter lock never waits for a thread that may be
// waiting for that lock. post/stop/awaitFinished are safe from any thread.
//
// Tasks run in the order posted. Work that repeats (a frame producer, periodic statistics) is a
// task that posts its next round; a timed wait in run() is where due times would be honoured.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace velto {
namespace sim {

class MediaThread {
  public:
    using Task = std::function<void()>;

    // Starts a thread named `name` (shown by debuggers; at most 15 characters are kept).
    static std::shared_ptr<MediaThread> start(std::string name);

    // Queues a task; false once the thread is stopping (the task is dropped).
    bool post(Task task);
    // Asks the thread to end after the tasks already queued. Does not wait.
    void stop();
    // Waits until the thread has run its last task. Never call it from this thread.
    void awaitFinished();
    // True when called on this thread.
    bool isCurrent() const;

    MediaThread(const MediaThread&) = delete;
    MediaThread& operator=(const MediaThread&) = delete;

    // Only start() creates threads; the key keeps the constructor out of other hands.
    class Key {
        friend class MediaThread;
        Key() = default;
    };
    explicit MediaThread(Key) {}

  private:
    void run(const std::string& name);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    bool finished_ = false;
};

}  // namespace sim
}  // namespace velto
