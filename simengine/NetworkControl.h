// The control functions for calls between processes (velto_sim.network and the transport
// benchmark). Callable from any thread without the interpreter lock held.
#pragma once

#include <cstddef>

#include "sdk/SdkExport.h"

extern "C" {

// Writes, as vsim_journal_json does, the current engine's membership of the channel between
// processes: {"dir","channel","uid","members":[uids],"messagesIn","bytesIn","refused",
// "abandoned","messagesOut","bytesOut","sendsDropped"}, or null when its call has none.
VELTO_API size_t vsim_network_json(char* buf, size_t cap);

// Sends `frames` I420 frames of width x height from one member to another of a channel in the
// folder `dir`, each after the previous one arrived, and fills out4 with nanoseconds per frame:
// [0] process CPU time, [1] wall time, [2] one memcpy of the frame's bytes (CPU time), [3]
// frames that arrived. Returns 0, or -1 when the members could not meet.
VELTO_API int vsim_transport_bench(const char* dir, int width, int height, int frames,
                                   double* out4);
}
