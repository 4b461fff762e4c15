#include "engine/ApplyParameterJson.h"

#include <cstdarg>
#include <cstdio>

namespace pyv {

int32_t applyParameterJson(const InterfaceHolder<velto::rtc::EngineParameters>& parameters,
                           const char* format, ...) {
    char text[kParameterTextLimit + 2];
    va_list values;
    va_start(values, format);
    // Capacity 511: at most 510 characters and the NUL. A cut text is still handed on.
    std::vsnprintf(text, kParameterTextLimit + 1, format, values);
    va_end(values);
    if (!parameters) {
        return kNoEngineParameters;
    }
    return parameters->setParameters(text);
}

}  // namespace pyv
