// _event_queue: the private entry point of the Pythonic layer (python/pyveltosdk) to the engine's
// participant notifications and statistics records, which the public functions never hand to
// Python.
#include "module/EventQueueType.h"
#include "module/functions.h"
#include "module/results.h"

namespace pyv {

// _event_queue(capacity, kinds=all) -> an open _EventQueue of at most `capacity` events.
PyObject* openEventQueue(PyObject*, PyObject* args) {
    return callPython([&] {
        Py_ssize_t capacity = 0;
        unsigned int kinds = 0xFFFFFFFFu;
        parseArgs(args, "n|I:_event_queue", &capacity, &kinds);
        if (capacity < 1) {
            raise(PyExc_ValueError, "capacity must be at least 1");
        }
        return checked(newEventQueueObject(static_cast<std::size_t>(capacity), kinds));
    });
}

}  // namespace pyv
