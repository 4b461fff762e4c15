// The library's entry points: createEngine, getEngineVersion and IRtcEngine::release. Called on
// the module's threads.
#include "sdk/IRtcEngine.h"
#include "simengine/Journal.h"
#include "simengine/Library.h"
#include "simengine/Version.h"

extern "C" VELTO_API velto::rtc::IRtcEngine* createEngine() {
    return velto::sim::library().createEngine();
}

extern "C" VELTO_API const char* getEngineVersion(int* build) {
    using namespace velto::sim;
    if (build == nullptr) {
        journal().record(0, "getEngineVersion", {{"build", nullValue()}});
    } else {
        *build = kEngineBuild;
        journal().record(0, "getEngineVersion", {{"build", intValue(kEngineBuild)}});
    }
    return kEngineVersion;
}

namespace velto {
namespace rtc {

void IRtcEngine::release(bool sync) {
    sim::library().releaseCurrent(sync);
}

}  // namespace rtc
}  // namespace velto
