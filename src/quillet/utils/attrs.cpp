// quillet.utils.attrs: does an object, or a type, have every attribute named
// in a tuple (a shape)? Each answer is computed once by real lookups and kept
// in g_cache under (type, shape tuple), compared by identity; a class object's
// own answer is kept apart from the one for its instances.
//
// Identity keys are only sound while the objects live, so every stored entry
// owns a reference to its type and its shape; cache_clear() drops them. That
// pins at most 64 pairs: a full cache stores, and holds, nothing more. The
// last hit is remembered in front of the cache, for as long as its entry. A
// probe runs arbitrary Python code that may call back into this module,
// cache_clear() included: no position in the cache is held across a probe,
// and the cache is consistent before any reference is released.

#include "attrs.hpp"

#include "../pyref.h"

#include <array>
#include <new>

namespace quillet::attrs {

ReturnValue cpp_has_attr(PyObject *obj, PyObject *name) {
    PyObject *found = nullptr;
    const int r = PyObject_GetOptionalAttr(obj, name, &found);
    Py_XDECREF(found);
    if (r < 0) {
        return ReturnValue::IS_ERROR;
    }
    return r == 0 ? ReturnValue::IS_FALSE : ReturnValue::IS_TRUE;
}

ReturnValue cpp_has_attr_type(PyObject *obj, PyObject *shape) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i) {
        // Borrowed from the tuple; the lookup runs Python code.
        const PyRef name = PyRef::borrow(PyTuple_GET_ITEM(shape, i));
        const ReturnValue r = cpp_has_attr(obj, name.get());
        if (r != ReturnValue::IS_TRUE) {
            return r;
        }
    }
    return ReturnValue::IS_TRUE;
}

// ---------------------------------------------------------------------------
// The cache

// The pair of the last hit and its answer in the cache, which is read back
// without hashing. Only ever a stored pair, whose entry pins both objects, so
// no freed type or tuple can reappear at its address while it is remembered;
// forgotten whenever entries are dropped.
struct LastHit {
    ShapeCheckKey key;
    const bool *answer = nullptr;
};

static LastHit g_last_hit;

// Files an answer. A new entry takes its two references; an entry stored
// meanwhile by a re-entrant call keeps its references and gets the answer; a
// full cache stores nothing. Runs no Python code.
static void cache_store(const ShapeCheckKey &key, bool answer) {
    try {
        if (g_cache.insert(key, answer)) {
            Py_INCREF(key.type);
            Py_INCREF(key.shape);
        }
    } catch (const std::bad_alloc &) {
        // Table growth failed and nothing was stored: the answer stands uncached.
    }
}

// The answer from the cache, or from a probe that files it. Kept out of
// line, so that a repeated hit does not pay for this function's frame.
[[gnu::noinline]] static PyObject *cached_or_probed_check(PyObject *target,
                                                          PyTypeObject *type,
                                                          PyObject *shape,
                                                          bool class_itself) {
    const ShapeCheckKey key{type, shape, class_itself};
    if (const bool *answer = g_cache.get(key)) {
        g_last_hit = LastHit{key, answer};
        return PyBool_FromLong(*answer);
    }
    // The probe may reassign target.__class__ and drop the last other
    // reference to the type the key names; keep it alive until filed.
    const PyRef held = PyRef::borrow(reinterpret_cast<PyObject *>(key.type));
    const ReturnValue r = cpp_has_attr_type(target, key.shape);
    if (r == ReturnValue::IS_ERROR) {
        return nullptr;
    }
    cache_store(key, r == ReturnValue::IS_TRUE);
    return PyBool_FromLong(r == ReturnValue::IS_TRUE);
}

// target: what the probe runs on; the rest: the key the answer is filed under.
static PyObject *cached_check(PyObject *target, PyTypeObject *type, PyObject *shape, bool class_itself) {
    if (ShapeCheckKey{type, shape, class_itself} == g_last_hit.key) {
        return Py_NewRef(*g_last_hit.answer ? Py_True : Py_False);
    }
    return cached_or_probed_check(target, type, shape, class_itself);
}

// ---------------------------------------------------------------------------
// Module functions

static PyObject *py_attr_check(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "attr_check() requires (obj, shape_tuple)");
        return nullptr;
    }
    if (!PyTuple_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "attr_check() shape must be a tuple");
        return nullptr;
    }
    // A class answers for itself, apart from its instances and from every
    // other class; an instance answers under its type, as type_attr_check does.
    PyObject *obj = args[0];
    const bool is_class = PyType_Check(obj);
    PyTypeObject *type = is_class ? reinterpret_cast<PyTypeObject *>(obj) : Py_TYPE(obj);
    return cached_check(obj, type, args[1], is_class);
}

static PyObject *py_type_attr_check(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "type_attr_check() requires (type, shape_tuple)");
        return nullptr;
    }
    if (!PyType_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "type_attr_check() first arg must be a type");
        return nullptr;
    }
    if (!PyTuple_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "type_attr_check() shape must be a tuple");
        return nullptr;
    }
    return cached_check(args[0], reinterpret_cast<PyTypeObject *>(args[0]), args[1], false);
}

static PyObject *py_attrs_cache_clear(PyObject *, PyObject *) {
    // Releasing a reference can free a type or a tuple and run arbitrary code
    // that uses the cache again, so the cache is emptied first.
    std::array<PyObject *, 2 * CACHE_CAPACITY> owned;
    std::size_t n = 0;
    for (const auto entry : g_cache) {
        owned[n++] = reinterpret_cast<PyObject *>(entry.first.type);
        owned[n++] = entry.first.shape;
    }
    g_cache.clear();
    g_last_hit = LastHit{};
    for (std::size_t i = 0; i < n; ++i) {
        Py_DECREF(owned[i]);
    }
    Py_RETURN_NONE;
}

static PyObject *py_attrs_cache_size(PyObject *, PyObject *) {
    return PyLong_FromSize_t(g_cache.size());
}

// ---------------------------------------------------------------------------
// Module

static PyMethodDef attrs_methods[] = {
    {"attr_check", as_method(py_attr_check), METH_FASTCALL, nullptr},
    {"type_attr_check", as_method(py_type_attr_check), METH_FASTCALL, nullptr},
    {"cache_clear", as_method(py_attrs_cache_clear), METH_NOARGS, nullptr},
    {"cache_size", as_method(py_attrs_cache_size), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef attrs_module = {
    PyModuleDef_HEAD_INIT,
    "attrs",
    "quillet.utils.attrs \u2014 structural attr check with a (type, shape) cache.",
    -1,
    attrs_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace quillet::attrs

PyMODINIT_FUNC PyInit_attrs() {
    return PyModule_Create2(&quillet::attrs::attrs_module, PYTHON_API_VERSION);
}
