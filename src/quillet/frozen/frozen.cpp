// quillet.frozen: FrozenDict, an immutable mapping with a compute-once,
// order-independent hash; the recursive freeze(); the null mapping
// NullFrozenDict and the constants around the null key.
//
// A FrozenDict owns a private dict that no caller can reach: lookups go to it
// directly, and keys()/values()/items() hand out fresh lists copied from
// private tuple snapshots. An instance whose private dict is null (allocated
// without its initialiser, or cleared by the GC) refuses every operation that
// reads content with TypeError.

#include "../utils/utils.h"

static PyTypeObject *FrozenDict_Type;
static PyTypeObject *NullFrozenDict_Type;
static PyObject *BasicHashable_TypeRef;
static PyObject *NULL_KEY_OBJ;
static PyObject *NULL_TUPLE_OBJ;
static PyObject *NONE_TUPLE_OBJ;
static PyObject *NONE_ITEMS_TUPLE_OBJ;
static PyObject *NULL_FROZEN_DICT_OBJ;
static PyObject *FREEZE_FUNC;  // the module's freeze(), to rebuild pickled null mappings

// True when BasicHashable is a plain class, so that the instance test of
// freeze() can be skipped for exact built-in types, whose class cannot lie.
static bool g_builtin_fast_path;

static PyObject *c_freeze(PyObject *obj);

// ---------------------------------------------------------------------------
// FrozenDict

struct FrozenDictObject : HashableObjectHead {
    HashableDict h;
    PyObject *keys_cache;    // tuple snapshots of the private dict, made on first need
    PyObject *values_cache;
    PyObject *items_cache;
};

static FrozenDictObject *as_frozen_dict(PyObject *self) {
    return reinterpret_cast<FrozenDictObject *>(self);
}

// False with TypeError set when the object has no content to read.
static bool frozen_dict_ready(PyObject *self) {
    if (as_frozen_dict(self)->h.data != nullptr) {
        return true;
    }
    set_not_initialised_error(self);
    return false;
}

// Makes `data` (a new reference, stolen) the object's content with an
// uncomputed hash and no snapshots.
static void FrozenDict_take_data(FrozenDictObject *self, PyObject *data, Py_ssize_t data_size, bool cacheable) {
    PyObject *old_data = self->h.data, *old_keys = self->keys_cache;
    PyObject *old_values = self->values_cache, *old_items = self->items_cache;
    self->frozen = true;
    self->cacheable = cacheable;
    reset_hash_state(&self->h, compute_dict_hash, data_size);
    self->h.data = data;
    self->keys_cache = self->values_cache = self->items_cache = nullptr;
    // Released last: their finalisers may run code that looks at this object.
    Py_XDECREF(old_data);
    Py_XDECREF(old_keys);
    Py_XDECREF(old_values);
    Py_XDECREF(old_items);
}

// A plain dict with the entries of a dict subclass, read from its storage so
// that overridden methods are not consulted.
static PyObject *copy_dict_storage(PyObject *dict) {
    PyRef copy(PyDict_New());
    if (!copy) {
        return nullptr;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        // A key's __hash__ may run code that changes the source dict.
        PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
        if (PyDict_SetItem(copy.get(), key, value) < 0) {
            return nullptr;
        }
        if (PyDict_GET_SIZE(dict) != size) {
            return dict_changed_error();
        }
    }
    return copy.release();
}

// Exact types whose values freeze() returns unchanged and whose __class__
// cannot lie.
static bool freezes_to_itself(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || obj == Py_None ||
           type == &PyBool_Type || type == &PyBytes_Type || type == &PyFrozenSet_Type ||
           type == FrozenDict_Type || type == NullFrozenDict_Type;
}

// Replaces every value of a private dict by its frozen form; -1 with an
// exception set.
static int freeze_values_in_place(PyObject *dict) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (g_builtin_fast_path && freezes_to_itself(value)) {
            continue;
        }
        PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
        PyRef frozen(c_freeze(value));
        if (!frozen) {
            return -1;
        }
        if (frozen.get() == value) {
            continue;
        }
        if (PyDict_SetItem(dict, key, frozen.get()) < 0) {
            return -1;
        }
        // Only a key whose hash changed can add an entry here.
        if (PyDict_GET_SIZE(dict) != size) {
            dict_changed_error();
            return -1;
        }
    }
    return 0;
}

// New private dict with the keys of `dict` and its values frozen.
static PyObject *frozen_copy_of_dict(PyObject *dict) {
    PyRef copy(PyDict_CheckExact(dict) ? PyDict_Copy(dict) : copy_dict_storage(dict));
    if (!copy || freeze_values_in_place(copy.get()) < 0) {
        return nullptr;
    }
    return copy.release();
}

static PyObject *pairs_error() {
    PyErr_SetString(PyExc_ValueError, "FrozenDict expects iterable of (k,v) pairs");
    return nullptr;
}

// The item as a (key, value) tuple; null with ValueError for anything that is
// not an ordered 2-sequence. Indexing with 0 first rejects unordered
// containers such as a 2-element set.
static PyObject *item_as_pair(PyObject *item) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        return Py_NewRef(item);
    }
    if (!PyList_CheckExact(item)) {
        PyRef zero(PyLong_FromLong(0));
        if (!zero) {
            return nullptr;
        }
        PyRef first(PyObject_GetItem(item, zero.get()));
        if (!first) {
            PyErr_Clear();
            return pairs_error();
        }
    }
    PyRef pair(PySequence_Tuple(item));
    if (!pair || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_Clear();
        return pairs_error();
    }
    return pair.release();
}

// New private dict from an iterable of pairs; later pairs replace earlier ones.
static PyObject *frozen_dict_from_pairs(PyObject *iterable) {
    PyRef iterator(PyObject_GetIter(iterable));
    if (!iterator) {
        return nullptr;
    }
    PyRef data(PyDict_New());
    if (!data) {
        return nullptr;
    }
    while (PyRef item{PyIter_Next(iterator.get())}) {
        PyRef pair(item_as_pair(item.get()));
        if (!pair) {
            return nullptr;
        }
        PyObject *key = PyTuple_GET_ITEM(pair.get(), 0);  // borrowed; the pair holds both
        PyRef frozen(c_freeze(PyTuple_GET_ITEM(pair.get(), 1)));
        if (!frozen || PyDict_SetItem(data.get(), key, frozen.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return data.release();
}

// The private dict for the constructor's `data` argument.
static PyObject *frozen_content(PyObject *data) {
    if (data == Py_None) {
        return PyDict_New();
    }
    if (PyDict_Check(data)) {
        return frozen_copy_of_dict(data);
    }
    return frozen_dict_from_pairs(data);
}

// Reads the one optional argument `data`; the parser runs only for unusual
// calls, so that its messages stay the interpreter's own.
static bool parse_data_argument(PyObject *args, PyObject *kwargs, PyObject **data) {
    *data = Py_None;
    if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && PyTuple_GET_SIZE(args) <= 1) {
        if (PyTuple_GET_SIZE(args) == 1) {
            *data = PyTuple_GET_ITEM(args, 0);
        }
        return true;
    }
    static const char *kwlist[] = {"data", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char **>(kwlist), data);
}

static int FrozenDict_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *data;
    if (!parse_data_argument(args, kwargs, &data)) {
        return -1;
    }
    PyObject *content = frozen_content(data);
    if (content == nullptr) {
        return -1;
    }
    FrozenDict_take_data(as_frozen_dict(self), content, PyDict_GET_SIZE(content), true);
    return 0;
}

static int FrozenDict_traverse(PyObject *self, visitproc visit, void *arg) {
    FrozenDictObject *fd = as_frozen_dict(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fd->h.data);
    Py_VISIT(fd->keys_cache);
    Py_VISIT(fd->values_cache);
    Py_VISIT(fd->items_cache);
    return 0;
}

static int FrozenDict_clear(PyObject *self) {
    FrozenDictObject *fd = as_frozen_dict(self);
    fd->h.data_size = 0;
    Py_CLEAR(fd->h.data);
    Py_CLEAR(fd->keys_cache);
    Py_CLEAR(fd->values_cache);
    Py_CLEAR(fd->items_cache);
    return 0;
}

static void FrozenDict_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FrozenDict_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static Py_hash_t FrozenDict_hash(PyObject *self) {
    if (!frozen_dict_ready(self)) {
        return -1;
    }
    BaseHashableStruct *record = &as_frozen_dict(self)->h;
    return record->get_hash(record);
}

static PyObject *FrozenDict_richcompare(PyObject *self, PyObject *other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    int equal = IS_FALSE;
    // The real type, never __class__: only a FrozenDict has a record to read.
    if (PyObject_TypeCheck(other, FrozenDict_Type)) {
        if (!frozen_dict_ready(self) || !frozen_dict_ready(other)) {
            return nullptr;
        }
        equal = Dict_EQ(&as_frozen_dict(self)->h, &as_frozen_dict(other)->h);
        if (equal == IS_ERROR) {
            return nullptr;
        }
    }
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// Looks `key` up in the private dict: IS_TRUE with a new reference in *value,
// IS_FALSE, or IS_ERROR.
static int frozen_dict_lookup(PyObject *self, PyObject *key, PyObject **value) {
    *value = nullptr;
    if (!frozen_dict_ready(self)) {
        return IS_ERROR;
    }
    // The key's __eq__ may re-initialise self, so hold the dict being searched.
    PyRef data = PyRef::borrow(as_frozen_dict(self)->h.data);
    return PyDict_GetItemRef(data.get(), key, value);
}

static PyObject *FrozenDict_getitem(PyObject *self, PyObject *key) {
    PyObject *value;
    if (frozen_dict_lookup(self, key, &value) == IS_FALSE) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return value;
}

static int FrozenDict_contains(PyObject *self, PyObject *key) {
    if (!frozen_dict_ready(self)) {
        return IS_ERROR;
    }
    PyRef data = PyRef::borrow(as_frozen_dict(self)->h.data);
    return PyDict_Contains(data.get(), key);
}

static Py_ssize_t FrozenDict_length(PyObject *self) {
    return as_frozen_dict(self)->h.data_size;
}

static bool check_get_arity(Py_ssize_t nargs) {
    if (nargs == 1 || nargs == 2) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "FrozenDict.get() takes 1 or 2 arguments");
    return false;
}

static PyObject *FrozenDict_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_get_arity(nargs)) {
        return nullptr;
    }
    PyObject *value;
    const int found = frozen_dict_lookup(self, args[0], &value);
    if (found == IS_FALSE) {
        return Py_NewRef(nargs == 2 ? args[1] : Py_None);
    }
    return value;
}

enum class Snapshot { KEYS, VALUES, ITEMS };

// Tuple of the keys, values or (key, value) pairs of a private dict.
static PyObject *build_snapshot(PyObject *data, Snapshot kind) {
    const Py_ssize_t size = PyDict_GET_SIZE(data);
    PyRef result(PyTuple_New(size));
    if (!result) {
        return nullptr;
    }
    Py_ssize_t pos = 0, index = 0;
    PyObject *key, *value;
    while (index < size && PyDict_Next(data, &pos, &key, &value)) {
        PyObject *entry = kind == Snapshot::KEYS     ? Py_NewRef(key)
                          : kind == Snapshot::VALUES ? Py_NewRef(value)
                                                     : PyTuple_Pack(2, key, value);
        if (entry == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), index++, entry);
    }
    // The dict is private, but a finaliser run by an allocation could still
    // reach it through gc.get_referents(); never hand out a partial tuple.
    if (index != size || PyDict_GET_SIZE(data) != size) {
        return dict_changed_error();
    }
    return result.release();
}

// The cached snapshot in *field, made on first need; a new reference.
static PyObject *frozen_dict_snapshot(PyObject *self, PyObject **field, Snapshot kind) {
    if (*field != nullptr) {
        return Py_NewRef(*field);
    }
    if (!frozen_dict_ready(self)) {
        return nullptr;
    }
    PyRef data = PyRef::borrow(as_frozen_dict(self)->h.data);
    PyObject *snapshot = build_snapshot(data.get(), kind);
    // Stored only if no finaliser re-initialised self meanwhile.
    if (snapshot != nullptr && *field == nullptr && as_frozen_dict(self)->h.data == data.get()) {
        *field = Py_NewRef(snapshot);
    }
    return snapshot;
}

// A list the caller owns, copied from a private snapshot.
static PyObject *frozen_dict_list(PyObject *self, PyObject **field, Snapshot kind) {
    PyRef snapshot(frozen_dict_snapshot(self, field, kind));
    return snapshot ? PySequence_List(snapshot.get()) : nullptr;
}

static PyObject *FrozenDict_keys(PyObject *self, PyObject *) {
    return frozen_dict_list(self, &as_frozen_dict(self)->keys_cache, Snapshot::KEYS);
}

static PyObject *FrozenDict_values(PyObject *self, PyObject *) {
    return frozen_dict_list(self, &as_frozen_dict(self)->values_cache, Snapshot::VALUES);
}

static PyObject *FrozenDict_items(PyObject *self, PyObject *) {
    return frozen_dict_list(self, &as_frozen_dict(self)->items_cache, Snapshot::ITEMS);
}

static PyObject *FrozenDict_iter(PyObject *self) {
    PyRef keys(frozen_dict_snapshot(self, &as_frozen_dict(self)->keys_cache, Snapshot::KEYS));
    return keys ? PyObject_GetIter(keys.get()) : nullptr;
}

static PyObject *FrozenDict_get_hash(PyObject *self, PyObject *) {
    const Py_hash_t hash = FrozenDict_hash(self);
    return hash == -1 ? nullptr : PyLong_FromSsize_t(hash);
}

// The type's name after its last dot.
static const char *short_type_name(PyObject *self) {
    const char *name = Py_TYPE(self)->tp_name;
    const char *dot = strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

static PyObject *FrozenDict_repr(PyObject *self) {
    if (!frozen_dict_ready(self)) {
        return nullptr;
    }
    PyRef data = PyRef::borrow(as_frozen_dict(self)->h.data);
    return PyUnicode_FromFormat("%s(%R)", short_type_name(self), data.get());
}

static PyObject *FrozenDict_get_data_size(PyObject *self, void *) {
    return PyLong_FromSsize_t(as_frozen_dict(self)->h.data_size);
}

static int FrozenDict_immutable_setitem(PyObject *self, PyObject *, PyObject *) {
    set_immutable_error(self);
    return -1;
}

static PyObject *FrozenDict_immutable_raise(PyObject *self, PyObject *, PyObject *) {
    set_immutable_error(self);
    return nullptr;
}

// Pickles and copies as the class called with the (key, value) pairs in
// order; the values are already frozen, and freezing them again keeps them.
static PyObject *FrozenDict_reduce(PyObject *self, PyObject *) {
    PyRef items(frozen_dict_snapshot(self, &as_frozen_dict(self)->items_cache, Snapshot::ITEMS));
    PyRef args(items ? PyTuple_Pack(1, items.get()) : nullptr);
    return args ? reduce_to_constructor(self, FrozenDict_Type, args.get()) : nullptr;
}

static PyMethodDef FrozenDict_methods[] = {
    {"get", as_method(FrozenDict_get), METH_FASTCALL, nullptr},
    {"keys", as_method(FrozenDict_keys), METH_NOARGS, nullptr},
    {"values", as_method(FrozenDict_values), METH_NOARGS, nullptr},
    {"items", as_method(FrozenDict_items), METH_NOARGS, nullptr},
    {"get_hash", as_method(FrozenDict_get_hash), METH_NOARGS, nullptr},
    {"__reduce__", as_method(FrozenDict_reduce), METH_NOARGS, nullptr},
    {"__class_getitem__", as_method(Py_GenericAlias), METH_O | METH_CLASS, nullptr},
    {"clear", as_method(FrozenDict_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"setdefault", as_method(FrozenDict_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"popitem", as_method(FrozenDict_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"update", as_method(FrozenDict_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"pop", as_method(FrozenDict_immutable_raise), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef FrozenDict_getset[] = {
    {"__frozen__", hashable_get_frozen, nullptr, nullptr, nullptr},
    {"cacheable", hashable_get_cacheable, nullptr, nullptr, nullptr},
    {"data_size", FrozenDict_get_data_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot FrozenDict_slots[] = {
    {Py_tp_init, (void *)FrozenDict_init},
    {Py_tp_dealloc, (void *)FrozenDict_dealloc},
    {Py_tp_traverse, (void *)FrozenDict_traverse},
    {Py_tp_clear, (void *)FrozenDict_clear},
    {Py_tp_hash, (void *)FrozenDict_hash},
    {Py_tp_richcompare, (void *)FrozenDict_richcompare},
    {Py_tp_methods, FrozenDict_methods},
    {Py_tp_getset, FrozenDict_getset},
    {Py_tp_iter, (void *)FrozenDict_iter},
    {Py_tp_repr, (void *)FrozenDict_repr},
    {Py_tp_str, (void *)FrozenDict_repr},
    {Py_sq_contains, (void *)FrozenDict_contains},
    {Py_sq_length, (void *)FrozenDict_length},
    {Py_mp_length, (void *)FrozenDict_length},
    {Py_mp_subscript, (void *)FrozenDict_getitem},
    {Py_mp_ass_subscript, (void *)FrozenDict_immutable_setitem},
    {0, nullptr},
};

static PyType_Spec FrozenDict_spec = {
    "quillet.frozen.FrozenDict",
    sizeof(FrozenDictObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    FrozenDict_slots,
};

// ---------------------------------------------------------------------------
// NullFrozenDict

static int NullFrozenDict_init(PyObject *self, PyObject *, PyObject *) {
    PyRef data(PyDict_New());
    if (!data || PyDict_SetItem(data.get(), NULL_KEY_OBJ, Py_None) < 0) {
        return -1;
    }
    FrozenDict_take_data(as_frozen_dict(self), data.release(), 0, false);
    return 0;
}

static Py_hash_t NullFrozenDict_hash(PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "NullFrozenDict does not support hashing");
    return -1;
}

static PyObject *NullFrozenDict_richcompare(PyObject *, PyObject *other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const int equal = PyObject_TypeCheck(other, NullFrozenDict_Type);
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

static PyObject *NullFrozenDict_repr(PyObject *self) {
    return PyUnicode_FromFormat("%s()", short_type_name(self));
}

static int NullFrozenDict_contains(PyObject *, PyObject *) {
    return IS_FALSE;
}

static Py_ssize_t NullFrozenDict_length(PyObject *) {
    return 0;
}

static PyObject *NullFrozenDict_getitem(PyObject *, PyObject *) {
    Py_RETURN_NONE;
}

// No key is present, but an unhashable key is still refused.
static PyObject *NullFrozenDict_get(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_get_arity(nargs) || PyObject_Hash(args[0]) == -1) {
        return nullptr;
    }
    return Py_NewRef(nargs == 2 ? args[1] : Py_None);
}

static PyObject *NullFrozenDict_keys(PyObject *, PyObject *) {
    return Py_NewRef(NULL_TUPLE_OBJ);
}

static PyObject *NullFrozenDict_values(PyObject *, PyObject *) {
    return Py_NewRef(NONE_TUPLE_OBJ);
}

static PyObject *NullFrozenDict_items(PyObject *, PyObject *) {
    return Py_NewRef(NONE_ITEMS_TUPLE_OBJ);
}

// Every null mapping unpickles as NULL_FROZEN_DICT: the singleton by its name
// in the module, any other instance as freeze(NULL_FROZEN_DICT), which is the
// singleton itself.
static PyObject *NullFrozenDict_reduce(PyObject *self, PyObject *) {
    if (self == NULL_FROZEN_DICT_OBJ) {
        return PyUnicode_FromString("NULL_FROZEN_DICT");
    }
    return Py_BuildValue("(O(O))", FREEZE_FUNC, NULL_FROZEN_DICT_OBJ);
}

static PyMethodDef NullFrozenDict_methods[] = {
    {"keys", as_method(NullFrozenDict_keys), METH_NOARGS, nullptr},
    {"values", as_method(NullFrozenDict_values), METH_NOARGS, nullptr},
    {"items", as_method(NullFrozenDict_items), METH_NOARGS, nullptr},
    {"get", as_method(NullFrozenDict_get), METH_FASTCALL, nullptr},
    {"__reduce__", as_method(NullFrozenDict_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot NullFrozenDict_slots[] = {
    {Py_tp_init, (void *)NullFrozenDict_init},
    {Py_tp_dealloc, (void *)FrozenDict_dealloc},
    {Py_tp_traverse, (void *)FrozenDict_traverse},
    {Py_tp_clear, (void *)FrozenDict_clear},
    {Py_tp_hash, (void *)NullFrozenDict_hash},
    {Py_tp_richcompare, (void *)NullFrozenDict_richcompare},
    {Py_tp_methods, NullFrozenDict_methods},
    {Py_tp_iter, (void *)FrozenDict_iter},
    {Py_tp_repr, (void *)NullFrozenDict_repr},
    {Py_tp_str, (void *)NullFrozenDict_repr},
    {Py_sq_contains, (void *)NullFrozenDict_contains},
    {Py_sq_length, (void *)NullFrozenDict_length},
    {Py_mp_length, (void *)NullFrozenDict_length},
    {Py_mp_subscript, (void *)NullFrozenDict_getitem},
    {Py_mp_ass_subscript, (void *)FrozenDict_immutable_setitem},
    {0, nullptr},
};

static PyType_Spec NullFrozenDict_spec = {
    "quillet.frozen.NullFrozenDict",
    sizeof(FrozenDictObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    NullFrozenDict_slots,
};

// ---------------------------------------------------------------------------
// freeze

static PyObject *freeze_tuple_items_full(PyObject *obj) {
    const Py_ssize_t size = PyTuple_GET_SIZE(obj);
    PyRef result(PyTuple_New(size));
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::borrow(PyTuple_GET_ITEM(obj, i));
        PyObject *frozen = c_freeze(item.get());
        if (frozen == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), i, frozen);
    }
    return result.release();
}

// Freezing an item can run code (its __class__ lookup) that resizes the list.
static PyObject *to_frozen_list_full(PyObject *obj) {
    const Py_ssize_t size = PyList_GET_SIZE(obj);
    PyRef result(PyTuple_New(size));
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i <= size; ++i) {
        if (PyList_GET_SIZE(obj) != size) {
            PyErr_SetString(PyExc_RuntimeError, "list changed size during iteration");
            return nullptr;
        }
        if (i == size) {
            break;
        }
        PyRef item = PyRef::borrow(PyList_GET_ITEM(obj, i));
        PyObject *frozen = c_freeze(item.get());
        if (frozen == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(result.get(), i, frozen);
    }
    return result.release();
}

// Fills a brand-new frozenset, which the C API allows before it is shared.
static PyObject *to_frozen_set_full(PyObject *obj) {
    PyRef iterator(PyObject_GetIter(obj));
    if (!iterator) {
        return nullptr;
    }
    PyRef result(PyFrozenSet_New(nullptr));
    if (!result) {
        return nullptr;
    }
    while (PyRef element{PyIter_Next(iterator.get())}) {
        PyRef frozen(c_freeze(element.get()));
        if (!frozen || PySet_Add(result.get(), frozen.get()) < 0) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : result.release();
}

// Always an exact FrozenDict. It is built directly unless FrozenDict's
// construction was replaced from Python; then the type is called with the
// frozen (key, value) pairs, as its constructor expects.
static PyObject *to_frozen_dict_full(PyObject *obj) {
    PyTypeObject *type = FrozenDict_Type;
    PyRef data(frozen_copy_of_dict(obj));
    if (!data) {
        return nullptr;
    }
    if (type->tp_init != FrozenDict_init || type->tp_new != PyBaseObject_Type.tp_new) {
        PyRef items(PyDict_Items(data.get()));
        PyRef pairs(items ? PyList_AsTuple(items.get()) : nullptr);
        return pairs ? PyObject_CallOneArg(reinterpret_cast<PyObject *>(type), pairs.get()) : nullptr;
    }
    PyObject *result = type->tp_alloc(type, 0);
    if (result != nullptr) {
        const Py_ssize_t size = PyDict_GET_SIZE(data.get());
        FrozenDict_take_data(as_frozen_dict(result), data.release(), size, true);
    }
    return result;
}

using Conversion = PyObject *(*)(PyObject *);

// The conversion for obj's kind, or null when obj is returned unchanged.
static Conversion conversion_for(PyObject *obj) {
    const unsigned long flags = Py_TYPE(obj)->tp_flags;
    if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) {
        return freeze_tuple_items_full;
    }
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        return to_frozen_dict_full;
    }
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        return to_frozen_list_full;
    }
    if (PySet_Check(obj)) {
        return to_frozen_set_full;
    }
    return nullptr;
}

// The exact built-in containers: their __class__ is their type, so the
// instance test could not succeed.
static bool is_builtin_container(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    return type == &PyTuple_Type || type == &PyList_Type || type == &PyDict_Type || type == &PySet_Type;
}

static PyObject *c_freeze(PyObject *obj) {
    if (g_builtin_fast_path && freezes_to_itself(obj)) {
        return Py_NewRef(obj);
    }
    if (!(g_builtin_fast_path && is_builtin_container(obj))) {
        const int hashable = PyObject_IsInstance(obj, BasicHashable_TypeRef);
        if (hashable == IS_ERROR) {
            return nullptr;
        }
        if (hashable == IS_TRUE) {
            return Py_NewRef(obj);
        }
    }
    const Conversion conversion = conversion_for(obj);
    if (conversion == nullptr) {
        return Py_NewRef(obj);
    }
    // Nested or self-containing input ends in RecursionError.
    if (Py_EnterRecursiveCall(" while freezing")) {
        return nullptr;
    }
    PyObject *result = conversion(obj);
    Py_LeaveRecursiveCall();
    return result;
}

static PyObject *py_freeze(PyObject *, PyObject *obj) {
    return c_freeze(obj);
}

// ---------------------------------------------------------------------------
// Module

static PyMethodDef frozen_methods[] = {
    {"freeze", as_method(py_freeze), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Like the utils module's, this state is made by the first init that succeeds
// at each piece and shared by every later init and module object.
static PyModuleDef frozen_module = {
    PyModuleDef_HEAD_INIT,
    "frozen",
    "Immutable FrozenDict + recursive freeze(). Raw C.",
    -1,
    frozen_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

static int load_basic_hashable() {
    if (BasicHashable_TypeRef != nullptr) {
        return 0;
    }
    PyRef utils(PyImport_ImportModule("quillet.utils"));
    if (!utils || keep_first(BasicHashable_TypeRef, PyObject_GetAttrString(utils.get(), "BasicHashable")) < 0) {
        return -1;
    }
    // A metaclass could define __instancecheck__; then every object is tested.
    g_builtin_fast_path = PyType_CheckExact(BasicHashable_TypeRef);
    return 0;
}

// Each constant is built from those made before it, never from a discarded copy.
static int make_constants() {
    if (NULL_KEY_OBJ == nullptr && keep_first(NULL_KEY_OBJ, PyUnicode_InternFromString("__null__")) < 0) {
        return -1;
    }
    if (NULL_TUPLE_OBJ == nullptr && keep_first(NULL_TUPLE_OBJ, PyTuple_Pack(1, NULL_KEY_OBJ)) < 0) {
        return -1;
    }
    if (NONE_TUPLE_OBJ == nullptr && keep_first(NONE_TUPLE_OBJ, PyTuple_Pack(1, Py_None)) < 0) {
        return -1;
    }
    if (NONE_ITEMS_TUPLE_OBJ != nullptr) {
        return 0;
    }
    PyRef pair(PyTuple_Pack(2, NULL_KEY_OBJ, Py_None));
    return pair ? keep_first(NONE_ITEMS_TUPLE_OBJ, PyTuple_Pack(1, pair.get())) : -1;
}

static int create_types() {
    if (create_type_once(FrozenDict_Type, &FrozenDict_spec, nullptr) < 0) {
        return -1;
    }
    PyRef bases(PyTuple_Pack(1, FrozenDict_Type));
    return bases ? create_type_once(NullFrozenDict_Type, &NullFrozenDict_spec, bases.get()) : -1;
}

static int add_objects(PyObject *module) {
    if (NULL_FROZEN_DICT_OBJ == nullptr &&
        keep_first(NULL_FROZEN_DICT_OBJ, PyObject_CallNoArgs(reinterpret_cast<PyObject *>(NullFrozenDict_Type))) < 0) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "FrozenDict", reinterpret_cast<PyObject *>(FrozenDict_Type)) < 0 ||
        PyModule_AddObjectRef(module, "NullFrozenDict", reinterpret_cast<PyObject *>(NullFrozenDict_Type)) < 0 ||
        PyModule_AddObjectRef(module, "NULL_KEY", NULL_KEY_OBJ) < 0 ||
        PyModule_AddObjectRef(module, "NULL_TUPLE", NULL_TUPLE_OBJ) < 0 ||
        PyModule_AddObjectRef(module, "NONE_TUPLE", NONE_TUPLE_OBJ) < 0 ||
        PyModule_AddObjectRef(module, "NONE_ITEMS_TUPLE", NONE_ITEMS_TUPLE_OBJ) < 0 ||
        PyModule_AddObjectRef(module, "NULL_FROZEN_DICT", NULL_FROZEN_DICT_OBJ) < 0) {
        return -1;
    }
    return FREEZE_FUNC != nullptr ? 0 : keep_first(FREEZE_FUNC, PyObject_GetAttrString(module, "freeze"));
}

PyMODINIT_FUNC PyInit_frozen() {
    if (FREEZE_FUNC == nullptr && require_main_interpreter("quillet.frozen") < 0) {
        return nullptr;
    }
    PyRef module(PyModule_Create2(&frozen_module, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
    if (load_basic_hashable() < 0 || make_constants() < 0 || create_types() < 0 || add_objects(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
