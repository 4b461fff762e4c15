#include "simengine/NetworkFolder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velto {
namespace sim {

namespace {

const char* environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

bool offWord(std::string value) {
    for (char& c : value) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return value == "0" || value == "false" || value == "no" || value == "off";
}

const char kPrefix[] = "c";
const char kSuffix[] = ".sock";

}  // namespace

bool networkWanted(const NetworkSettings& settings) {
    if (settings.enabled >= 0) {
        return settings.enabled == 1;
    }
    const char* variable = environment("VELTO_SIM_NETWORK");
    return variable == nullptr || !offWord(variable);
}

std::string networkFolder(const NetworkSettings& settings, std::string& error) {
    if (!settings.dir.empty()) {
        return settings.dir;
    }
    if (const char* variable = environment("VELTO_SIM_NETWORK_DIR")) {
        if (variable[0] != '/') {
            // Resolved against each program's working folder, it would part programs that
            // mean to meet.
            error = std::string("VELTO_SIM_NETWORK_DIR: expected an absolute folder path, got \"") +
                    variable + "\"";
            return std::string();
        }
        return variable;
    }
    const char* runtime = environment("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/velto-sim";
    }
    const char* tmp = environment("TMPDIR");
    return std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/velto-sim-" +
           std::to_string(static_cast<unsigned long>(geteuid()));
}

bool prepareFolder(const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": cannot create it: " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (lstat(dir.c_str(), &info) != 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = dir + ": not a folder";
        return false;
    }
    if (info.st_uid != geteuid()) {
        error = dir + ": owned by uid " + std::to_string(static_cast<unsigned long>(info.st_uid)) +
                ", not by this user";
        return false;
    }
    if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        error = dir + ": open to other users (mode " + mode + ", needs 0700)";
        return false;
    }
    return true;
}

std::string channelKey(const std::string& channel) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : channel) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string memberPath(const std::string& dir, const std::string& key, std::uint32_t uid) {
    return dir + "/" + kPrefix + key + "-" + std::to_string(uid) + kSuffix;
}

std::size_t maxSocketPath() {
    return sizeof(sockaddr_un::sun_path) - 1;
}

std::vector<Member> listMembers(const std::string& dir, const std::string& key) {
    std::vector<Member> members;
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) {
        return members;
    }
    const std::size_t keyLength = 16;
    const std::size_t prefixLength = sizeof kPrefix - 1;
    const std::size_t suffixLength = sizeof kSuffix - 1;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        // c<16 hex>-<uid>.sock
        if (name.size() <= prefixLength + keyLength + 1 + suffixLength ||
            name.compare(0, prefixLength, kPrefix) != 0 ||
            name.compare(name.size() - suffixLength, suffixLength, kSuffix) != 0 ||
            name[prefixLength + keyLength] != '-') {
            continue;
        }
        if (!key.empty() && name.compare(prefixLength, keyLength, key) != 0) {
            continue;
        }
        const std::string digits =
            name.substr(prefixLength + keyLength + 1,
                        name.size() - prefixLength - keyLength - 1 - suffixLength);
        if (digits.empty() || digits.size() > 10 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const unsigned long long uid = std::strtoull(digits.c_str(), nullptr, 10);
        if (uid == 0 || uid > 0xffffffffull) {
            continue;
        }
        members.push_back(Member{static_cast<std::uint32_t>(uid), dir + "/" + name});
    }
    closedir(folder);
    return members;
}

std::string lockPath(const std::string& dir) {
    return dir + "/join.lock";
}

std::string notASocket(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || S_ISSOCK(info.st_mode)) {
        return std::string();
    }
    if (S_ISREG(info.st_mode)) {
        return "a regular file";
    }
    if (S_ISDIR(info.st_mode)) {
        return "a folder";
    }
    if (S_ISLNK(info.st_mode)) {
        return "a symbolic link";
    }
    if (S_ISFIFO(info.st_mode)) {
        return "a named pipe";
    }
    return "a device file";
}

}  // namespace sim
}  // namespace velto
