// Owning and borrowing wrappers for PyObject*. Business logic never counts references by hand:
// an OwnedRef gives its reference back when it goes away, a BorrowedRef never does.
// Both may only be created, copied or destroyed by a thread that holds the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pyv {

class BorrowedRef {
  public:
    BorrowedRef() = default;
    explicit BorrowedRef(PyObject* object) : object_(object) {}
    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

class OwnedRef {
  public:
    OwnedRef() = default;
    // Takes over a new reference (the result of a call that returns one); null stays empty.
    static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
    // Adds a reference of its own to a borrowed object.
    static OwnedRef share(BorrowedRef object) {
        Py_XINCREF(object.get());
        return OwnedRef(object.get());
    }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef old(std::exchange(object_, other.release()));
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    BorrowedRef borrow() const { return BorrowedRef(object_); }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller, e.g. as a function's result.
    PyObject* release() { return std::exchange(object_, nullptr); }

  private:
    explicit OwnedRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace pyv
