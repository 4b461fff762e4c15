#include "module/EventQueueType.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <vector>

#include "common/Boundary.h"
#include "common/PyRef.h"
#include "engine/EventQueue.h"
#include "engine/InterpreterGate.h"

namespace pyv {

namespace {

struct EventQueueObject {
    PyObject_HEAD std::shared_ptr<EventQueue> queue;  // made in place, destroyed in dealloc
};

EventQueue& queueOf(PyObject* self) {
    return *reinterpret_cast<EventQueueObject*>(self)->queue;
}

void dealloc(PyObject* self) {
    auto* object = reinterpret_cast<EventQueueObject*>(self);
    if (object->queue) {
        object->queue->close();
    }
    object->queue.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

OwnedRef eventTuple(const EngineEvent& event) {
    OwnedRef tuple = OwnedRef::steal(checked(PyTuple_New(2 + event.count)));
    PyTuple_SET_ITEM(tuple.get(), 0, checked(PyLong_FromLong(static_cast<long>(event.kind))));
    PyTuple_SET_ITEM(tuple.get(), 1, checked(PyLong_FromLongLong(event.monotonicNs)));
    for (int32_t i = 0; i < event.count; ++i) {
        PyTuple_SET_ITEM(tuple.get(), 2 + i, checked(PyLong_FromLongLong(event.values[i])));
    }
    return tuple;
}

PyObject* take(PyObject* self, PyObject* args) {
    return callPython([&] {
        Py_ssize_t max = -1;
        if (!PyArg_ParseTuple(args, "|n:take", &max)) {
            throw PythonErrorSet{};
        }
        std::vector<EngineEvent> events;
        queueOf(self).take(events, max < 0 ? SIZE_MAX : static_cast<std::size_t>(max));
        OwnedRef list =
            OwnedRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(events.size()))));
        for (std::size_t i = 0; i < events.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            eventTuple(events[i]).release());
        }
        return list.release();
    });
}

// Waits in slices, so that Ctrl-C and other signal handlers run while a thread blocks here.
PyObject* wait(PyObject* self, PyObject* args) {
    return callPython([&] {
        PyObject* timeoutObject = Py_None;
        if (!PyArg_ParseTuple(args, "|O:wait", &timeoutObject)) {
            throw PythonErrorSet{};
        }
        using Clock = std::chrono::steady_clock;
        bool forever = timeoutObject == Py_None;
        Clock::time_point deadline = Clock::now();
        if (!forever) {
            const double seconds = PyFloat_AsDouble(timeoutObject);
            if (seconds == -1.0 && PyErr_Occurred()) {
                throw PythonErrorSet{};
            }
            // Beyond a day, wait as if forever: the deadline arithmetic stays in range. A
            // negative or NaN timeout polls once.
            forever = seconds > 86400.0;
            if (!forever && seconds > 0.0) {
                deadline += std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(seconds));
            }
        }
        // Held across the wait, so a close() from another thread cannot free the queue.
        const std::shared_ptr<EventQueue> queue = reinterpret_cast<EventQueueObject*>(self)->queue;
        constexpr std::chrono::milliseconds kSlice(100);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now() + std::chrono::milliseconds(1));
            const auto slice =
                forever ? kSlice : std::max(std::min(left, kSlice), std::chrono::milliseconds(0));
            // At exit only daemon threads can still be here. One must not take the GIL back
            // (the interpreter would end it inside this frame), nor wait holding it (the exit
            // would wait too): the gate parks it, or it returns at once and polls from Python.
            InterpreterGate& gate = InterpreterGate::instance();
            if (gate.exiting()) {
                Py_RETURN_FALSE;
            }
            bool ready = false;
            gate.runWithoutGil([&] { ready = queue->wait(slice); });
            if (ready) {
                Py_RETURN_TRUE;
            }
            if (PyErr_CheckSignals() < 0) {
                throw PythonErrorSet{};
            }
            if (!forever && Clock::now() >= deadline) {
                Py_RETURN_FALSE;
            }
        }
    });
}

PyObject* fileno(PyObject* self, PyObject*) {
    return PyLong_FromLong(queueOf(self).fileno());
}

PyObject* members(PyObject* self, PyObject*) {
    return callPython([&] {
        const std::vector<uint32_t> uids = queueOf(self).members();
        OwnedRef list = OwnedRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(uids.size()))));
        for (std::size_t i = 0; i < uids.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            checked(PyLong_FromUnsignedLong(uids[i])));
        }
        return list.release();
    });
}

PyObject* close(PyObject* self, PyObject*) {
    queueOf(self).close();
    Py_RETURN_NONE;
}

PyObject* getDropped(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(queueOf(self).dropped());
}

PyObject* getClosed(PyObject* self, void*) {
    return PyBool_FromLong(queueOf(self).closed());
}

PyObject* getCapacity(PyObject* self, void*) {
    return PyLong_FromSize_t(queueOf(self).capacity());
}

PyMethodDef methods[] = {
    {"take", take, METH_VARARGS, "take(max=-1): up to max waiting events, oldest first"},
    {"wait", wait, METH_VARARGS, "wait(timeout=None): True once events wait or closed"},
    {"fileno", fileno, METH_NOARGS, "readable while events wait; closing it is harmless"},
    {"members", members, METH_NOARGS, "members(): the uids present, of a members queue"},
    {"close", close, METH_NOARGS, "stop receiving events and wake every waiter"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"dropped", getDropped, nullptr, "events dropped because the queue was full", nullptr},
    {"closed", getClosed, nullptr, "whether close() was called", nullptr},
    {"capacity", getCapacity, nullptr, "events held at most", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject makeType() {
    PyTypeObject type{};
    reinterpret_cast<PyObject*>(&type)->ob_refcnt = 1;  // as a static object's header starts
    type.tp_name = "_pyveltosdk._EventQueue";
    type.tp_basicsize = sizeof(EventQueueObject);
    type.tp_dealloc = dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "An engine event queue; made by _pyveltosdk._event_queue.";
    type.tp_methods = methods;
    type.tp_getset = getters;
    return type;
}

PyTypeObject EventQueueType = makeType();

}  // namespace

PyObject* newEventQueueObject(std::size_t capacity, uint32_t kinds, uint64_t channel,
                              EventQueue::Keeps keeps) {
    if (!(EventQueueType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&EventQueueType) < 0) {
        return nullptr;
    }
    OwnedRef self = OwnedRef::steal(PyType_GenericAlloc(&EventQueueType, 0));
    if (!self) {
        return nullptr;
    }
    auto* object = reinterpret_cast<EventQueueObject*>(self.get());
    // Constructed empty first, so dealloc always finds a pointer to destroy.
    new (&object->queue) std::shared_ptr<EventQueue>();
    return callPython([&] {
        object->queue = EventQueue::open(capacity, kinds, channel, keeps);
        return self.release();
    });
}

}  // namespace pyv
