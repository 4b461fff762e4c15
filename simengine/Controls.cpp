#include "simengine/Controls.h"

namespace velto {
namespace sim {

void Controls::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.clear();
    refused_.clear();
    resolvePathFails_ = false;
    createGivesNull_ = false;
}

void Controls::setResult(const std::string& call, int result) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_[call] = result;
}

void Controls::clearResults() {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.clear();
}

std::optional<int> Controls::resultFor(const std::string& call) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = results_.find(call);
    if (it == results_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Controls::refuseSubInterface(int id, bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuse) {
        refused_.insert(id);
    } else {
        refused_.erase(id);
    }
}

bool Controls::subInterfaceRefused(int id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_.count(id) != 0;
}

void Controls::setResolvePathFails(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    resolvePathFails_ = fail;
}

bool Controls::resolvePathFails() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resolvePathFails_;
}

void Controls::setCreateGivesNull(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    createGivesNull_ = on;
}

bool Controls::createGivesNull() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return createGivesNull_;
}

Controls& controls() {
    // Never destroyed: detached engine threads may still read it while the process exits.
    static Controls* const instance = new Controls;
    return *instance;
}

int outcome(const char* call, int rejected) {
    if (rejected != 0) {
        return rejected;
    }
    return controls().resultFor(call).value_or(0);
}

}  // namespace sim
}  // namespace velto
