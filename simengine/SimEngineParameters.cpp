#include "simengine/SimEngineParameters.h"

#include <string>
#include <utility>

#include "simengine/Controls.h"
#include "simengine/Journal.h"
#include "simengine/Results.h"
#include "simengine/SimString.h"

namespace velto {
namespace sim {

SimEngineParameters::SimEngineParameters(std::shared_ptr<EngineState> engine)
    : engine_(std::move(engine)), reference_(kHandoutEngineParameters) {}

void SimEngineParameters::release() {
    Args args;
    if (!reference_.giveBack()) {
        args.push_back({"repeated", boolValue(true)});
    }
    journal().record(engine_->id(), "EngineParameters.release", std::move(args));
}

int SimEngineParameters::setBoolParameter(const char* key, bool value) {
    const char* call = "EngineParameters.setBoolParameter";
    const int result = outcome(call, key == nullptr ? kInvalidArgument : kOk);
    journal().record(engine_->id(), call, {{"key", textValue(key)}, {"value", boolValue(value)}},
                     result);
    return result;
}

int SimEngineParameters::setStringParameter(const char* key, const char* value) {
    const char* call = "EngineParameters.setStringParameter";
    const int result = outcome(call, key == nullptr || value == nullptr ? kInvalidArgument : kOk);
    journal().record(engine_->id(), call, {{"key", textValue(key)}, {"value", textValue(value)}},
                     result);
    return result;
}

int SimEngineParameters::setParameters(const char* json) {
    const char* call = "EngineParameters.setParameters";
    const int result = outcome(call, json == nullptr ? kInvalidArgument : kOk);
    journal().record(engine_->id(), call, {{"json", textValue(json)}}, result);
    return result;
}

int SimEngineParameters::resolvePath(const char* path, rtc::SdkString** out) {
    const char* call = "EngineParameters.resolvePath";
    Args args{{"path", textValue(path)}};
    int rejected = kOk;
    if (out == nullptr) {
        args.push_back({"out", nullValue()});
        rejected = kInvalidArgument;
    } else if (path == nullptr) {
        rejected = kInvalidArgument;
    } else if (controls().resolvePathFails()) {
        rejected = kFailed;
    }
    const int result = outcome(call, rejected);
    journal().record(engine_->id(), call, std::move(args), result);
    if (result != kOk) {
        return result;
    }
    std::string resolved = path[0] == '/' ? std::string(path) : kLogDirectory + std::string(path);
    *out = handouts().handOut(kHandoutSdkString,
                              std::make_shared<SimString>(engine_->id(), std::move(resolved)));
    return result;
}

}  // namespace sim
}  // namespace velto
