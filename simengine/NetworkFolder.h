// Where the processes of one OS user meet: the rendezvous folder, its checks, and the names of
// the channel members' sockets in it. One socket per member, named after the channel (a hash,
// the hello carries the full name) and the member's uid, so that binding the name reserves the
// uid in the channel. Pure functions over the file system; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simengine/LiveSettings.h"

namespace velto {
namespace sim {

// Whether calls use the network: the sim.network.enabled setting, else VELTO_SIM_NETWORK
// ("0", "false", "no", "off" turn it off), else on.
bool networkWanted(const NetworkSettings& settings);

// The rendezvous folder: the sim.network.dir setting, else VELTO_SIM_NETWORK_DIR, else
// $XDG_RUNTIME_DIR/velto-sim, else <TMPDIR or /tmp>/velto-sim-<uid> (relative values of the last
// two are ignored, as they are by other programs). Empty, with `error` saying why, for a relative
// VELTO_SIM_NETWORK_DIR: refused as the setting is.
std::string networkFolder(const NetworkSettings& settings, std::string& error);

// Creates `dir` (mode 0700) when missing. False, with `error` saying why, when it is not a
// folder (a link to one counts as not), belongs to another user or is open to others.
bool prepareFolder(const std::string& dir, std::string& error);

// The part of socket names that names `channel`: 16 hex digits of its FNV-1a hash.
std::string channelKey(const std::string& channel);
// `dir`/c<key>-<uid>.sock
std::string memberPath(const std::string& dir, const std::string& key, std::uint32_t uid);
// Longest socket path the system takes.
std::size_t maxSocketPath();

struct Member {
    std::uint32_t uid;
    std::string path;
};
// The member sockets in `dir`: of the channel with `key`, or of every channel for an empty key.
std::vector<Member> listMembers(const std::string& dir, const std::string& key);
// The join lock's path in `dir`.
std::string lockPath(const std::string& dir);
// What is at `path` when it is not a socket ("a regular file", "a folder", ...), else "".
std::string notASocket(const std::string& path);

}  // namespace sim
}  // namespace velto
