// The sub-interfaces with ids 1 and 2, which offer nothing but release. Any thread.
#pragma once

#include <memory>

#include "sdk/IRtcEngine.h"
#include "simengine/EngineState.h"
#include "simengine/Handouts.h"

namespace velto {
namespace sim {

class SimSubInterface final : public rtc::ISubInterface {
  public:
    SimSubInterface(int id, std::shared_ptr<EngineState> engine);
    void release() override;

  private:
    const int id_;
    const std::shared_ptr<EngineState> engine_;
    HandoutReference reference_;
};

}  // namespace sim
}  // namespace velto
