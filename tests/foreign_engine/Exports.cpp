// The library's entry points as the module imports them: createEngine and getEngineVersion by
// ordinal (2 and 3, from sdk/velto_rtc_sdk.def) and IRtcEngine::release under its Microsoft-
// mangled name; and two entry points by name for the test, which reaches them through ctypes.
#include "CallScript.h"
#include "ForeignEngine.h"
#include "Journal.h"
#include "SubInterfaces.h"

namespace {
constexpr int kBuild = 4242;
const char kVersion[] = "foreign-msvc 1.0";
}  // namespace

extern "C" VELTO_API velto::rtc::IRtcEngine* createEngine() {
    foreign::JournalLine line;
    foreign::journalAdd(line.add("createEngine"));
    foreign::engine().start();
    return &foreign::engine();
}

extern "C" VELTO_API const char* getEngineVersion(int* build) {
    foreign::JournalLine line;
    foreign::journalAdd(line.add("getEngineVersion build=").add(build != nullptr ? 1 : 0));
    if (build != nullptr) {
        *build = kBuild;
    }
    return kVersion;
}

namespace velto {
namespace rtc {

void IRtcEngine::release(bool sync) {
    foreign::engine().finish(sync);
}

}  // namespace rtc
}  // namespace velto

// The journal so far (Journal.h). Read it once no call thread runs: after foreignEngineWait.
extern "C" __declspec(dllexport) const char* foreignEngineJournal() {
    return foreign::journalText();
}

// Waits up to `milliseconds` for the engine's call thread to finish its script; 1 when none
// runs any more. Called from Python through ctypes, which lets go of the GIL meanwhile, so the
// thread can still reach the module's callables.
extern "C" __declspec(dllexport) int foreignEngineWait(unsigned int milliseconds) {
    return foreign::engine().waitForCallThread(milliseconds) ? 1 : 0;
}

// The module operation the engine's call thread is in or called last, for a test's diagnosis.
extern "C" __declspec(dllexport) const char* foreignEngineLastCall() {
    return foreign::lastCallIntoModule();
}
