// Kind and truth predicates of the utils module, and the nested-dict walk.
//
// Kinds are decided from the type's fast subclass flags, identity with a
// built-in type or the subtype test, never through isinstance hooks, so the
// kind predicates run no Python code and cannot fail. Results are the shared
// True/False singletons.
#pragma once

#include "../compat.h"
#include "../constants.h"
#include "../pyref.h"

inline PyObject *bool_result(bool value) {
    if (value) {
        Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

// True/False for IS_TRUE/IS_FALSE; null (exception pending) for IS_ERROR.
inline PyObject *tri_state_result(int state) {
    if (state == IS_ERROR) {
        return nullptr;
    }
    return bool_result(state == IS_TRUE);
}

// True/False by the object's truth value; null with the exception set when
// __bool__/__len__ fails.
inline PyObject *TisTruthy(PyObject *obj) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
        return nullptr;
    }
    return bool_result(truth);
}

inline bool obj_is_primitive(PyObject *obj) {
    constexpr unsigned long scalar_flags =
        Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS;
    return obj == Py_None || Py_IS_TYPE(obj, &PyBool_Type) || (Py_TYPE(obj)->tp_flags & scalar_flags) != 0 ||
           PyFloat_Check(obj);
}

// bool is the one int subtype that does not count as an int.
inline PyObject *py_is_int(PyObject *, PyObject *obj) {
    return bool_result(PyLong_Check(obj) && !Py_IS_TYPE(obj, &PyBool_Type));
}

inline PyObject *py_is_truthy(PyObject *, PyObject *obj) {
    return TisTruthy(obj);
}

inline PyObject *py_is_falsy(PyObject *, PyObject *obj) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
        return nullptr;
    }
    return bool_result(!truth);
}

// Whether a dict sits anywhere below obj, looking through the values of a
// top-level dict and through lists and tuples at any depth; other objects are
// leaves. Everything visited is held through the snapshot or the iterator, so
// an overriding __iter__ may mutate the containers without harm.
inline int has_nested_dicts_inner(PyObject *obj, int depth) {
    PyRef source;
    if (PyDict_Check(obj)) {
        if (depth > 0) {
            return IS_TRUE;
        }
        source = PyRef(PyDict_Values(obj));
        if (!source) {
            return IS_ERROR;
        }
    } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
        source = PyRef::borrow(obj);
    } else {
        return IS_FALSE;
    }
    PyRef iterator(PyObject_GetIter(source.get()));
    source.reset();
    if (!iterator) {
        return IS_ERROR;
    }
    // Lists and tuples can contain themselves.
    if (Py_EnterRecursiveCall(" in has_nested_dicts")) {
        return IS_ERROR;
    }
    int state = IS_FALSE;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        state = has_nested_dicts_inner(item.get(), depth + 1);
        if (state != IS_FALSE) {
            break;
        }
    }
    Py_LeaveRecursiveCall();
    if (state == IS_FALSE && PyErr_Occurred()) {
        return IS_ERROR;
    }
    return state;
}
