// The two call threads of the foreign engine, each a fixed script played into the module through
// its Microsoft-ABI vtables, on a native thread the module has never seen:
//
// - joined: onJoinChannelSuccess; remote users 1001 and 1002 join; audio frames of every kind
//   (record, play, mix, and play-before-mix per remote user) and video frames (capture, and
//   render per remote user) to the attached observers; the four statistics reports; user 1001
//   goes offline and user 1003 joins, so a freed view is handed out again.
// - left: onChannelLeft.
//
// Each frame is journalled with its numbers, the observer's answer, whether the record came back
// unchanged, and FNV-1a checksums of every buffer as sent and as found after the call.
#pragma once

namespace foreign {

unsigned long playJoinedCall(void* engine);
unsigned long playChannelLeft(void* engine);
// The module operation the call thread called last (or is still in): names a call that hangs.
const char* lastCallIntoModule();

// Remote users the joined script announces, in order; the last joins after the first left.
constexpr unsigned int kRemoteUsers[] = {1001, 1002, 1003};

}  // namespace foreign
