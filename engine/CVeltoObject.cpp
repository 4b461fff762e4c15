#include "engine/CVeltoObject.h"

#include <string>

#include "engine/EngineSession.h"
#include "engine/InterpreterGate.h"

namespace pyv {

namespace {
// Guards only the check and creation in getInstance. Trivially destructible, so a late
// interpreter thread can never find it destroyed.
std::mutex instanceMutex;
// Never deleted: the engine holds pointers to the object for the rest of the process.
CVeltoObject* instance = nullptr;
}  // namespace

CVeltoObject& CVeltoObject::getInstance() {
    std::lock_guard<std::mutex> lock(instanceMutex);
    if (instance == nullptr) {
        instance = new CVeltoObject();
    }
    return *instance;
}

void CVeltoObject::releaseEngine() {
    std::lock_guard<std::mutex> lock(engineMutex_);
    if (rtcEngine_.load() == nullptr) {
        return;
    }
    InterpreterGate::instance().shutFrames();
    // Sub-interfaces go back while their engine still exists; afterwards they would dangle.
    subInterface2_ = InterfaceHolder<velto::rtc::ISubInterface>();
    subInterface1_ = InterfaceHolder<velto::rtc::ISubInterface>();
    velto::rtc::IRtcEngine::release(false);
    rtcEngine_.store(nullptr, std::memory_order_release);
    ChannelEpochs::instance().sessionEnded();
}

void CVeltoObject::startEngine(const char* initText) {
    const std::string text(initText);
    releaseEngine();
    velto::rtc::IRtcEngine* engine = createEngine();
    {
        std::lock_guard<std::mutex> lock(engineMutex_);
        rtcEngine_.store(engine, std::memory_order_release);
    }
    if (engine != nullptr) {
        EngineSession& session = EngineSession::next(*this);
        ChannelEpochs::instance().sessionStarted(session);
        velto::rtc::EngineContext context{};
        context.eventHandler = &session;
        context.initText = text.c_str();
        context.extraPointer = nullptr;
        context.extraWord = 0xFFFFFFFFu;
        engine->initialize(&context);
    }
    subInterface2_ = InterfaceHolder<velto::rtc::ISubInterface>(engine, velto::rtc::kSubInterface2);
    subInterface1_ = InterfaceHolder<velto::rtc::ISubInterface>(engine, velto::rtc::kSubInterface1);
}

void CVeltoObject::addView(ViewHandle view) {
    std::lock_guard<std::mutex> lock(viewsMutex_);
    CViewPool::getInstance().addView(view);
}

ViewHandle CVeltoObject::joinChannel() {
    ChannelEpochs::instance().channelJoined();
    std::lock_guard<std::mutex> lock(viewsMutex_);
    return CViewPool::getInstance().takeLocalView();
}

void CVeltoObject::channelLeft() {
    ChannelEpochs::instance().channelLeft();
}

}  // namespace pyv
