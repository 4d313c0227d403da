// Attribute probes of the utils module and its instance test. (The module
// quillet.utils.attrs has its own header, attrs.hpp; nothing is shared.)
//
// A probe asks only whether an attribute exists: the value found is released
// at once, never tested or called. AttributeError means absent; any other
// exception from the lookup propagates.
#pragma once

#include "func_stuffs.h"

// IS_TRUE if getattr(obj, attr) succeeds, IS_FALSE on AttributeError,
// IS_ERROR with any other exception set.
inline int inner_has_attr(PyObject *obj, PyObject *attr) {
    PyObject *value;
    const int found = PyObject_GetOptionalAttr(obj, attr, &value);
    if (found < 0) {
        return IS_ERROR;
    }
    Py_XDECREF(value);
    return found ? IS_TRUE : IS_FALSE;
}

// A non-class instance whose type gives it an instance dict or member
// descriptors (such as __slots__).
inline bool inner_is_object(PyObject *obj) {
    if (PyType_Check(obj)) {
        return false;
    }
    PyTypeObject *type = Py_TYPE(obj);
    if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || type->tp_dictoffset != 0) {
        return true;
    }
    return type->tp_members != nullptr;
}

inline PyObject *py_is_object(PyObject *, PyObject *obj) {
    return bool_result(inner_is_object(obj));
}

// has_attrs(obj, name, ...): whether obj has every name, stopping at the first
// that is missing. The names go to the lookup unchecked.
inline PyObject *py_has_attrs(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 2) {
        PyErr_SetString(PyExc_TypeError, "has_attrs() requires an object and at least one attr name");
        return nullptr;
    }
    for (Py_ssize_t i = 1; i < nargs; i++) {
        const int state = inner_has_attr(args[0], args[i]);
        if (state != IS_TRUE) {
            return tri_state_result(state);
        }
    }
    Py_RETURN_TRUE;
}
