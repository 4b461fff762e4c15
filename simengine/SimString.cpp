#include "simengine/SimString.h"

#include <utility>

#include "simengine/Journal.h"

namespace velto {
namespace sim {

SimString::SimString(int engineId, std::string text)
    : engineId_(engineId), text_(std::move(text)), reference_(kHandoutSdkString) {}

const char* SimString::c_str() {
    journal().record(engineId_, "SdkString.c_str", {{"value", textValue(text_.c_str())}});
    return text_.c_str();
}

void SimString::release() {
    Args args;
    if (!reference_.giveBack()) {
        args.push_back({"repeated", boolValue(true)});
    }
    journal().record(engineId_, "SdkString.release", std::move(args));
}

}  // namespace sim
}  // namespace velto
