#include "simengine/SimEngineParameters.h"

#include <string>
#include <utility>

#include "simengine/Controls.h"
#include "simengine/Journal.h"
#include "simengine/Results.h"
#include "simengine/SettingKeys.h"
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

int SimEngineParameters::setting(const char* call, bool valid, const SettingsChange& change,
                                 const std::string& error, Args args) {
    const int result = outcome(call, valid ? kOk : kInvalidArgument);
    journal().record(engine_->id(), call, std::move(args), result);
    if (!error.empty()) {
        reportBadSetting(call, error);
    }
    if (result == kOk) {
        change.applyTo(engine_->settings(), engine_->switches());
    }
    return result;
}

int SimEngineParameters::setBoolParameter(const char* key, bool value) {
    SettingsChange change;
    std::string error;
    bool valid = key != nullptr;
    if (valid) {
        JsonValue flag;
        flag.kind = JsonValue::Kind::Bool;
        flag.boolean = value;
        valid = readParameter(key, flag, change, error);
    }
    return setting("EngineParameters.setBoolParameter", valid, change, error,
                   {{"key", textValue(key)}, {"value", boolValue(value)}});
}

// The value is read as JSON when it is JSON ("15", "true", "[...]") and as a string otherwise.
int SimEngineParameters::setStringParameter(const char* key, const char* value) {
    SettingsChange change;
    std::string error;
    bool valid = key != nullptr && value != nullptr;
    if (valid) {
        JsonValue parsed;
        std::string notJson;
        if (!parseJson(value, parsed, notJson)) {
            parsed = JsonValue{};
            parsed.kind = JsonValue::Kind::String;
            parsed.text = value;
        }
        valid = readParameter(key, parsed, change, error);
    }
    return setting("EngineParameters.setStringParameter", valid, change, error,
                   {{"key", textValue(key)}, {"value", textValue(value)}});
}

int SimEngineParameters::setParameters(const char* json) {
    SettingsChange change;
    std::string error;
    const bool valid = json != nullptr && readParameterText(json, change, error);
    return setting("EngineParameters.setParameters", valid, change, error,
                   {{"json", textValue(json)}});
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
