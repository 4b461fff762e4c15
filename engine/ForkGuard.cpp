#include "engine/ForkGuard.h"

#include <mutex>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "engine/CVeltoObject.h"
#include "engine/InterpreterGate.h"
#include "engine/NativeOutput.h"

namespace pyv {

void CVeltoObject::lockForFork() {
    engineMutex_.lock();
    viewsMutex_.lock();
}

void CVeltoObject::unlockAfterFork() {
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

// The output lock is a leaf, so it goes last and comes back first.
void beforeFork() {
    engineObject->lockForFork();
    nativeOutput::lockForFork();
}

void afterForkInParent() {
    nativeOutput::unlockAfterFork();
    engineObject->unlockAfterFork();
}

void afterForkInChild() {
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
