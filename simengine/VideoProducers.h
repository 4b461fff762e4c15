// The call's video. The camera, on the camera thread at the configured frame rate, draws the
// local test pattern and hands it to the video observer as a capture frame before it is sent;
// what the observer leaves in the frame is what is sent. Each remote user's video, on the
// remote video thread, arrives as render frames: a pattern user draws its own pattern at its own
// rate, an echo user returns each frame the local user sent, once. The camera and pattern users
// show pushed frames or their file instead of the pattern when they have one (SenderMedia.h),
// at their file's frame rate while a file plays.
#pragma once

#include <memory>

#include "simengine/LiveCall.h"

namespace velto {
namespace sim {

// Posts the camera's first frame, due when the call started; opens its file here.
void startCamera(const std::shared_ptr<LiveCall>& call);
// Starts the user's video: a pattern user's first frame is due now, an echo user waits for the
// next frame sent. Frames flow while the user is present and end for good once it has left.
// A pattern user's file opens here, when the user joins.
void startRemoteVideo(const std::shared_ptr<LiveCall>& call,
                      const std::shared_ptr<RemoteUser>& user);

}  // namespace sim
}  // namespace velto
