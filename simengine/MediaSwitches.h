// What the program switched on and off: the engine operations and parameters that start and
// stop media. Written by the module's threads, read by the engine's media threads at every
// frame; each switch is one atomic.
#pragma once

#include <atomic>

namespace velto {
namespace sim {

struct MediaSwitches {
    std::atomic<bool> audio{true};              // enableAudio / disableAudio
    std::atomic<bool> video{false};             // enableVideo / disableVideo
    std::atomic<bool> localAudio{true};         // setLocalAudioEnabled
    std::atomic<bool> localVideoCapture{true};  // rtc.video.capture, che.video.local.capture
    std::atomic<bool> localVideoSend{true};     // che.video.local.send
    std::atomic<bool> remoteAudioMuted{false};  // muteAllRemoteAudioStreams
    std::atomic<bool> remoteVideoMuted{false};  // rtc.video.mute_peers
};

}  // namespace sim
}  // namespace velto
