// The SdkString the engine hands out from EngineParameters::resolvePath. Any thread.
#pragma once

#include <memory>
#include <string>

#include "sdk/IRtcEngine.h"
#include "simengine/Handouts.h"

namespace velto {
namespace sim {

class SimString final : public rtc::SdkString {
  public:
    SimString(int engineId, std::string text);
    const char* c_str() override;
    void release() override;

  private:
    const int engineId_;
    const std::string text_;
    HandoutReference reference_;
};

}  // namespace sim
}  // namespace velto
