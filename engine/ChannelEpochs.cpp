#include "engine/ChannelEpochs.h"

#include "engine/EngineSession.h"

namespace pyv {

namespace {
// An engine answers a leave at once, from a thread of its own; one that was in no call (or
// refused to leave) never does. Past this, an onChannelLeft is the engine's own.
constexpr std::chrono::seconds kLeaveAnsweredWithin(2);
constexpr std::size_t kPendingKept = 16;
}  // namespace

ChannelEpochs& ChannelEpochs::instance() {
    // Leaked on purpose: engine threads may stamp notifications until the process ends.
    static ChannelEpochs* const epochs = new ChannelEpochs();
    return *epochs;
}

uint64_t ChannelEpochs::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return epoch_;
}

void ChannelEpochs::sessionStarted(EngineSession& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ != nullptr) {
        current_->books.finalEpoch = epoch_;
    }
    ++epoch_;
    session.books = SessionBooks();
    current_ = &session;
}

void ChannelEpochs::sessionEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    // The session stays the latest until another starts (a notification after release still
    // keeps the books), but no queue opened from now on belongs to its channel.
    ++epoch_;
}

void ChannelEpochs::channelJoined() {
    std::lock_guard<std::mutex> lock(mutex_);
    lastJoinEpoch_ = epoch_;
    if (current_ != nullptr) {
        current_->books.joined = true;
        current_->books.joinEpoch = epoch_;
    }
}

void ChannelEpochs::channelLeft() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ != nullptr && current_->books.joined) {
        SessionBooks& books = current_->books;
        books.joined = false;
        books.pendingLeaves.push_back(
            {books.joinEpoch, SessionBooks::Clock::now() + kLeaveAnsweredWithin});
        if (books.pendingLeaves.size() > kPendingKept) {
            books.pendingLeaves.pop_front();
        }
    }
    ++epoch_;
}

ChannelStamp ChannelEpochs::stamp(EngineSession& session, EventKind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    SessionBooks& books = session.books;
    ChannelStamp stamp;
    stamp.epoch = &session == current_ ? epoch_ : books.finalEpoch;
    if (kind == EventKind::ChannelLeft) {
        auto& pending = books.pendingLeaves;
        const auto now = SessionBooks::Clock::now();
        while (!pending.empty() && pending.front().expires < now) {
            pending.pop_front();
        }
        if (!pending.empty()) {
            stamp.epoch = pending.front().epoch;
            pending.pop_front();
        } else if (&session == current_) {
            books.joined = false;  // the engine left on its own: the next leave waits for nothing
        }
    }
    stamp.late = isLate(stamp.epoch);
    return stamp;
}

}  // namespace pyv
