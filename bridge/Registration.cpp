// Attaching the engine object's observers and publishing what the frames are dispatched to.
// Interpreter threads, holding the GIL.
#include "engine/CVeltoObject.h"
#include "engine/InterpreterGate.h"

namespace pyv {

using velto::rtc::ObserverRegistry;

bool CVeltoObject::registerAudioObserver(FrameCallback callback,
                                         std::unique_ptr<StreamCallbackContext> context) {
    return attachAndPublish(
        [this](ObserverRegistry& registry) { registry.attachAudioObserver(this); }, audioBinding_,
        FrameKind::Audio, callback, std::move(context));
}

bool CVeltoObject::registerVideoObserver(FrameCallback callback,
                                         std::unique_ptr<StreamCallbackContext> context) {
    return attachAndPublish(
        [this](ObserverRegistry& registry) { registry.attachVideoObserver(this); }, videoBinding_,
        FrameKind::Video, callback, std::move(context));
}

bool CVeltoObject::attachAndPublish(const std::function<void(ObserverRegistry&)>& attach,
                                    std::atomic<const FrameBinding*>& slot, FrameKind kind,
                                    FrameCallback callback,
                                    std::unique_ptr<StreamCallbackContext> context) {
    InterfaceHolder<ObserverRegistry> registry(engine(), velto::rtc::kObserverRegistry);
    if (!registry) {
        return false;
    }
    // The observer is attached before the binding is published; a frame in between finds no
    // binding and is passed over.
    attach(*registry.get());
    context->published = &slot;
    auto binding = std::make_unique<FrameBinding>();
    binding->callback = callback;
    binding->context = std::move(context);
    bindings_.push_back(std::move(binding));
    // Released only once both members are complete: a media thread sees the pair or nothing.
    slot.store(bindings_.back().get(), std::memory_order_release);
    InterpreterGate::instance().openFrames(kind);
    return true;
}

}  // namespace pyv
