// The Python type "_pyveltosdk._EventQueue": one open engine event queue (engine/EventQueue.h),
// made only by _pyveltosdk._event_queue and bound to no module attribute.
//
//   take(max=-1) -> list of (kind, monotonic_ns, *fields) tuples, oldest first, without blocking
//   wait(timeout=None) -> bool: blocks with the GIL released until events wait or the queue is
//       closed (True) or the timeout in seconds passes (False); signal handlers run meanwhile
//   fileno() -> int: readable while events wait and for good once closed; closing it is harmless
//   members() -> list of the uids present (a members queue)
//   close(); dropped, closed, capacity
//
// Interpreter threads only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "engine/EventQueue.h"

namespace pyv {

// A new queue object that receives the kinds selected by `kinds` of channel epoch `channel`
// (EventQueue::kAnyChannel: every channel), or null with an error set.
PyObject* newEventQueueObject(std::size_t capacity, uint32_t kinds, uint64_t channel,
                              EventQueue::Keeps keeps);

}  // namespace pyv
