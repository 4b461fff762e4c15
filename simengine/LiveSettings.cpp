#include "simengine/LiveSettings.h"

#include <cstdio>

#include "simengine/JsonText.h"

namespace velto {
namespace sim {

std::vector<UserSpec> LiveSettings::defaultUsers() {
    UserSpec pattern;
    pattern.uid = 1001;
    pattern.joinSeconds = 0.5;
    pattern.leaveSeconds = 6.0;
    UserSpec echo;
    echo.uid = 1002;
    echo.kind = UserKind::kEcho;
    echo.joinSeconds = 1.0;
    return {pattern, echo};
}

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// A text setting (a path): quoted by the JSON library, or null for none.
std::string textJson(const std::string& text) {
    if (text.empty()) {
        return "null";
    }
    std::string out;
    appendJsonString(out, text);
    return out;
}

const char* flag(bool on) {
    return on ? "true" : "false";
}

}  // namespace

std::string settingsJson(const LiveSettings& s) {
    std::string out = "{\"video\":{\"width\":" + std::to_string(s.video.width) +
                      ",\"height\":" + std::to_string(s.video.height) +
                      ",\"fps\":" + std::to_string(s.video.fps) +
                      ",\"bitrate\":" + std::to_string(s.video.bitrateKbps) +
                      ",\"file\":" + textJson(s.video.file) + ",\"loop\":" + flag(s.video.loop) +
                      "},\"audio\":{\"sampleRate\":" + std::to_string(s.audio.sampleRate) +
                      ",\"channels\":" + std::to_string(s.audio.channels) +
                      ",\"pitch\":" + number(s.audio.pitchHz) +
                      ",\"file\":" + textJson(s.audio.file) + ",\"loop\":" + flag(s.audio.loop) +
                      "},\"stats\":{\"intervalMs\":" + std::to_string(s.statsIntervalMs) +
                      "},\"users\":[";
    for (std::size_t i = 0; i < s.users.size(); ++i) {
        const UserSpec& u = s.users[i];
        if (i > 0) {
            out += ',';
        }
        out += "{\"uid\":" + std::to_string(u.uid) + ",\"kind\":\"" +
               (u.kind == UserKind::kEcho ? "echo" : "pattern") +
               "\",\"join\":" + number(u.joinSeconds) +
               ",\"leave\":" + (u.leaveSeconds < 0 ? std::string("null") : number(u.leaveSeconds)) +
               ",\"video\":" + (u.video ? "true" : "false") +
               ",\"audio\":" + (u.audio ? "true" : "false") +
               ",\"width\":" + std::to_string(u.width) + ",\"height\":" + std::to_string(u.height) +
               ",\"fps\":" + std::to_string(u.fps) +
               ",\"sampleRate\":" + std::to_string(u.sampleRate) +
               ",\"channels\":" + std::to_string(u.channels) + ",\"pitch\":" + number(u.pitchHz) +
               ",\"audioFile\":" + textJson(u.audioFile) +
               ",\"videoFile\":" + textJson(u.videoFile) + ",\"loop\":" + flag(u.loop) + "}";
    }
    out += "],\"network\":{\"enabled\":";
    out += s.network.enabled < 0 ? "null" : (s.network.enabled == 1 ? "true" : "false");
    out += ",\"dir\":" + textJson(s.network.dir);
    out += "}}";
    return out;
}

}  // namespace sim
}  // namespace velto
