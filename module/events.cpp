// _event_queue: the private entry point of the Pythonic layer (python/pyveltosdk) to the engine's
// participant notifications and statistics records, which the public functions never hand to
// Python.
#include "engine/ChannelEpochs.h"
#include "engine/EventQueue.h"
#include "module/EventQueueType.h"
#include "module/functions.h"
#include "module/results.h"

namespace pyv {

// _event_queue(capacity, kinds=all, this_channel=False, members=False) -> an open _EventQueue of
// at most `capacity` events (1 to 2**20; memory is taken as events come); with this_channel,
// only the events of the channel joined now (or of the next one joined while none is), never a
// late one of an earlier engine or channel; with members, it keeps the set of users present
// instead of events (members()).
PyObject* openEventQueue(PyObject*, PyObject* args) {
    return callPython([&] {
        Py_ssize_t capacity = 0;
        unsigned int kinds = 0xFFFFFFFFu;
        int thisChannel = 0;
        int members = 0;
        parseArgs(args, "n|Ipp:_event_queue", &capacity, &kinds, &thisChannel, &members);
        if (capacity < 1) {
            raise(PyExc_ValueError, "capacity must be at least 1");
        }
        if (static_cast<std::size_t>(capacity) > EventQueue::kMaxCapacity) {
            raise(PyExc_ValueError, "capacity must be at most 1048576");
        }
        const uint64_t channel =
            thisChannel ? ChannelEpochs::instance().current() : EventQueue::kAnyChannel;
        return checked(
            newEventQueueObject(static_cast<std::size_t>(capacity), kinds, channel,
                                members ? EventQueue::Keeps::Members : EventQueue::Keeps::Events));
    });
}

}  // namespace pyv
