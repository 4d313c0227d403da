// The one place where interpreter versions differ. The modules are written
// against 3.15; each shim below backfills an API for older interpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// The member type and flag names without the Py_ prefix are the only ones before 3.12.
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

#if PY_VERSION_HEX < 0x030D0000
// PyObject_GetOptionalAttr is public from 3.13; older versions have the same
// operation under a private name.
static inline int PyObject_GetOptionalAttr(PyObject *obj, PyObject *name, PyObject **result) {
    return _PyObject_LookupAttr(obj, name, result);
}

// PyModule_Add (steal the value, even on failure) is new in 3.13.
static inline int PyModule_Add(PyObject *module, const char *name, PyObject *value) {
    int rc = PyModule_AddObjectRef(module, name, value);
    Py_XDECREF(value);
    return rc;
}

// PyDict_GetItemRef (a strong reference, no borrowed window) is new in 3.13.
static inline int PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result) {
    PyObject *item = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(item);
    if (item != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}
#endif

#if PY_VERSION_HEX < 0x030F0000
// PyUnstable_Unicode_GET_CACHED_HASH is new in 3.15; the field it reads is older.
static inline Py_hash_t PyUnstable_Unicode_GET_CACHED_HASH(PyObject *op) {
    return reinterpret_cast<PyASCIIObject *>(op)->hash;
}
#endif

#if PY_VERSION_HEX < 0x030C0000
// The compact-int accessors are new in 3.12; 3.11 keeps the sign and the
// digit count in ob_size, and a zero's digit may be unset.
static inline int PyUnstable_Long_IsCompact(const PyLongObject *op) {
    return -1 <= Py_SIZE(op) && Py_SIZE(op) <= 1;
}
static inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject *op) {
    return Py_SIZE(op) == 0 ? 0 : Py_SIZE(op) * static_cast<Py_ssize_t>(op->ob_digit[0]);
}
#endif

#if PY_VERSION_HEX < 0x030F0000
// The built-in frozendict is new in 3.15; before, nothing is one.
#define PyFrozenDict_Check(op) 0
#endif

// Method tables store every calling convention under the PyCFunction type; the
// detour through a generic function pointer keeps -Wcast-function-type quiet.
template <typename Function>
inline PyCFunction as_method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
