// EngineParameters (sub-interface id 3): records parameters, applies the ones the engine knows
// (see SettingKeys) and resolves paths. Any thread.
//
// resolvePath gives an absolute path without touching the file system, so results are the same
// on every machine: an absolute path comes back unchanged, any other path is placed under
// kLogDirectory.
#pragma once

#include <memory>
#include <string>

#include "sdk/IRtcEngine.h"
#include "simengine/EngineState.h"
#include "simengine/Handouts.h"
#include "simengine/Journal.h"
#include "simengine/SettingKeys.h"

namespace velto {
namespace sim {

class SimEngineParameters final : public rtc::EngineParameters {
  public:
    static constexpr const char* kLogDirectory = "/var/velto/logs/";

    explicit SimEngineParameters(std::shared_ptr<EngineState> engine);

    void release() override;
    int setBoolParameter(const char* key, bool value) override;
    int setStringParameter(const char* key, const char* value) override;
    int setParameters(const char* json) override;
    int resolvePath(const char* path, rtc::SdkString** out) override;

  private:
    // Journals the call with its result (-2 when not `valid`), reports `error` and applies
    // `change` on success.
    int setting(const char* call, bool valid, const SettingsChange& change,
                const std::string& error, Args args);

    const std::shared_ptr<EngineState> engine_;
    HandoutReference reference_;
};

}  // namespace sim
}  // namespace velto
