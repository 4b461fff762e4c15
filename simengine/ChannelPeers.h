// The members of the channel in other processes, as the program sees them: remote users that
// join (onRemoteUserJoined) and leave (onRemoteUserOffline with the network's reason) on the
// notification thread, whose video arrives as render frames (11) on the remote video thread and
// whose audio waits in their inbox for the audio thread's next round (AudioProducer). Called by
// the network thread; holds the call until the network thread ends.
#pragma once

#include <memory>

#include "simengine/ChannelNetwork.h"
#include "simengine/LiveCall.h"

namespace velto {
namespace sim {

class ChannelPeers : public ChannelListener {
  public:
    explicit ChannelPeers(std::shared_ptr<LiveCall> call) : call_(std::move(call)) {}

    void peerJoined(std::uint32_t uid) override;
    void peerLeft(std::uint32_t uid, int reason) override;
    void peerAudio(std::uint32_t uid, const WireAudioFrame& frame) override;
    void peerVideo(std::uint32_t uid, I420Frame& frame, std::uint32_t sequence,
                   std::uint64_t sentNs) override;

  private:
    const std::shared_ptr<LiveCall> call_;
};

}  // namespace sim
}  // namespace velto
