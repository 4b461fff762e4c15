#include "simengine/SimObserverRegistry.h"

#include <utility>

#include "simengine/Controls.h"
#include "simengine/Journal.h"
#include "simengine/Results.h"

namespace velto {
namespace sim {

SimObserverRegistry::SimObserverRegistry(std::shared_ptr<EngineState> engine)
    : engine_(std::move(engine)), reference_(kHandoutObserverRegistry) {}

void SimObserverRegistry::release() {
    Args args;
    if (!reference_.giveBack()) {
        args.push_back({"repeated", boolValue(true)});
    }
    journal().record(engine_->id(), "ObserverRegistry.release", std::move(args));
}

// A failed attach leaves the previous observer in place: the module may already have discarded
// the object it tried to attach.
int SimObserverRegistry::attachAudioObserver(media::IAudioFrameObserver* observer) {
    const char* call = "ObserverRegistry.attachAudioObserver";
    const int result = outcome(call);
    journal().record(engine_->id(), call, {{"observer", addressValue(observer)}}, result);
    if (result == kOk) {
        engine_->setAudioObserver(observer);
    }
    return result;
}

int SimObserverRegistry::attachVideoObserver(media::IVideoFrameObserver* observer) {
    const char* call = "ObserverRegistry.attachVideoObserver";
    const int result = outcome(call);
    journal().record(engine_->id(), call, {{"observer", addressValue(observer)}}, result);
    if (result == kOk) {
        engine_->setVideoObserver(observer);
    }
    return result;
}

}  // namespace sim
}  // namespace velto
