// The settings a program passes through the texts the engine already receives: the "sim" object
// of the initialisation text, "sim.*" and the engine's own keys in parameters, and the video
// configuration. Reading validates everything first and yields a change that is applied as a
// whole, so a malformed setting changes nothing. Pure functions; any thread.
//
// Objects inside the "sim" namespace are read as dotted keys: {"sim":{"video":{"fps":10}}},
// {"sim.video":{"fps":10}} and {"sim.video.fps":10} say the same. Unknown keys are ignored.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sdk/RtcRecords.h"
#include "simengine/JsonValue.h"
#include "simengine/LiveSettings.h"
#include "simengine/MediaSwitches.h"

namespace velto {
namespace sim {

// A validated change, applied later in one go.
class SettingsChange {
  public:
    void addSettings(std::function<void(LiveSettings&)> change) {
        settings_.push_back(std::move(change));
    }
    void addSwitches(std::function<void(MediaSwitches&)> change) {
        switches_.push_back(std::move(change));
    }
    void applyTo(SettingsStore& store, MediaSwitches& switches) const;

  private:
    std::vector<std::function<void(LiveSettings&)>> settings_;
    std::vector<std::function<void(MediaSwitches&)>> switches_;
};

// Each returns false, with `error` naming the setting and saying what was wrong, when anything
// is malformed; `change` is then incomplete and must be discarded.

// An initialisation text that is a JSON object may carry a "sim" object (only sim.* keys count);
// any other text (an app id, empty) carries no settings.
bool readInitText(const char* text, SettingsChange& change, std::string& error);
// A setParameters text: a JSON object of keys.
bool readParameterText(const char* text, SettingsChange& change, std::string& error);
// One key (setBoolParameter, setStringParameter).
bool readParameter(const std::string& key, const JsonValue& value, SettingsChange& change,
                   std::string& error);
// The local camera's format from setVideoConfiguration; never malformed (values are clamped).
bool readVideoConfiguration(const rtc::VideoConfiguration& config, SettingsChange& change,
                            std::string& error);

// One line on the standard error: "velto-sim: <operation>: <error>".
void reportBadSetting(const char* operation, const std::string& error);

}  // namespace sim
}  // namespace velto
