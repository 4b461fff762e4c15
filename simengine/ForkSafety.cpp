// The simulated engine across fork(): no lock of its own reaches a child in a held state, and
// the child starts with no engine alive, since the parent's engine threads did not survive (a
// real engine needs the same: a child initialises its own). The process-wide locks are all held
// briefly and never while calling the module, so holding them across fork() cannot deadlock with
// a thread that waits for the forking thread. The library's lock is taken first: it is held while
// the journal records. The network's descriptors are let go of in the child, so that the
// sockets, the join lock and the uids of a member that forked die with the member.
#if !defined(_WIN32)

#include <pthread.h>

#include "simengine/ChannelSocket.h"
#include "simengine/Controls.h"
#include "simengine/Handouts.h"
#include "simengine/Journal.h"
#include "simengine/Library.h"

namespace velto {
namespace sim {

namespace {

void beforeFork() {
    library().lockForFork();
    handouts().lockForFork();
    controls().lockForFork();
    journal().lockForFork();
    lockNetworkForFork();
}

void afterForkInParent() {
    unlockNetworkAfterFork();
    journal().unlockAfterFork();
    controls().unlockAfterFork();
    handouts().unlockAfterFork();
    library().unlockAfterFork();
}

void afterForkInChild() {
    closeNetworkInForkChild();
    journal().unlockAfterFork();
    controls().unlockAfterFork();
    handouts().unlockAfterFork();
    library().restartInForkChild();
}

// Registered when the library is loaded, before any program that uses it can fork, and before
// the module registers its own handlers: the module's run first before fork() and last after.
const bool registered = [] {
    // These exist before any fork, so no handler creates one; the library, which starts a
    // thread, is created on first use (at the latest by beforeFork).
    handouts();
    controls();
    journal();
    return pthread_atfork(beforeFork, afterForkInParent, afterForkInChild) == 0;
}();

}  // namespace

}  // namespace sim
}  // namespace velto

#endif
