// Windows: the network between processes is Linux-only for now (Unix domain sockets, a folder
// checked by its owner and mode). It is off unless asked for; a call that asks for it hears so in
// one line on stderr and goes on in its own process, as on Linux when the folder is unusable.
#if defined(_WIN32)

#include <cstring>
#include <optional>
#include <string>

#include "simengine/ChannelNetwork.h"
#include "simengine/Environment.h"
#include "simengine/NetworkControl.h"
#include "simengine/NetworkFolder.h"

namespace velto {
namespace sim {

namespace {

const char kLinuxOnly[] = "the network between processes is Linux-only";

}  // namespace

bool networkWanted(const NetworkSettings& settings) {
    if (settings.enabled >= 0) {
        return settings.enabled == 1;
    }
    const std::optional<std::string> value = environmentVariable("VELTO_SIM_NETWORK");
    if (!value) {
        return false;
    }
    return !(value->empty() || *value == "0" || *value == "false" || *value == "no" ||
             *value == "off");
}

std::string networkFolder(const NetworkSettings& settings, std::string&) {
    return settings.dir.empty() ? std::string("(default)") : settings.dir;
}

bool prepareFolder(const std::string&, std::string& error) {
    error = kLinuxOnly;
    return false;
}

// Never constructed on Windows: open() always fails, so the members below are unreachable.
std::shared_ptr<ChannelNetwork> ChannelNetwork::open(const std::string&, const std::string&,
                                                     std::uint32_t, const std::set<std::uint32_t>&,
                                                     OpenResult& result, std::string& error) {
    result = OpenResult::kFailed;
    error = kLinuxOnly;
    return nullptr;
}
void ChannelNetwork::start(std::shared_ptr<ChannelListener>) {}
void ChannelNetwork::leave() {}
void ChannelNetwork::sendAudio(const std::int16_t*, int, int, int) {}
void ChannelNetwork::sendVideo(std::shared_ptr<const I420Frame>) {}
std::vector<std::uint32_t> ChannelNetwork::members() const {
    return {};
}
std::string ChannelNetwork::json() const {
    return "null";
}
ChannelNetwork::~ChannelNetwork() = default;

SocketFd::~SocketFd() = default;

}  // namespace sim
}  // namespace velto

extern "C" {

size_t vsim_network_json(char* buf, size_t cap) {
    static const char kNull[] = "null";
    if (buf != nullptr && cap > sizeof kNull - 1) {
        std::memcpy(buf, kNull, sizeof kNull);
    }
    return sizeof kNull - 1;
}

int vsim_transport_bench(const char*, int, int, int, double*) {
    return -1;
}

}  // extern "C"

#endif  // _WIN32
