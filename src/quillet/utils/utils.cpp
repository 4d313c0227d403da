// quillet.utils: hashable holders whose hash is computed once, the 64-bit hash
// combiners, and the module frame (interned strings, pathlib.Path).
//
// Holders of arbitrary objects (HashableValues, CacheKey) take part in the
// cyclic GC. Objects allocated without their initialiser have no hash
// callbacks; every path that would call through them raises TypeError instead.

#include "utils.h"
#include "utils_strs.h"

static PyTypeObject *BasicHashable_Type;
static PyTypeObject *HashableValues_Type;
static PyTypeObject *CacheKey_Type;

// ---------------------------------------------------------------------------
// Immutability handlers, shared by the three types

static int BasicHashable_immutable_setitem(PyObject *self, PyObject *, PyObject *) {
    set_immutable_error(self);
    return -1;
}

static PyObject *BasicHashable_immutable_raise(PyObject *self, PyObject *, PyObject *) {
    set_immutable_error(self);
    return nullptr;
}

static PyGetSetDef hashable_getset[] = {
    {"__frozen__", hashable_get_frozen, nullptr, nullptr, nullptr},
    {"cacheable", hashable_get_cacheable, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// BasicHashable

using BasicHashableObject = HashableObjectHead;

static int BasicHashable_init(PyObject *self, PyObject *, PyObject *) {
    auto *head = reinterpret_cast<BasicHashableObject *>(self);
    head->frozen = true;
    head->cacheable = true;
    return 0;
}

static void BasicHashable_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyMethodDef BasicHashable_methods[] = {
    {"clear", as_method(BasicHashable_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"setdefault", as_method(BasicHashable_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"popitem", as_method(BasicHashable_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"update", as_method(BasicHashable_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"pop", as_method(BasicHashable_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot BasicHashable_slots[] = {
    {Py_tp_init, (void *)BasicHashable_init},
    {Py_tp_dealloc, (void *)BasicHashable_dealloc},
    {Py_tp_methods, BasicHashable_methods},
    {Py_tp_getset, hashable_getset},
    {Py_mp_ass_subscript, (void *)BasicHashable_immutable_setitem},
    {0, nullptr},
};

static PyType_Spec BasicHashable_spec = {
    "quillet.utils.BasicHashable",
    sizeof(BasicHashableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    BasicHashable_slots,
};

// ---------------------------------------------------------------------------
// HashableValues

struct HashableValuesObject : HashableObjectHead {
    HashableValuesList h;
};

static HashableValuesObject *as_values(PyObject *self) {
    return reinterpret_cast<HashableValuesObject *>(self);
}

// XOR of hash(op) and the hashes of the list's items; -1 with an exception set.
static int64_t compute_values_hash(void *ptr) {
    auto *record = static_cast<HashableValuesList *>(static_cast<BaseHashableStruct *>(ptr));
    // __hash__ may re-initialise the holder, so hold what is being hashed.
    PyRef op = PyRef::borrow(record->op);
    PyRef values = PyRef::borrow(record->values);
    int64_t result = 0;
    if (op) {
        result = PyObject_Hash(op.get());
        if (result == -1) {
            return -1;
        }
    }
    if (!values) {
        return result;
    }
    PyRef iterator(PyObject_GetIter(values.get()));
    if (!iterator) {
        return -1;
    }
    while (PyRef item{PyIter_Next(iterator.get())}) {
        const Py_hash_t item_hash = PyObject_Hash(item.get());
        if (item_hash == -1) {
            return -1;
        }
        result ^= item_hash;
    }
    return PyErr_Occurred() ? -1 : result;
}

// Stores the list and companion object and counts them; releases what was held.
static void HashableValues_set_value(HashableValuesObject *self, PyObject *values, PyObject *op) {
    PyObject *old_values = self->h.values, *old_op = self->h.op;
    Py_ssize_t count = 0;
    self->h.op = nullptr;
    if (op != nullptr && op != Py_None) {
        self->h.op = Py_NewRef(op);
        count = 1;
    }
    self->h.values = nullptr;
    if (values != Py_None) {
        self->h.values = Py_NewRef(values);
        count += PyList_GET_SIZE(values);
    }
    self->h.data_size = count;
    Py_XDECREF(old_op);
    Py_XDECREF(old_values);
}

static int HashableValues_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"values", "op", "cacheable", nullptr};
    PyObject *values = Py_None, *op = Py_None;
    int cacheable = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOp", const_cast<char **>(kwlist), &values, &op,
                                     &cacheable)) {
        return -1;
    }
    if (values != Py_None && !PyList_Check(values)) {
        PyErr_SetString(PyExc_TypeError, "values must be a list or None");
        return -1;
    }
    HashableValuesObject *holder = as_values(self);
    holder->frozen = true;
    holder->cacheable = cacheable;
    reset_hash_state(&holder->h, compute_values_hash, 0);
    HashableValues_set_value(holder, values, op);
    return 0;
}

static int HashableValues_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_values(self)->h.values);
    Py_VISIT(as_values(self)->h.op);
    return 0;
}

static int HashableValues_clear(PyObject *self) {
    Py_CLEAR(as_values(self)->h.op);
    Py_CLEAR(as_values(self)->h.values);
    return 0;
}

static void HashableValues_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    HashableValues_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static Py_hash_t HashableValues_hash(PyObject *self) {
    return record_hash(self, &as_values(self)->h);
}

static Py_ssize_t HashableValues_length(PyObject *self) {
    return as_values(self)->h.data_size;
}

static PyObject *HashableValues_new_factory(PyObject *cls, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"item1", "item2", "cacheable", nullptr};
    PyObject *item1, *item2 = Py_None;
    int cacheable = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Op", const_cast<char **>(kwlist), &item1, &item2,
                                     &cacheable)) {
        return nullptr;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    if (!PyObject_TypeCheck(item1, type)) {
        PyErr_SetString(PyExc_TypeError, "item1 must be a HashableValues");
        return nullptr;
    }
    if (item2 != Py_None && !PyObject_TypeCheck(item2, type)) {
        PyErr_SetString(PyExc_TypeError, "item2 must be a HashableValues or None");
        return nullptr;
    }
    PyRef result(type->tp_alloc(type, 0));
    if (!result) {
        return nullptr;
    }
    HashableValuesObject *holder = as_values(result.get());
    holder->frozen = true;
    holder->cacheable = cacheable;
    holder->h.get_hash = get_cached_hash;
    holder->h.hasher = compute_values_hash;

    const int64_t hash1 = record_hash(item1, &as_values(item1)->h);
    if (hash1 == -1) {
        return nullptr;
    }
    int64_t hash = hash1;
    Py_ssize_t size = as_values(item1)->h.data_size;
    if (item2 != Py_None) {
        const int64_t hash2 = record_hash(item2, &as_values(item2)->h);
        if (hash2 == -1) {
            return nullptr;
        }
        hash ^= hash2;
        size += as_values(item2)->h.data_size;
    }
    holder->h.cached_hash = normalized_hash(hash);
    holder->h.data_size = size;
    return result.release();
}

static PyObject *HashableValues_combine(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *other;
    if (!PyArg_ParseTuple(args, "O", &other)) {
        return nullptr;
    }
    PyRef pair(PyTuple_Pack(2, self, other));
    if (!pair) {
        return nullptr;
    }
    return HashableValues_new_factory(reinterpret_cast<PyObject *>(Py_TYPE(self)), pair.get(), kwargs);
}

static PyMethodDef HashableValues_methods[] = {
    {"new", as_method(HashableValues_new_factory), METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {"combine", as_method(HashableValues_combine), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot HashableValues_slots[] = {
    {Py_tp_init, (void *)HashableValues_init},
    {Py_tp_dealloc, (void *)HashableValues_dealloc},
    {Py_tp_traverse, (void *)HashableValues_traverse},
    {Py_tp_clear, (void *)HashableValues_clear},
    {Py_tp_hash, (void *)HashableValues_hash},
    {Py_sq_length, (void *)HashableValues_length},
    {Py_mp_length, (void *)HashableValues_length},
    {Py_mp_ass_subscript, (void *)BasicHashable_immutable_setitem},
    {Py_tp_methods, HashableValues_methods},
    {Py_tp_getset, hashable_getset},
    {0, nullptr},
};

static PyType_Spec HashableValues_spec = {
    "quillet.utils.HashableValues",
    sizeof(HashableValuesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    HashableValues_slots,
};

// ---------------------------------------------------------------------------
// CacheKey

struct CacheKeyObject : HashableObjectHead {
    HashableCacheKey h;
};

static CacheKeyObject *as_cache_key(PyObject *self) {
    return reinterpret_cast<CacheKeyObject *>(self);
}

static void CacheKey_set_values(CacheKeyObject *key, PyObject *v1, PyObject *v2) {
    PyObject *old1 = key->h.value1, *old2 = key->h.value2;
    key->frozen = true;
    key->cacheable = true;
    reset_hash_state(&key->h, compute_cache_key_hash, 2);
    key->h.value1 = Py_NewRef(v1);
    key->h.value2 = Py_NewRef(v2);
    Py_XDECREF(old1);
    Py_XDECREF(old2);
}

static int CacheKey_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"v1", "v2", nullptr};
    PyObject *v1, *v2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char **>(kwlist), &v1, &v2)) {
        return -1;
    }
    CacheKey_set_values(as_cache_key(self), v1, v2);
    return 0;
}

static int CacheKey_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_cache_key(self)->h.value1);
    Py_VISIT(as_cache_key(self)->h.value2);
    return 0;
}

static int CacheKey_clear(PyObject *self) {
    Py_CLEAR(as_cache_key(self)->h.value1);
    Py_CLEAR(as_cache_key(self)->h.value2);
    return 0;
}

static void CacheKey_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CacheKey_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static Py_hash_t CacheKey_hash(PyObject *self) {
    return record_hash(self, &as_cache_key(self)->h);
}

// A key allocated without its initialiser holds no values to compare.
static bool cache_key_ready(PyObject *key) {
    if (as_cache_key(key)->h.get_hash != nullptr) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s object is not initialised", Py_TYPE(key)->tp_name);
    return false;
}

static PyObject *CacheKey_richcompare(PyObject *self, PyObject *other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    int equal = 0;
    if (PyObject_TypeCheck(other, Py_TYPE(self))) {
        if (!cache_key_ready(self) || !cache_key_ready(other)) {
            return nullptr;
        }
        equal = CacheKey_EQ(&as_cache_key(self)->h, &as_cache_key(other)->h);
        if (equal < 0) {
            return nullptr;
        }
    }
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

static PyType_Slot CacheKey_slots[] = {
    {Py_tp_init, (void *)CacheKey_init},
    {Py_tp_dealloc, (void *)CacheKey_dealloc},
    {Py_tp_traverse, (void *)CacheKey_traverse},
    {Py_tp_clear, (void *)CacheKey_clear},
    {Py_tp_hash, (void *)CacheKey_hash},
    {Py_tp_richcompare, (void *)CacheKey_richcompare},
    {Py_mp_ass_subscript, (void *)BasicHashable_immutable_setitem},
    {Py_tp_getset, hashable_getset},
    {0, nullptr},
};

static PyType_Spec CacheKey_spec = {
    "quillet.utils.CacheKey",
    sizeof(CacheKeyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    CacheKey_slots,
};

// Builds the key directly unless CacheKey's construction was replaced from
// Python, in which case the type is called as usual.
static PyObject *py_get_cache_key(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "get_cache_key() takes exactly 2 arguments");
        return nullptr;
    }
    PyTypeObject *type = CacheKey_Type;
    if (type->tp_init != CacheKey_init || type->tp_new != PyBaseObject_Type.tp_new) {
        return PyObject_Vectorcall(reinterpret_cast<PyObject *>(type), args, 2, nullptr);
    }
    PyObject *key = type->tp_alloc(type, 0);
    if (key != nullptr) {
        CacheKey_set_values(as_cache_key(key), args[0], args[1]);
    }
    return key;
}

// ---------------------------------------------------------------------------
// Hash combiners exposed to Python

static PyObject *py_two_obj_hash(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "two_obj_hash() requires exactly three arguments");
        return nullptr;
    }
    const long long current = PyLong_AsLongLong(args[2]);
    if (current == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    const Py_hash_t hash_a = PyObject_Hash(args[0]);
    if (hash_a == -1) {
        return nullptr;
    }
    const Py_hash_t hash_b = PyObject_Hash(args[1]);
    if (hash_b == -1) {
        return nullptr;
    }
    return PyLong_FromLongLong(XOR_Combine(hash_a, hash_b, current));
}

static PyObject *py_alt_two_obj_hash(PyObject *, PyObject *args) {
    PyObject *a, *b;
    long current;
    if (!PyArg_ParseTuple(args, "OOl", &a, &b, &current)) {
        return nullptr;
    }
    const Py_hash_t hash_a = PyObject_Hash(a);
    if (hash_a == -1) {
        return nullptr;
    }
    const Py_hash_t hash_b = PyObject_Hash(b);
    if (hash_b == -1) {
        return nullptr;
    }
    return PyLong_FromLongLong(Alt_XOR_Combine(hash_a, hash_b, current));
}

static PyObject *py_py_xor_hash(PyObject *, PyObject *args) {
    long a, b, current;
    if (!PyArg_ParseTuple(args, "lll", &a, &b, &current)) {
        return nullptr;
    }
    return PyLong_FromLongLong(XOR_Combine(a, b, current));
}

static PyObject *py_alt_py_xor_hash(PyObject *, PyObject *args) {
    long a, b, current;
    if (!PyArg_ParseTuple(args, "lll", &a, &b, &current)) {
        return nullptr;
    }
    return PyLong_FromLongLong(Alt_XOR_Combine(a, b, current));
}

// ---------------------------------------------------------------------------
// Module

static PyMethodDef utils_methods[] = {
    {"get_cache_key", as_method(py_get_cache_key), METH_FASTCALL, nullptr},
    {"two_obj_hash", as_method(py_two_obj_hash), METH_FASTCALL, nullptr},
    {"xor_hash", as_method(py_py_xor_hash), METH_VARARGS, nullptr},
    {"alt_two_obj_hash", as_method(py_alt_two_obj_hash), METH_VARARGS, nullptr},
    {"alt_xor_hash", as_method(py_alt_py_xor_hash), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static void mod_free(void *) {
    Py_CLEAR(g_PathType);
    string_cleanup();
}

static PyModuleDef utils_module = {
    PyModuleDef_HEAD_INIT,
    "utils",
    "quillet.utils \u2014 predicates, hashables, and dict utilities. Raw C.",
    -1,
    utils_methods,
    nullptr,
    nullptr,
    nullptr,
    mod_free,
};

static int load_path_type() {
    PyRef pathlib(PyImport_ImportModule(_PY_STR[PY_STR_PATHLIB].c_str));
    if (!pathlib) {
        return -1;
    }
    g_PathType = PyObject_GetAttr(pathlib.get(), py_str(PY_STR_PATH));
    return g_PathType == nullptr ? -1 : 0;
}

static int create_types() {
    BasicHashable_Type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&BasicHashable_spec));
    if (BasicHashable_Type == nullptr) {
        return -1;
    }
    PyRef bases(PyTuple_Pack(1, BasicHashable_Type));
    if (!bases) {
        return -1;
    }
    HashableValues_Type =
        reinterpret_cast<PyTypeObject *>(PyType_FromSpecWithBases(&HashableValues_spec, bases.get()));
    if (HashableValues_Type == nullptr) {
        return -1;
    }
    CacheKey_Type = reinterpret_cast<PyTypeObject *>(PyType_FromSpecWithBases(&CacheKey_spec, bases.get()));
    return CacheKey_Type == nullptr ? -1 : 0;
}

static int add_types(PyObject *module) {
    if (PyModule_AddObjectRef(module, "BasicHashable", reinterpret_cast<PyObject *>(BasicHashable_Type)) < 0 ||
        PyModule_AddObjectRef(module, "HashableValues", reinterpret_cast<PyObject *>(HashableValues_Type)) < 0 ||
        PyModule_AddObjectRef(module, "CacheKey", reinterpret_cast<PyObject *>(CacheKey_Type)) < 0) {
        return -1;
    }
    return 0;
}

static PyObject *make_not_cacheable() {
    PyRef args(PyTuple_New(0));
    if (!args) {
        return nullptr;
    }
    PyRef kwargs(Py_BuildValue("{s:O,s:O,s:O}", "values", Py_None, "op", Py_None, "cacheable", Py_False));
    if (!kwargs) {
        return nullptr;
    }
    return PyObject_Call(reinterpret_cast<PyObject *>(HashableValues_Type), args.get(), kwargs.get());
}

PyMODINIT_FUNC PyInit_utils() {
    PyRef module(PyModule_Create2(&utils_module, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
    if (intern_strings() < 0 || load_path_type() < 0 || create_types() < 0 || add_types(module.get()) < 0 ||
        PyModule_Add(module.get(), "NOT_CACHEABLE", make_not_cacheable()) < 0) {
        return nullptr;
    }
    return module.release();
}
