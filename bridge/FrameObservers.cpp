// The observer operations the engine calls for every frame, on its media threads, without the
// GIL. Each forwards the frame, tagged with its kind and uid, to the published binding; no lock,
// no allocation: one atomic load and one indirect call.
#include "engine/CVeltoObject.h"

namespace pyv {

using velto::media::EngineAudioFrame;
using velto::media::EngineVideoFrame;

void CVeltoObject::forward(const std::atomic<const FrameBinding*>& slot, int streamType,
                           unsigned int uid, void* frame) noexcept {
    const FrameBinding* binding = slot.load(std::memory_order_acquire);
    if (binding != nullptr && binding->callback != nullptr) {
        binding->callback(streamType, uid, frame, binding->context.get());
    }
}

bool CVeltoObject::onStreamAudioRecord(EngineAudioFrame& frame) {
    forward(audioBinding_, StreamAudioRecord, 0, &frame);
    return true;
}

bool CVeltoObject::onStreamAudioPlay(EngineAudioFrame& frame) {
    forward(audioBinding_, StreamAudioPlay, 0, &frame);
    return true;
}

bool CVeltoObject::onStreamAudioMix(EngineAudioFrame& frame) {
    forward(audioBinding_, StreamAudioMix, 0, &frame);
    return true;
}

bool CVeltoObject::onStreamAudioPlayBeforeMix(unsigned int uid, EngineAudioFrame& frame) {
    forward(audioBinding_, StreamAudioPlayBeforeMix, uid, &frame);
    return true;
}

bool CVeltoObject::onStreamVideoCap(EngineVideoFrame& frame) {
    forward(videoBinding_, StreamVideoCap, 0, &frame);
    return true;
}

bool CVeltoObject::onStreamVideoRender(unsigned int uid, EngineVideoFrame& frame) {
    forward(videoBinding_, StreamVideoRender, uid, &frame);
    return true;
}

}  // namespace pyv
