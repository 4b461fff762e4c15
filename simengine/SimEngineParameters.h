// EngineParameters (sub-interface id 3): records parameters and resolves paths. Any thread.
//
// resolvePath gives an absolute path without touching the file system, so results are the same
// on every machine: an absolute path comes back unchanged, any other path is placed under
// kLogDirectory.
#pragma once

#include <memory>

#include "sdk/IRtcEngine.h"
#include "simengine/EngineState.h"
#include "simengine/Handouts.h"

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
    const std::shared_ptr<EngineState> engine_;
    HandoutReference reference_;
};

}  // namespace sim
}  // namespace velto
