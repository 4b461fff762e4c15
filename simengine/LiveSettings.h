// How a live call looks: the local capture formats, the statistics interval and the simulated
// remote users with their schedule. Plain values; the engine keeps one set in a SettingsStore.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace velto {
namespace sim {

// Local camera; setVideoConfiguration and the sim.video.* keys change it.
struct LocalVideo {
    int width = 320;
    int height = 240;
    int fps = 15;
    int bitrateKbps = 0;  // the target reported in statistics; 0: the raw rate of the format
    std::string file;     // a Y4M file the camera plays instead of the pattern; empty: none
    bool loop = false;
};

// Local microphone, and the format of mixed playback; the sim.audio.* keys change it.
struct LocalAudio {
    int sampleRate = 48000;
    int channels = 1;
    double pitchHz = 440;
    std::string file;  // a WAV file the microphone plays instead of the tone; empty: none
    bool loop = false;
};

enum class UserKind {
    kPattern,  // publishes its own test pattern and tone
    kEcho,     // publishes what the local user sends, in the local formats
    kPeer,     // another process in the channel: publishes what its program sends
};

struct UserSpec {
    uint32_t uid = 0;
    UserKind kind = UserKind::kPattern;
    double joinSeconds = 0.5;  // after the local user joined
    double leaveSeconds = -1;  // negative: stays until the local user leaves
    bool video = true;         // publishes video
    bool audio = true;         // publishes audio
    int width = 320;           // pattern users only, as below
    int height = 240;
    int fps = 15;
    int sampleRate = 48000;
    int channels = 1;
    double pitchHz = 330;
    std::string audioFile;  // pattern users only: files played instead of the tone and pattern
    std::string videoFile;
    bool loop = false;  // both files
};

// Calls between processes; the sim.network.* keys change it, read at each joinChannel.
struct NetworkSettings {
    int enabled = -1;  // 1 on, 0 off, -1 as VELTO_SIM_NETWORK says (unset: on)
    std::string dir;   // the rendezvous folder; empty: VELTO_SIM_NETWORK_DIR or the default
};

struct LiveSettings {
    LocalVideo video;
    LocalAudio audio;
    int statsIntervalMs = 2000;  // 0: no statistics
    std::vector<UserSpec> users = defaultUsers();
    NetworkSettings network;

    // A pattern user joining at 0.5 s and leaving at 6 s, and an echo user joining at 1 s.
    static std::vector<UserSpec> defaultUsers();
};

// The settings as JSON, in the key scheme that sets them ({"video":{"width":...},...}).
std::string settingsJson(const LiveSettings& settings);

// One engine's settings. Written by the module's threads (initialize, parameters, video
// configuration), read by the engine's media threads; locks internally.
class SettingsStore {
  public:
    LiveSettings snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return settings_;
    }
    LocalVideo video() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return settings_.video;
    }
    LocalAudio audio() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return settings_.audio;
    }
    int statsIntervalMs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return settings_.statsIntervalMs;
    }
    void update(const std::function<void(LiveSettings&)>& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(settings_);
    }

  private:
    mutable std::mutex mutex_;
    LiveSettings settings_;
};

}  // namespace sim
}  // namespace velto
