#include "simengine/LiveMode.h"

#include <atomic>
#include <cctype>
#include <optional>
#include <string>

#include "simengine/Environment.h"

namespace velto {
namespace sim {

namespace {
// Trivially destructible, so a late engine thread never finds it destroyed.
std::atomic<int> mode{kLiveFollowEnvironment};
}  // namespace

void setLiveMode(int newMode) {
    mode.store(newMode < 0 ? kLiveFollowEnvironment : (newMode != 0 ? 1 : 0));
}

bool liveWanted() {
    const int set = mode.load();
    if (set != kLiveFollowEnvironment) {
        return set == 1;
    }
    const std::optional<std::string> variable = environmentVariable("VELTO_SIM_LIVE");
    if (!variable) {
        return true;
    }
    std::string value = *variable;
    for (char& c : value) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return !(value == "0" || value == "false" || value == "no" || value == "off");
}

}  // namespace sim
}  // namespace velto
