// Formats a JSON parameter text (at most 510 characters; longer output is cut) and hands it to
// the engine's EngineParameters. Interpreter threads only.
#pragma once

#include <cstdint>

#include "engine/InterfaceHolder.h"

namespace pyv {

// The module's own result when the engine gives no EngineParameters.
constexpr int32_t kNoEngineParameters = -7;
constexpr int kParameterTextLimit = 510;

// Returns the engine's result, or kNoEngineParameters (calling nothing) when the holder is empty.
int32_t applyParameterJson(const InterfaceHolder<velto::rtc::EngineParameters>& parameters,
                           const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace pyv
