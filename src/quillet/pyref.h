// Owning reference to a Python object: releases it when the scope ends.
#pragma once

#include "compat.h"

#include <utility>

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (which may be null after a failed call).
    explicit PyRef(PyObject *owned) : obj_(owned) {}
    // Takes a new reference to a borrowed one.
    static PyRef borrow(PyObject *borrowed) { return PyRef(Py_XNewRef(borrowed)); }

    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : obj_(other.release()) {}
    PyRef &operator=(PyRef &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference back to the caller.
    PyObject *release() { return std::exchange(obj_, nullptr); }
    void reset(PyObject *owned = nullptr) { Py_XDECREF(std::exchange(obj_, owned)); }

private:
    PyObject *obj_ = nullptr;
};
