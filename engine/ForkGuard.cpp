#include "engine/ForkGuard.h"

#include <mutex>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "engine/CVeltoObject.h"
#include "engine/EventQueue.h"
#include "engine/InterpreterGate.h"
#include "engine/NativeOutput.h"

namespace pyv {

void CVeltoObject::lockForFork() {
    engineMutex_.lock();
    viewsMutex_.lock();
    ChannelEpochs::instance().lockForFork();
}

void CVeltoObject::unlockAfterFork() {
    ChannelEpochs::instance().unlockAfterFork();
    viewsMutex_.unlock();
    engineMutex_.unlock();
}

void CVeltoObject::restartInForkChild() {
    // Releasing them would call into an engine whose threads are gone: they are forgotten.
    subInterface2_.abandon();
    subInterface1_.abandon();
    rtcEngine_.store(nullptr, std::memory_order_release);
    unlockAfterFork();
}

namespace {

#if !defined(_WIN32)
// Taken once at installation: the handlers never go through getInstance's own lock, which
// another thread might hold when fork() comes.
CVeltoObject* engineObject = nullptr;

// The output and event-queue locks are leaves, so they go last and come back first.
void beforeFork() {
    engineObject->lockForFork();
    nativeOutput::lockForFork();
    lockEventQueuesForFork();
}

void afterForkInParent() {
    unlockEventQueuesAfterFork();
    nativeOutput::unlockAfterFork();
    engineObject->unlockAfterFork();
}

void afterForkInChild() {
    restartEventQueuesInForkChild();
    nativeOutput::restartInForkChild();
    InterpreterGate::instance().restartInForkChild();
    engineObject->restartInForkChild();
}
#endif

}  // namespace

bool installForkGuard() {
#if defined(_WIN32)
    return true;  // no fork()
#else
    static const bool installed = [] {
        engineObject = &CVeltoObject::getInstance();
        return pthread_atfork(beforeFork, afterForkInParent, afterForkInChild) == 0;
    }();
    return installed;
#endif
}

}  // namespace pyv
