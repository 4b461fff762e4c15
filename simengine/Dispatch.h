// Runs a piece of work on an engine thread on behalf of a test and waits for it, with a timeout.
// Called on a test's thread (never holding the interpreter lock, so the module's callbacks can
// take it).
//
// On timeout the work stays queued or running; everything it touches must be owned by the job
// itself (captured shared_ptrs), never by the waiting caller's stack.
#pragma once

#include <functional>

#include "simengine/Library.h"

namespace velto {
namespace sim {

enum class DispatchStatus {
    kDone,
    kTimedOut,
    kBadThread,
};

// Runs `job(route)` on thread `index` of the current engine, or on the fallback thread when no
// engine is alive. A negative `timeoutMs` waits without limit. When the caller is already on the
// chosen thread the job runs directly instead of waiting for itself.
DispatchStatus dispatchToEngineThread(int index, int timeoutMs,
                                      const std::function<void(const Route&)>& job);

}  // namespace sim
}  // namespace velto
