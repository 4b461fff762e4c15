#include "bridge/ThreadObjects.h"

#include <cstring>

namespace pyv {

namespace {

// A bytes object only this cache refers to may be refilled: no one can observe the change, as
// the interpreter itself does when it resizes or appends to an object it holds alone. Its cached
// hash must be forgotten with the old content. Sizes of 0 and 1 are the interpreter's shared
// singletons and are never refilled.
bool refillable(const OwnedRef& bytes, Py_ssize_t size) {
    return bytes && size > 1 && Py_REFCNT(bytes.get()) == 1 &&
           PyBytes_GET_SIZE(bytes.get()) == size;
}

void refill(PyObject* bytes, const char* data, Py_ssize_t size) {
    std::memcpy(PyBytes_AS_STRING(bytes), data, static_cast<size_t>(size));
    // ob_shash is deprecated from 3.11 but still where bytes keep their hash.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    reinterpret_cast<PyBytesObject*>(bytes)->ob_shash = -1;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace

PyObject* ThreadObjects::newInt(int32_t value) {
    for (size_t i = 0; i < kInts; ++i) {
        if (ints_[i] && intValues_[i] == value) {
            return OwnedRef::share(ints_[i].borrow()).release();
        }
    }
    OwnedRef created = OwnedRef::steal(PyLong_FromLong(value));
    if (created) {
        const size_t slot = nextInt_++ % kInts;
        intValues_[slot] = value;
        ints_[slot] = OwnedRef::share(created.borrow());
    }
    return created.release();
}

PyObject* ThreadObjects::newBytes(size_t plane, const char* data, Py_ssize_t size) {
    OwnedRef& cached = planes_[plane % kPlanes];
    if (data != nullptr && refillable(cached, size)) {
        refill(cached.get(), data, size);
        return OwnedRef::share(cached.borrow()).release();
    }
    OwnedRef created = OwnedRef::steal(PyBytes_FromStringAndSize(data, data ? size : 0));
    if (created && size > 1) {
        cached = OwnedRef::share(created.borrow());
    }
    return created.release();
}

void ThreadObjects::clear() {
    for (OwnedRef& object : ints_) {
        object = OwnedRef();
    }
    for (OwnedRef& object : planes_) {
        object = OwnedRef();
    }
}

void ThreadObjects::abandon() {
    for (OwnedRef& object : ints_) {
        object.release();
    }
    for (OwnedRef& object : planes_) {
        object.release();
    }
}

}  // namespace pyv
