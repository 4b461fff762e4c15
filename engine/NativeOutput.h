// The module's one writer of lines to the process's native standard output (file descriptor 1,
// not Python's sys.stdout). Every line the module prints is queued here and written whole, one
// after another, by a thread of the module's own, so lines never splice into each other (even
// past the pipe's atomic size), and no engine or interpreter thread ever blocks on the stream.
//
// Statistics lines go into a bounded queue and are dropped (and counted) when the reader is gone
// or far behind. The setParameters echo is never dropped: its caller waits until it is out, as
// Python's own print would, but with the GIL released.
//
// Any thread, unless a function says otherwise; the lock here is a leaf (nothing else is taken
// while it is held, least of all the GIL). Never destroyed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace pyv {
namespace nativeOutput {

// Queues one statistics line (`line` ends with its newline) and returns at once. False when the
// line was refused: statistics are stopped, or the queue is full (then it is counted dropped).
bool postStatisticsLine(const char* line, std::size_t length) noexcept;

// Queues `line` (ending with its newline) behind every line queued before it and waits until it
// is written or the stream failed. Blocks as long as the reader does not read: call it without
// holding the GIL.
void writeLineAndWait(const char* line, std::size_t length) noexcept;

// Refuses statistics lines from now on, for the rest of the process (logOff, interpreter exit).
// A line already queued is still written.
void stopStatistics() noexcept;

// Waits up to `timeout` until every queued line is written; true when the queue ran empty. Call
// it without the GIL.
bool drain(std::chrono::milliseconds timeout) noexcept;

// Drops whatever is still queued (counting statistics lines as dropped): after this, at most the
// line being written when it was called still reaches the stream.
void discardQueued() noexcept;

// Statistics lines dropped so far in this process.
std::uint64_t droppedLines() noexcept;

// Fork child only, while it is the only thread: the parent's writer does not exist here, and
// whatever the parent had queued is the parent's to write. Starts an empty queue.
void restartInForkChild() noexcept;
// Around fork() in the parent: holds the lock so that the child never gets it in a held state.
void lockForFork() noexcept;
void unlockAfterFork() noexcept;

}  // namespace nativeOutput
}  // namespace pyv
