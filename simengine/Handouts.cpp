#include "simengine/Handouts.h"

namespace velto {
namespace sim {

void Handouts::givenBack(int kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    --outstanding_[kind];
}

int Handouts::outstanding(int kind) const {
    if (kind <= 0 || kind >= kHandoutKindCount) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_[kind];
}

Handouts& handouts() {
    // Never destroyed: the module may give references back from its own teardown at exit.
    static Handouts* const instance = new Handouts;
    return *instance;
}

}  // namespace sim
}  // namespace velto
