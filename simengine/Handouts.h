// Objects the engine hands out by reference (sub-interfaces, SdkStrings) and the count of
// references not yet given back. Reached from any thread; all members lock internally.
//
// Handed-out objects stay owned here for the life of the process, even after release: a stray
// second release (or a use after release) then shows up as a negative outstanding count and a
// journal entry instead of a crash, which is what a program under test needs to see.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace velto {
namespace sim {

// Kinds of handed-out objects; 1..4 match the getSubInterface ids.
enum HandoutKind : int {
    kHandoutSubInterface1 = 1,
    kHandoutSubInterface2 = 2,
    kHandoutEngineParameters = 3,
    kHandoutObserverRegistry = 4,
    kHandoutSdkString = 5,
};
constexpr int kHandoutKindCount = 6;  // index 0 unused

class Handouts {
  public:
    // Takes ownership of a new object carrying one reference of `kind`.
    template <class T>
    T* handOut(int kind, std::shared_ptr<T> object) {
        T* raw = object.get();
        std::lock_guard<std::mutex> lock(mutex_);
        kept_.push_back(std::move(object));
        ++outstanding_[kind];
        return raw;
    }
    // One reference of `kind` was given back.
    void givenBack(int kind);
    // References of `kind` handed out and not given back; negative after excess releases,
    // 0 for an unknown kind.
    int outstanding(int kind) const;

    // Around fork() (ForkSafety.cpp): held across it, so no child gets the lock held.
    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }

  private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<void>> kept_;
    std::array<int, kHandoutKindCount> outstanding_{};
};

// The process-wide registry.
Handouts& handouts();

// The one reference a handed-out object carries. Any thread.
class HandoutReference {
  public:
    explicit HandoutReference(int kind) : kind_(kind) {}
    // Gives the reference back. Returns false when it had been given back already; the
    // outstanding count still drops, so the excess release stays visible.
    bool giveBack() {
        const bool first = !released_.exchange(true);
        handouts().givenBack(kind_);
        return first;
    }

  private:
    const int kind_;
    std::atomic<bool> released_{false};
};

}  // namespace sim
}  // namespace velto
