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

// A module's init can run more than once per process (a retried import, the
// same file loaded under another name, a sub-interpreter), and the calls that
// build its state can run Python code that starts another init meanwhile. So
// process-wide state is made only while missing, and the first copy stored
// wins: returns 0 once `slot` is set, or -1 with an exception set when `made`
// is null.
template <typename T>
int keep_first(T *&slot, PyObject *made) {
    if (made == nullptr) {
        return -1;
    }
    if (slot == nullptr) {
        slot = reinterpret_cast<T *>(made);
    } else {
        Py_DECREF(made);
    }
    return 0;
}

// The heap type described by `layout` (with `bases`, or null for object), once
// per process.
inline int create_type_once(PyTypeObject *&type, PyType_Spec *layout, PyObject *bases) {
    return type != nullptr ? 0 : keep_first(type, PyType_FromSpecWithBases(layout, bases));
}

// Process-wide state made by a sub-interpreter would outlive that interpreter,
// so only the main one makes it (newer interpreters run every init there
// anyway): -1 with ImportError elsewhere.
inline int require_main_interpreter(const char *module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        return 0;
    }
    PyErr_Format(PyExc_ImportError, "%s must be imported by the main interpreter before any subinterpreter", module);
    return -1;
}
