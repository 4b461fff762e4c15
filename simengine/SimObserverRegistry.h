// ObserverRegistry (sub-interface id 4): stores the frame observers on the engine; attaching
// again replaces the previous observer, attaching null detaches. Any thread.
#pragma once

#include <memory>

#include "sdk/IRtcEngine.h"
#include "simengine/EngineState.h"
#include "simengine/Handouts.h"

namespace velto {
namespace sim {

class SimObserverRegistry final : public rtc::ObserverRegistry {
  public:
    explicit SimObserverRegistry(std::shared_ptr<EngineState> engine);

    void release() override;
    int attachAudioObserver(media::IAudioFrameObserver* observer) override;
    int attachVideoObserver(media::IVideoFrameObserver* observer) override;

  private:
    const std::shared_ptr<EngineState> engine_;
    HandoutReference reference_;
};

}  // namespace sim
}  // namespace velto
