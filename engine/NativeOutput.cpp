#include "engine/NativeOutput.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max stay usable
#endif
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace pyv {
namespace nativeOutput {

namespace {

// Statistics come a few lines every couple of seconds, about 4,000 lines fit here: this much
// queued means the reader stopped, while a burst of reports never loses a line to a busy reader.
constexpr std::size_t kStatisticsQueueBytes = 1024 * 1024;

struct Line {
    std::string text;
    std::uint64_t number;
    bool statistics;
};

// Everything the writer shares with the posting threads, under `mutex`. A fork child gets a
// fresh one: the copy may hold the parent's queue and a lock taken by a thread that is gone.
struct Output {
    std::mutex mutex;
    std::condition_variable changed;  // a line was queued, or one was done with
    std::deque<Line> queue;
    std::size_t statisticsBytes = 0;
    std::uint64_t lastPosted = 0;
    std::uint64_t lastDone = 0;  // lines numbered up to this are written, failed or discarded
    bool writing = false;
    bool writerStarted = false;
    bool statisticsStopped = false;
};

// Leaked on purpose, like every object engine threads reach: they may post after static
// destructors ran.
std::atomic<Output*> current{new Output};
std::atomic<std::uint64_t> dropped{0};

// Writes all of `text` to fd 1. A full pipe blocks here, on the writer's thread only; a closed
// or failing stream loses the line.
void writeWhole(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
#if defined(_WIN32)
        // The process's standard output handle, not a C runtime's fd 1: the interpreter's
        // runtime moves its fd 1 there (os.dup2, output capture), and a module built against
        // another runtime (MinGW's) would not follow through its own fd table.
        DWORD done = 0;
        const long written =
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data,
                      static_cast<DWORD>(left < 0x40000000u ? left : 0x40000000u), &done, nullptr)
                ? static_cast<long>(done)
                : -1;
#else
        const auto written = ::write(1, data, left);
#endif
        if (written < 0) {
#if !defined(_WIN32)
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd ready{1, POLLOUT, 0};
                ::poll(&ready, 1, -1);
                continue;
            }
#endif
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void runWriter(Output* output) {
    std::unique_lock<std::mutex> lock(output->mutex);
    for (;;) {
        output->changed.wait(lock, [output] { return !output->queue.empty(); });
        Line line = std::move(output->queue.front());
        output->queue.pop_front();
        if (line.statistics) {
            output->statisticsBytes -= line.text.size();
        }
        output->writing = true;
        lock.unlock();
        writeWhole(line.text);
        lock.lock();
        output->writing = false;
        if (line.number > output->lastDone) {
            output->lastDone = line.number;
        }
        output->changed.notify_all();
    }
}

// Under output->mutex. False when no writer thread could be started.
bool ensureWriter(Output* output) {
    if (!output->writerStarted) {
        try {
            std::thread(runWriter, output).detach();
            output->writerStarted = true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool postStatisticsLine(const char* line, std::size_t length) noexcept {
    Output* output = current.load();
    try {
        std::lock_guard<std::mutex> lock(output->mutex);
        if (output->statisticsStopped) {
            return false;
        }
        if (output->statisticsBytes + length > kStatisticsQueueBytes || !ensureWriter(output)) {
            dropped.fetch_add(1);
            return false;
        }
        output->queue.push_back(Line{std::string(line, length), ++output->lastPosted, true});
        output->statisticsBytes += length;
    } catch (...) {  // std::bad_alloc: a line lost, never an engine thread ended
        dropped.fetch_add(1);
        return false;
    }
    output->changed.notify_all();
    return true;
}

void writeLineAndWait(const char* line, std::size_t length) noexcept {
    Output* output = current.load();
    try {
        std::unique_lock<std::mutex> lock(output->mutex);
        if (!ensureWriter(output)) {
            lock.unlock();
            writeWhole(std::string(line, length));
            return;
        }
        const std::uint64_t number = ++output->lastPosted;
        output->queue.push_back(Line{std::string(line, length), number, false});
        output->changed.notify_all();
        output->changed.wait(lock, [output, number] { return output->lastDone >= number; });
    } catch (...) {  // std::bad_alloc: the echo is lost
    }
}

void stopStatistics() noexcept {
    Output* output = current.load();
    std::lock_guard<std::mutex> lock(output->mutex);
    output->statisticsStopped = true;
}

bool drain(std::chrono::milliseconds timeout) noexcept {
    Output* output = current.load();
    std::unique_lock<std::mutex> lock(output->mutex);
    return output->changed.wait_for(lock, timeout,
                                    [output] { return output->queue.empty() && !output->writing; });
}

void discardQueued() noexcept {
    Output* output = current.load();
    {
        std::lock_guard<std::mutex> lock(output->mutex);
        for (const Line& line : output->queue) {
            if (line.statistics) {
                dropped.fetch_add(1);
            }
        }
        output->queue.clear();
        output->statisticsBytes = 0;
        // Callers waiting for a discarded echo go on: it will never come.
        output->lastDone = output->lastPosted;
    }
    current.load()->changed.notify_all();
}

std::uint64_t droppedLines() noexcept {
    return dropped.load();
}

void restartInForkChild() noexcept {
    Output* parent = current.load();
    Output* fresh = new (std::nothrow) Output;
    if (fresh == nullptr) {
        return;
    }
    fresh->statisticsStopped = parent->statisticsStopped;
    // The parent's object stays as it is (its lock held by lockForFork) and is never used again.
    current.store(fresh);
}

void lockForFork() noexcept {
    current.load()->mutex.lock();
}

void unlockAfterFork() noexcept {
    current.load()->mutex.unlock();
}

}  // namespace nativeOutput
}  // namespace pyv
