// What a test has asked the engine to do differently: forced results, refused sub-interfaces,
// failing path resolution, createEngine giving no engine. Set from the control API on a test's
// thread, read by engine operations on the module's threads; all members lock internally.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace velto {
namespace sim {

class Controls {
  public:
    // Back to default behaviour.
    void reset();

    void setResult(const std::string& call, int result);
    void clearResults();
    std::optional<int> resultFor(const std::string& call) const;

    void refuseSubInterface(int id, bool refuse);
    bool subInterfaceRefused(int id) const;

    void setResolvePathFails(bool fail);
    bool resolvePathFails() const;

    void setCreateGivesNull(bool on);
    bool createGivesNull() const;

    // Around fork() (ForkSafety.cpp): held across it, so no child gets the lock held.
    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, int> results_;
    std::set<int> refused_;
    bool resolvePathFails_ = false;
    bool createGivesNull_ = false;
};

// The process-wide controls.
Controls& controls();

// The result an operation named `call` gives: `rejected` when the engine itself rejects the input
// (non-zero), otherwise the forced result, otherwise 0.
int outcome(const char* call, int rejected = 0);

}  // namespace sim
}  // namespace velto
