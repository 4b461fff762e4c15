// One native engine thread with a task queue. Each engine owns a few (its media threads); the
// library owns one more, the fallback thread, that serves requests while no engine is alive.
//
// The thread is detached: nobody ever joins it. Whoever stops it only signals; the thread runs
// what is already queued and ends on its own, keeping this object alive through its own
// shared_ptr. That way a caller holding the interpreter lock never waits for a thread that may be
// waiting for that lock. post/postAt/stop/awaitFinished are safe from any thread.
//
// Tasks posted with post() run in the order posted. Work that repeats (a frame producer, periodic
// statistics) is a task that posts its next round with postAt(); such timed tasks run once due,
// after the tasks already waiting, and are dropped unrun when the thread stops.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace velto {
namespace sim {

class MediaThread {
  public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    // Starts a thread named `name` (shown by debuggers; at most 15 characters are kept).
    static std::shared_ptr<MediaThread> start(std::string name);

    // Queues a task; false once the thread is stopping (the task is dropped).
    bool post(Task task);
    // Queues a task to run once `due` has come (at once if it is past); tasks due at the same
    // time run in the order posted. False once the thread is stopping.
    bool postAt(Clock::time_point due, Task task);
    // Asks the thread to end after the tasks already queued with post(). Does not wait.
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
    std::multimap<Clock::time_point, Task> timed_;
    bool stopping_ = false;
    bool finished_ = false;
};

}  // namespace sim
}  // namespace velto
