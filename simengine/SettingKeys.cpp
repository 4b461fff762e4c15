#include "simengine/SettingKeys.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <utility>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max stay usable
#endif
#include <windows.h>
#endif

namespace velto {
namespace sim {

void SettingsChange::applyTo(SettingsStore& store, MediaSwitches& switches) const {
    if (!settings_.empty()) {
        store.update([this](LiveSettings& settings) {
            for (const auto& change : settings_) {
                change(settings);
            }
        });
    }
    for (const auto& change : switches_) {
        change(switches);
    }
}

namespace {

using Kind = JsonValue::Kind;

constexpr std::size_t kMaxUsers = 16;

bool expected(const std::string& key, const std::string& what, const JsonValue& value,
              std::string& error) {
    error = key + ": expected " + what + ", got " + value.describe();
    return false;
}

bool readInt(const std::string& key, const JsonValue& value, long lo, long hi, bool even, int& out,
             std::string& error) {
    const bool ok = value.kind == Kind::Number && std::floor(value.number) == value.number &&
                    value.number >= static_cast<double>(lo) &&
                    value.number <= static_cast<double>(hi) &&
                    (!even || std::fmod(value.number, 2.0) == 0);
    if (!ok) {
        return expected(key,
                        std::string(even ? "an even integer" : "an integer") + " from " +
                            std::to_string(lo) + " to " + std::to_string(hi),
                        value, error);
    }
    out = static_cast<int>(value.number);
    return true;
}

bool readNumber(const std::string& key, const JsonValue& value, double lo, double hi, double& out,
                std::string& error) {
    if (value.kind != Kind::Number || value.number < lo || value.number > hi) {
        char range[64];
        std::snprintf(range, sizeof range, "a number from %g to %g", lo, hi);
        return expected(key, range, value, error);
    }
    out = value.number;
    return true;
}

bool readBool(const std::string& key, const JsonValue& value, bool& out, std::string& error) {
    if (value.kind != Kind::Bool) {
        return expected(key, "true or false", value, error);
    }
    out = value.boolean;
    return true;
}

// Sample rates are multiples of 100 so that a 10 ms frame holds whole samples.
bool readSampleRate(const std::string& key, const JsonValue& value, int& out, std::string& error) {
    if (!readInt(key, value, 8000, 96000, false, out, error) || out % 100 != 0) {
        return expected(key, "a multiple of 100 from 8000 to 96000", value, error);
    }
    return true;
}

bool readWidth(const std::string& key, const JsonValue& value, int& out, std::string& error) {
    return readInt(key, value, 2, 3840, true, out, error);
}
bool readHeight(const std::string& key, const JsonValue& value, int& out, std::string& error) {
    return readInt(key, value, 2, 2160, true, out, error);
}
bool readFps(const std::string& key, const JsonValue& value, int& out, std::string& error) {
    return readInt(key, value, 1, 60, false, out, error);
}
bool readChannels(const std::string& key, const JsonValue& value, int& out, std::string& error) {
    return readInt(key, value, 1, 2, false, out, error);
}
bool readPitch(const std::string& key, const JsonValue& value, double& out, std::string& error) {
    return readNumber(key, value, 20, 20000, out, error);
}

// A media file's path; null or "" for none. The file itself is opened when a call starts.
bool readFile(const std::string& key, const JsonValue& value, std::string& out,
              std::string& error) {
    if (value.kind == Kind::Null) {
        out.clear();
        return true;
    }
    if (value.kind != Kind::String || value.text.find('\0') != std::string::npos) {
        return expected(key, "a file path or null", value, error);
    }
    out = value.text;
    return true;
}

bool readUser(const std::string& key, const JsonValue& value, std::size_t index, UserSpec& user,
              std::string& error) {
    if (value.kind != Kind::Object) {
        return expected(key, "an object", value, error);
    }
    user = UserSpec{};
    user.uid = static_cast<uint32_t>(1001 + index);
    user.joinSeconds = 0.5;
    user.pitchHz = 330 + 110 * static_cast<double>(index);
    for (const auto& member : value.members) {
        const std::string& name = member.first;
        const JsonValue& field = member.second;
        const std::string fieldKey = key + "." + name;
        bool ok = true;
        if (name == "uid") {
            // 0 is the local user.
            ok = field.kind == Kind::Number && std::floor(field.number) == field.number &&
                 field.number >= 1 && field.number <= 4294967295.0;
            if (ok) {
                user.uid = static_cast<uint32_t>(field.number);
            } else {
                expected(fieldKey, "an integer from 1 to 4294967295", field, error);
            }
        } else if (name == "kind") {
            if (field.kind == Kind::String && field.text == "pattern") {
                user.kind = UserKind::kPattern;
            } else if (field.kind == Kind::String && field.text == "echo") {
                user.kind = UserKind::kEcho;
            } else {
                ok = expected(fieldKey, "\"pattern\" or \"echo\"", field, error);
            }
        } else if (name == "join") {
            ok = readNumber(fieldKey, field, 0, 86400, user.joinSeconds, error);
        } else if (name == "leave") {
            user.leaveSeconds = -1;
            ok = field.kind == Kind::Null ||
                 readNumber(fieldKey, field, 0, 86400, user.leaveSeconds, error);
        } else if (name == "video") {
            ok = readBool(fieldKey, field, user.video, error);
        } else if (name == "audio") {
            ok = readBool(fieldKey, field, user.audio, error);
        } else if (name == "width") {
            ok = readWidth(fieldKey, field, user.width, error);
        } else if (name == "height") {
            ok = readHeight(fieldKey, field, user.height, error);
        } else if (name == "fps") {
            ok = readFps(fieldKey, field, user.fps, error);
        } else if (name == "sampleRate") {
            ok = readSampleRate(fieldKey, field, user.sampleRate, error);
        } else if (name == "channels") {
            ok = readChannels(fieldKey, field, user.channels, error);
        } else if (name == "pitch") {
            ok = readPitch(fieldKey, field, user.pitchHz, error);
        } else if (name == "audioFile") {
            ok = readFile(fieldKey, field, user.audioFile, error);
        } else if (name == "videoFile") {
            ok = readFile(fieldKey, field, user.videoFile, error);
        } else if (name == "loop") {
            ok = readBool(fieldKey, field, user.loop, error);
        }
        if (!ok) {
            return false;
        }
    }
    if (user.kind == UserKind::kEcho && (!user.audioFile.empty() || !user.videoFile.empty())) {
        error = key + ": an echo user sends what it receives; files play for pattern users";
        return false;
    }
    if (user.leaveSeconds >= 0 && user.leaveSeconds <= user.joinSeconds) {
        JsonValue join;
        join.kind = Kind::Number;
        join.number = user.joinSeconds;
        return expected(key + ".leave", "a time after join (" + join.describe() + ")",
                        *value.member("leave"), error);
    }
    return true;
}

bool readUsers(const std::string& key, const JsonValue& value, SettingsChange& change,
               std::string& error) {
    if (value.kind != Kind::Array || value.items.size() > kMaxUsers) {
        return expected(key, "an array of at most " + std::to_string(kMaxUsers) + " users", value,
                        error);
    }
    std::vector<UserSpec> users(value.items.size());
    std::set<uint32_t> uids;
    for (std::size_t i = 0; i < users.size(); ++i) {
        const std::string userKey = key + "[" + std::to_string(i) + "]";
        if (!readUser(userKey, value.items[i], i, users[i], error)) {
            return false;
        }
        if (!uids.insert(users[i].uid).second) {
            error = userKey + ".uid: " + std::to_string(users[i].uid) + " is used twice";
            return false;
        }
    }
    change.addSettings([users](LiveSettings& s) { s.users = users; });
    return true;
}

bool readStatsInterval(const std::string& key, const JsonValue& value, int& out,
                       std::string& error) {
    if (!readInt(key, value, 0, 600000, false, out, error) || (out != 0 && out < 50)) {
        return expected(key, "0 (off) or milliseconds from 50 to 600000", value, error);
    }
    return true;
}

// Calls between processes.
bool readNetworkEnabled(const std::string& key, const JsonValue& value, SettingsChange& change,
                        std::string& error) {
    bool on = false;
    if (!readBool(key, value, on, error)) {
        return false;
    }
    change.addSettings([on](LiveSettings& s) { s.network.enabled = on ? 1 : 0; });
    return true;
}

// A folder path, absolute; null goes back to the environment and the default.
bool readNetworkDir(const std::string& key, const JsonValue& value, SettingsChange& change,
                    std::string& error) {
    if (value.kind == Kind::Null) {
        change.addSettings([](LiveSettings& s) { s.network.dir.clear(); });
        return true;
    }
    if (value.kind != Kind::String || value.text.empty() || value.text[0] != '/' ||
        value.text.find('\0') != std::string::npos) {
        return expected(key, "an absolute folder path or null", value, error);
    }
    std::string dir = value.text;
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    change.addSettings([dir](LiveSettings& s) { s.network.dir = dir; });
    return true;
}

bool readBitrate(const std::string& key, const JsonValue& value, int& out, std::string& error) {
    return readInt(key, value, 0, 1000000, false, out, error);
}

using IntReader = bool (*)(const std::string&, const JsonValue&, int&, std::string&);
using Reader =
    std::function<bool(const std::string&, const JsonValue&, SettingsChange&, std::string&)>;

// An integer setting stored by `store`.
Reader intSetting(IntReader read, void (*store)(LiveSettings&, int)) {
    return [read, store](const std::string& key, const JsonValue& value, SettingsChange& change,
                         std::string& error) {
        int v = 0;
        if (!read(key, value, v, error)) {
            return false;
        }
        change.addSettings([store, v](LiveSettings& s) { store(s, v); });
        return true;
    };
}

// A file setting stored by `store`.
Reader fileSetting(void (*store)(LiveSettings&, const std::string&)) {
    return [store](const std::string& key, const JsonValue& value, SettingsChange& change,
                   std::string& error) {
        std::string path;
        if (!readFile(key, value, path, error)) {
            return false;
        }
        change.addSettings([store, path](LiveSettings& s) { store(s, path); });
        return true;
    };
}

// A true/false setting stored by `store`.
Reader boolSetting(void (*store)(LiveSettings&, bool)) {
    return [store](const std::string& key, const JsonValue& value, SettingsChange& change,
                   std::string& error) {
        bool on = false;
        if (!readBool(key, value, on, error)) {
            return false;
        }
        change.addSettings([store, on](LiveSettings& s) { store(s, on); });
        return true;
    };
}

// A true/false engine parameter stored in `member`; nullptr only checks the value.
Reader switchSetting(std::atomic<bool> MediaSwitches::*member) {
    return [member](const std::string& key, const JsonValue& value, SettingsChange& change,
                    std::string& error) {
        bool on = false;
        if (!readBool(key, value, on, error)) {
            return false;
        }
        if (member != nullptr) {
            change.addSwitches([member, on](MediaSwitches& s) { (s.*member).store(on); });
        }
        return true;
    };
}

struct Setting {
    const char* key;
    bool engineKey;  // an engine parameter, not read from the initialisation text
    Reader read;
};

const std::vector<Setting>& settings() {
    // Never destroyed: read by whatever thread configures an engine, up to process exit.
    static const std::vector<Setting>* const table = new std::vector<Setting>{
        {"sim", false,
         [](const std::string& key, const JsonValue& value, SettingsChange&, std::string& error) {
             return expected(key, "an object", value, error);
         }},
        {"sim.video.width", false,
         intSetting(readWidth, [](LiveSettings& s, int v) { s.video.width = v; })},
        {"sim.video.height", false,
         intSetting(readHeight, [](LiveSettings& s, int v) { s.video.height = v; })},
        {"sim.video.fps", false,
         intSetting(readFps, [](LiveSettings& s, int v) { s.video.fps = v; })},
        {"sim.video.bitrate", false,
         intSetting(readBitrate, [](LiveSettings& s, int v) { s.video.bitrateKbps = v; })},
        {"sim.audio.sampleRate", false,
         intSetting(readSampleRate, [](LiveSettings& s, int v) { s.audio.sampleRate = v; })},
        {"sim.audio.channels", false,
         intSetting(readChannels, [](LiveSettings& s, int v) { s.audio.channels = v; })},
        {"sim.audio.pitch", false,
         [](const std::string& key, const JsonValue& value, SettingsChange& change,
            std::string& error) {
             double pitch = 0;
             if (!readPitch(key, value, pitch, error)) {
                 return false;
             }
             change.addSettings([pitch](LiveSettings& s) { s.audio.pitchHz = pitch; });
             return true;
         }},
        {"sim.video.file", false,
         fileSetting([](LiveSettings& s, const std::string& v) { s.video.file = v; })},
        {"sim.video.loop", false, boolSetting([](LiveSettings& s, bool v) { s.video.loop = v; })},
        {"sim.audio.file", false,
         fileSetting([](LiveSettings& s, const std::string& v) { s.audio.file = v; })},
        {"sim.audio.loop", false, boolSetting([](LiveSettings& s, bool v) { s.audio.loop = v; })},
        {"sim.stats.intervalMs", false,
         intSetting(readStatsInterval, [](LiveSettings& s, int v) { s.statsIntervalMs = v; })},
        {"sim.users", false, readUsers},
        // Calls between processes.
        {"sim.network.enabled", false, readNetworkEnabled},
        {"sim.network.dir", false, readNetworkDir},
        {"rtc.video.capture", true, switchSetting(&MediaSwitches::localVideoCapture)},
        {"che.video.local.capture", true, switchSetting(&MediaSwitches::localVideoCapture)},
        {"che.video.local.send", true, switchSetting(&MediaSwitches::localVideoSend)},
        // The local preview has no frames of its own here; the value is only checked.
        {"che.video.local.render", true, switchSetting(nullptr)},
        {"rtc.video.mute_peers", true, switchSetting(&MediaSwitches::remoteVideoMuted)},
    };
    return *table;
}

const Setting* findSetting(const std::string& key, bool engineKeys) {
    for (const Setting& setting : settings()) {
        if (key == setting.key && (engineKeys || !setting.engineKey)) {
            return &setting;
        }
    }
    return nullptr;
}

bool inSimNamespace(const std::string& key) {
    return key == "sim" || key.compare(0, 4, "sim.") == 0;
}

// Reads every member of `object`; an object inside the sim namespace that is not a setting
// itself is read as further dotted keys. Unknown keys are passed over.
bool readMembers(const std::string& prefix, const JsonValue& object, bool engineKeys,
                 SettingsChange& change, std::string& error) {
    for (const auto& member : object.members) {
        const std::string key = prefix.empty() ? member.first : prefix + "." + member.first;
        const JsonValue& value = member.second;
        if (!engineKeys && !inSimNamespace(key)) {
            continue;
        }
        const Setting* setting = findSetting(key, engineKeys);
        if (value.kind == JsonValue::Kind::Object && inSimNamespace(key) &&
            (setting == nullptr || key == "sim")) {
            if (!readMembers(key, value, engineKeys, change, error)) {
                return false;
            }
        } else if (setting != nullptr && !setting->read(key, value, change, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool readInitText(const char* text, SettingsChange& change, std::string& error) {
    if (text == nullptr) {
        return true;
    }
    std::string source(text);
    const std::size_t first = source.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || source[first] != '{') {
        return true;
    }
    JsonValue root;
    if (!parseJson(source, root, error)) {
        error = "initialisation text: malformed JSON: " + error;
        return false;
    }
    return readMembers("", root, false, change, error);
}

bool readParameterText(const char* text, SettingsChange& change, std::string& error) {
    JsonValue root;
    if (!parseJson(text == nullptr ? "" : text, root, error)) {
        error = "malformed JSON: " + error;
        return false;
    }
    if (root.kind != Kind::Object) {
        return expected("parameters", "a JSON object", root, error);
    }
    return readMembers("", root, true, change, error);
}

bool readParameter(const std::string& key, const JsonValue& value, SettingsChange& change,
                   std::string& error) {
    JsonValue wrapper;
    wrapper.kind = Kind::Object;
    wrapper.members.emplace_back(key, value);
    return readMembers("", wrapper, true, change, error);
}

bool readVideoConfiguration(const rtc::VideoConfiguration& config, SettingsChange& change,
                            std::string&) {
    // As a real camera does, the engine delivers the nearest format it can instead of refusing
    // one: sizes even (I420 chroma covers two by two pixels) within 2..3840 by 2..2160, 1 to 60
    // frames a second; no bitrate (0 or less) means the raw rate of the format.
    auto clampEven = [](int value, int hi) { return std::max(2, std::min(value, hi)) & ~1; };
    const int width = clampEven(config.width, 3840);
    const int height = clampEven(config.height, 2160);
    const int fps = std::max(1, std::min(config.frameRate, 60));
    const int bitrate = std::max(0, config.bitrate);
    change.addSettings([width, height, fps, bitrate](LiveSettings& s) {
        s.video.width = width;
        s.video.height = height;
        s.video.fps = fps;
        s.video.bitrateKbps = bitrate;
    });
    return true;
}

void reportBadSetting(const char* operation, const std::string& error) {
    const std::string line = "velto-sim: " + std::string(operation) + ": " + error + "\n";
    // One write, so that lines from several threads never mix.
#if defined(_WIN32)
    // To the process's handle: the program's runtime moves it with its fd 2 (output capture),
    // which this library's own C runtime would not follow.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
#else
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
#endif
}

}  // namespace sim
}  // namespace velto
