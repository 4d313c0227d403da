// quillet.utils: hashable holders whose hash is computed once, the 64-bit hash
// combiners, type predicates, conditional logic, attribute probes, in-place
// dict transforms and the module frame (interned strings, pathlib.Path).
//
// Holders of arbitrary objects (HashableValues, CacheKey) take part in the
// cyclic GC. Objects allocated without their initialiser, or cleared by the
// collector, have no content; every path that would hash or read it raises
// TypeError instead.
// Kinds are read from the type (flags, identity, subtype test), never through
// isinstance hooks.

#include "attrs.h"
#include "func_stuffs.h"
#include "utils.h"
#include "utils_strs.h"

#include <bit>
#include <cstring>
#include <initializer_list>

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

// Pickles and copies as its class called without arguments, which sets both
// flags; an instance never initialised has nothing to rebuild.
static PyObject *BasicHashable_reduce(PyObject *self, PyObject *) {
    if (!reinterpret_cast<BasicHashableObject *>(self)->frozen) {
        set_not_initialised_error(self);
        return nullptr;
    }
    PyRef args(PyTuple_New(0));
    return args ? reduce_to_constructor(self, BasicHashable_Type, args.get()) : nullptr;
}

static PyMethodDef BasicHashable_methods[] = {
    {"__reduce__", as_method(BasicHashable_reduce), METH_NOARGS, nullptr},
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

// The sum (modulo 2^64) of the mixed hashes of the list's items and of op,
// counted as one more item: order-free, and new/combine add two such sums.
// -1 with an exception set.
static int64_t compute_values_hash(void *ptr) {
    auto *record = static_cast<HashableValuesList *>(static_cast<BaseHashableStruct *>(ptr));
    // __hash__ may re-initialise the holder, so hold what is being hashed.
    PyRef op = PyRef::borrow(record->op);
    PyRef values = PyRef::borrow(record->values);
    uint64_t sum = 0;
    if (op) {
        const Py_hash_t op_hash = PyObject_Hash(op.get());
        if (op_hash == -1) {
            return -1;
        }
        sum = mixed_hash(static_cast<uint64_t>(op_hash));
    }
    if (!values) {
        return static_cast<int64_t>(sum);
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
        sum += mixed_hash(static_cast<uint64_t>(item_hash));
    }
    return PyErr_Occurred() ? -1 : static_cast<int64_t>(sum);
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
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOp", const_cast<char **>(kwlist), &values, &op, &cacheable)) {
        return -1;
    }
    if (values != Py_None && !PyList_Check(values)) {
        PyErr_SetString(PyExc_TypeError, "values must be a list or None");
        return -1;
    }
    HashableValuesObject *holder = as_values(self);
    holder->frozen = true;
    holder->cacheable = cacheable;
    reset_hash_state(self, &holder->h);
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
    clear_hash_state(self, &as_values(self)->h);
    as_values(self)->h.data_size = 0;
    Py_CLEAR(as_values(self)->h.op);
    Py_CLEAR(as_values(self)->h.values);
    return 0;
}

// A holder can hold another as its companion, so chains may be deep: the
// trashcan defers their release instead of recursing on the native stack.
static void HashableValues_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, HashableValues_dealloc)
    HashableValues_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

static Py_hash_t HashableValues_hash(PyObject *self) {
    return record_hash(self, &as_values(self)->h, compute_values_hash);
}

static Py_ssize_t HashableValues_length(PyObject *self) {
    return as_values(self)->h.data_size;
}

static PyObject *HashableValues_new_factory(PyObject *cls, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"item1", "item2", "cacheable", nullptr};
    PyObject *item1, *item2 = Py_None;
    int cacheable = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Op", const_cast<char **>(kwlist), &item1, &item2, &cacheable)) {
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
    holder->has_content = true;

    // Each size is read with its hash, so that both describe the same content
    // even if hashing the other item re-initialises this one.
    int64_t hash = record_hash(item1, &as_values(item1)->h, compute_values_hash);
    if (hash == -1) {
        return nullptr;
    }
    Py_ssize_t size = as_values(item1)->h.data_size;
    if (item2 != Py_None) {
        const int64_t hash2 = record_hash(item2, &as_values(item2)->h, compute_values_hash);
        if (hash2 == -1) {
            return nullptr;
        }
        const Py_ssize_t size2 = as_values(item2)->h.data_size;
        if (size > PY_SSIZE_T_MAX - size2) {
            PyErr_SetString(PyExc_OverflowError, "combined length is too large");
            return nullptr;
        }
        hash = static_cast<int64_t>(static_cast<uint64_t>(hash) + static_cast<uint64_t>(hash2));
        size += size2;
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
    // Parsing `cacheable` runs __bool__, which may reassign __class__ and so
    // free the class: hold it.
    PyRef cls = PyRef::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    return HashableValues_new_factory(cls.get(), pair.get(), kwargs);
}

// A holder made by new or combine keeps only a hash and a length, which no
// constructor call rebuilds; one with neither is an empty holder.
static bool is_combined(const HashableValuesList &h) {
    return h.values == nullptr && h.op == nullptr && (h.data_size != 0 || (h.cached_hash != -1 && h.cached_hash != 0));
}

// Pickles and copies as its class called with its list, companion object and
// flag. Refused when that call would build a different holder.
static PyObject *HashableValues_reduce(PyObject *self, PyObject *) {
    const HashableValuesObject *holder = as_values(self);
    const HashableValuesList &h = holder->h;
    if (!holder->has_content) {
        set_not_initialised_error(self);
        return nullptr;
    }
    if (is_combined(h)) {
        PyErr_Format(PyExc_TypeError, "cannot pickle a combined %s: it keeps no values", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    const Py_ssize_t list_size = h.values != nullptr ? PyList_GET_SIZE(h.values) : 0;
    if (list_size + (h.op != nullptr) != h.data_size) {
        PyErr_Format(
            PyExc_TypeError, "cannot pickle %s: its list changed size since it was built", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    PyRef args(Py_BuildValue("(OOO)",
                             h.values != nullptr ? h.values : Py_None,
                             h.op != nullptr ? h.op : Py_None,
                             holder->cacheable ? Py_True : Py_False));
    return args ? reduce_to_constructor(self, HashableValues_Type, args.get()) : nullptr;
}

// Appends `part` (a new reference, or null after a failed call); -1 on failure.
static int append_part(PyObject *parts, PyObject *part) {
    PyRef held(part);
    return held ? PyList_Append(parts, held.get()) : -1;
}

// The arguments of the constructor call that rebuilds the holder, defaults left out.
static PyObject *values_constructor_arguments(const HashableValuesObject *holder) {
    PyRef parts(PyList_New(0));
    if (!parts) {
        return nullptr;
    }
    // Each repr may run code that re-initialises the holder: hold what is shown.
    PyRef values = PyRef::borrow(holder->h.values), op = PyRef::borrow(holder->h.op);
    const bool cacheable = holder->cacheable;
    if ((values && append_part(parts.get(), PyObject_Repr(values.get())) < 0) ||
        (op && append_part(parts.get(), PyUnicode_FromFormat("op=%R", op.get())) < 0) ||
        (cacheable && append_part(parts.get(), PyUnicode_FromString("cacheable=True")) < 0)) {
        return nullptr;
    }
    PyRef separator(PyUnicode_FromString(", "));
    return separator ? PyUnicode_Join(separator.get(), parts.get()) : nullptr;
}

static PyObject *HashableValues_repr(PyObject *self) {
    PyRef name(PyType_GetName(Py_TYPE(self)));
    if (!name) {
        return nullptr;
    }
    const HashableValuesObject *holder = as_values(self);
    if (!holder->has_content) {
        return PyUnicode_FromFormat("<%U object, not initialised>", name.get());
    }
    if (is_combined(holder->h)) {
        return PyUnicode_FromFormat("<%U combined, len %zd>", name.get(), holder->h.data_size);
    }
    const int seen = Py_ReprEnter(self);
    if (seen != 0) {
        return seen > 0 ? PyUnicode_FromFormat("%U(...)", name.get()) : nullptr;
    }
    PyRef arguments(values_constructor_arguments(holder));
    Py_ReprLeave(self);
    return arguments ? PyUnicode_FromFormat("%U(%U)", name.get(), arguments.get()) : nullptr;
}

static PyMethodDef HashableValues_methods[] = {
    {"__reduce__", as_method(HashableValues_reduce), METH_NOARGS, nullptr},
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
    {Py_tp_repr, (void *)HashableValues_repr},
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
    reset_hash_state(reinterpret_cast<PyObject *>(key), &key->h);
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
    clear_hash_state(self, &as_cache_key(self)->h);
    Py_CLEAR(as_cache_key(self)->h.value1);
    Py_CLEAR(as_cache_key(self)->h.value2);
    return 0;
}

// Keys nest (a key of keys), so their release goes through the trashcan.
// Released plain keys kept for reuse: keys are made and dropped at a high rate
// as dict lookups' temporaries. Each slot holds the memory of an untracked key
// with no values and no reference to its type, and never memory whose
// finaliser has run: that mark survives reuse and would skip a later __del__.
constexpr int CACHE_KEY_FREE_MAX = 80;
static CacheKeyObject *cache_key_free_list[CACHE_KEY_FREE_MAX];
static int cache_key_free_count = 0;

static void CacheKey_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, CacheKey_dealloc)
    CacheKey_clear(self);
    if (type == CacheKey_Type && cache_key_free_count < CACHE_KEY_FREE_MAX && !PyObject_GC_IsFinalized(self)) {
        cache_key_free_list[cache_key_free_count++] = as_cache_key(self);
    } else {
        type->tp_free(self);
    }
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// A new plain key holding v1 and v2, from the free list when it has one.
static PyObject *new_cache_key(PyObject *v1, PyObject *v2) {
    PyObject *key;
    if (cache_key_free_count > 0) {
        CacheKeyObject *reused = cache_key_free_list[--cache_key_free_count];
        // Everything after the header starts zeroed, as the allocator leaves it.
        memset(reinterpret_cast<char *>(reused) + sizeof(PyObject), 0, sizeof(CacheKeyObject) - sizeof(PyObject));
        key = PyObject_Init(reinterpret_cast<PyObject *>(reused), CacheKey_Type);
        PyObject_GC_Track(key);
    } else {
        key = CacheKey_Type->tp_alloc(CacheKey_Type, 0);
        if (key == nullptr) {
            return nullptr;
        }
    }
    CacheKey_set_values(as_cache_key(key), v1, v2);
    return key;
}

// Whether CacheKey is still built by its own __new__ and __init__, which
// Python code may replace.
static bool cache_key_construction_is_native() {
    return CacheKey_Type->tp_init == CacheKey_init && CacheKey_Type->tp_new == PyBaseObject_Type.tp_new;
}

// CacheKey(v1, v2) without the generic call's argument tuple; keywords, other
// counts and a replaced construction take the generic call and its messages.
// Unused where the interpreter has no type vectorcall slot.
[[maybe_unused]] static PyObject *CacheKey_vectorcall(PyObject *type,
                                                      PyObject *const *args,
                                                      size_t nargsf,
                                                      PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The type test keeps subclasses off the fast path even where the slot is inherited.
    if (nargs == 2 && kwnames == nullptr && type == reinterpret_cast<PyObject *>(CacheKey_Type) &&
        cache_key_construction_is_native()) {
        return new_cache_key(args[0], args[1]);
    }
    return call_type_generically(type, args, nargsf, kwnames);
}

// The interpreter's tuple hash of two element hashes (an xxHash-style round
// per element, then the length), computed unsigned so that nothing overflows.
static uint64_t ordered_pair_hash(uint64_t first, uint64_t second) {
    constexpr uint64_t prime1 = UINT64_C(11400714785074694791);
    constexpr uint64_t prime2 = UINT64_C(14029467366897019727);
    constexpr uint64_t prime5 = UINT64_C(2870177450012600261);
    uint64_t acc = prime5;
    for (const uint64_t lane : {first, second}) {
        acc = std::rotl(acc + lane * prime2, 31) * prime1;
    }
    return acc + (2 ^ (prime5 ^ UINT64_C(3527539)));
}

// hash((value1, value2)): the position of each value counts, as it does for
// equality. -1 with an exception set.
static int64_t compute_cache_key_hash(void *ptr) {
    auto *key = static_cast<HashableCacheKey *>(static_cast<BaseHashableStruct *>(ptr));
    // __hash__ may run code that re-initialises the key, so hold the values.
    PyRef value1 = PyRef::borrow(key->value1);
    PyRef value2 = PyRef::borrow(key->value2);
    const Py_hash_t hash1 = PyObject_Hash(value1.get());
    if (hash1 == -1) {
        return -1;
    }
    const Py_hash_t hash2 = PyObject_Hash(value2.get());
    if (hash2 == -1) {
        return -1;
    }
    return static_cast<int64_t>(ordered_pair_hash(static_cast<uint64_t>(hash1), static_cast<uint64_t>(hash2)));
}

static Py_hash_t CacheKey_hash(PyObject *self) {
    return record_hash(self, &as_cache_key(self)->h, compute_cache_key_hash);
}

// A key allocated without its initialiser holds no values to compare.
static bool cache_key_ready(PyObject *key) {
    if (as_cache_key(key)->has_content) {
        return true;
    }
    set_not_initialised_error(key);
    return false;
}

// 1 if equal, 0 if not, -1 with an exception set.
static int CacheKey_EQ(HashableCacheKey *key1, HashableCacheKey *key2) {
    // Identical values are equal without any call, as PyObject_RichCompareBool
    // would decide; the common case of keys built from the same objects.
    if (key1->value1 == key2->value1 && key1->value2 == key2->value2) {
        return 1;
    }
    // __eq__ may run code that re-initialises either key, so hold all four values.
    PyRef left1 = PyRef::borrow(key1->value1), right1 = PyRef::borrow(key2->value1);
    PyRef left2 = PyRef::borrow(key1->value2), right2 = PyRef::borrow(key2->value2);
    const int first = PyObject_RichCompareBool(left1.get(), right1.get(), Py_EQ);
    if (first <= 0) {
        return first;
    }
    return PyObject_RichCompareBool(left2.get(), right2.get(), Py_EQ);
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

// A key pickles and copies as its class called with its two values.
static PyObject *CacheKey_reduce(PyObject *self, PyObject *) {
    if (!cache_key_ready(self)) {
        return nullptr;
    }
    const HashableCacheKey &h = as_cache_key(self)->h;
    PyRef args(PyTuple_Pack(2, h.value1, h.value2));
    return args ? reduce_to_constructor(self, CacheKey_Type, args.get()) : nullptr;
}

static PyObject *CacheKey_repr(PyObject *self) {
    PyRef name(PyType_GetName(Py_TYPE(self)));
    if (!name) {
        return nullptr;
    }
    const HashableCacheKey &h = as_cache_key(self)->h;
    if (!as_cache_key(self)->has_content) {
        return PyUnicode_FromFormat("<%U object, not initialised>", name.get());
    }
    const int seen = Py_ReprEnter(self);
    if (seen != 0) {
        return seen > 0 ? PyUnicode_FromFormat("%U(...)", name.get()) : nullptr;
    }
    // Either repr may run code that re-initialises the key: hold both values.
    PyRef value1 = PyRef::borrow(h.value1), value2 = PyRef::borrow(h.value2);
    PyObject *result = PyUnicode_FromFormat("%U(%R, %R)", name.get(), value1.get(), value2.get());
    Py_ReprLeave(self);
    return result;
}

static PyMethodDef CacheKey_methods[] = {
    {"__reduce__", as_method(CacheKey_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot CacheKey_slots[] = {
    {Py_tp_init, (void *)CacheKey_init},
    {Py_tp_dealloc, (void *)CacheKey_dealloc},
    {Py_tp_traverse, (void *)CacheKey_traverse},
    {Py_tp_clear, (void *)CacheKey_clear},
    {Py_tp_hash, (void *)CacheKey_hash},
    {Py_tp_repr, (void *)CacheKey_repr},
    {Py_tp_richcompare, (void *)CacheKey_richcompare},
    {Py_tp_methods, CacheKey_methods},
    {Py_mp_ass_subscript, (void *)BasicHashable_immutable_setitem},
    {Py_tp_getset, hashable_getset},
#ifdef Py_tp_vectorcall  // a type slot from 3.14 on; older interpreters take the generic call
    {Py_tp_vectorcall, (void *)CacheKey_vectorcall},
#endif
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
    if (!cache_key_construction_is_native()) {
        return PyObject_Vectorcall(reinterpret_cast<PyObject *>(CacheKey_Type), args, 2, nullptr);
    }
    return new_cache_key(args[0], args[1]);
}

// ---------------------------------------------------------------------------
// Hash combiners exposed to Python

// The combiners wrap modulo 2^64, computed unsigned so that nothing overflows.
static int64_t XOR_Combine(int64_t a, int64_t b, int64_t current) {
    return current ^ a ^ static_cast<int64_t>(static_cast<uint64_t>(b) * 31u);
}

static int64_t Alt_XOR_Combine(int64_t a, int64_t b, int64_t current) {
    const uint64_t sum = static_cast<uint64_t>(b) + UINT64_C(0x9E3779B9) + (static_cast<uint64_t>(a) << 6) +
                         static_cast<uint64_t>(a >> 2);  // arithmetic shift: the sign of a propagates
    return static_cast<int64_t>(sum & UINT64_C(0x7FFFFFFFFFFFFFFF)) ^ current;
}

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
// Type predicates

static PyObject *py_is_none(PyObject *, PyObject *obj) {
    return bool_result(obj == Py_None);
}

static PyObject *py_is_bool(PyObject *, PyObject *obj) {
    return bool_result(Py_IS_TYPE(obj, &PyBool_Type));
}

static PyObject *py_is_float(PyObject *, PyObject *obj) {
    return bool_result(PyFloat_Check(obj));
}

static PyObject *py_is_str(PyObject *, PyObject *obj) {
    return bool_result(PyUnicode_Check(obj));
}

static PyObject *py_is_bytes(PyObject *, PyObject *obj) {
    return bool_result(PyBytes_Check(obj));
}

static PyObject *py_is_dict(PyObject *, PyObject *obj) {
    return bool_result(PyDict_Check(obj));
}

static PyObject *py_is_list(PyObject *, PyObject *obj) {
    return bool_result(PyList_Check(obj));
}

static PyObject *py_is_tuple(PyObject *, PyObject *obj) {
    return bool_result(PyTuple_Check(obj));
}

static PyObject *py_is_set(PyObject *, PyObject *obj) {
    return bool_result(PySet_Check(obj));
}

static PyObject *py_is_type(PyObject *, PyObject *obj) {
    return bool_result(PyType_Check(obj));
}

static PyObject *py_is_primitive(PyObject *, PyObject *obj) {
    return bool_result(obj_is_primitive(obj));
}

// The cheap flag and set tests come first; the mapping protocol (any type
// with __getitem__, str and bytes included) is the fallback.
static PyObject *py_is_collection(PyObject *, PyObject *obj) {
    constexpr unsigned long sequence_flags =
        Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS;
    return bool_result((Py_TYPE(obj)->tp_flags & sequence_flags) != 0 || PySet_Check(obj) || PyMapping_Check(obj));
}

// Subscriptable and has a "keys" attribute; the attribute is not called.
static int inner_is_mapping(PyObject *obj) {
    if (!PyMapping_Check(obj)) {
        return IS_FALSE;
    }
    return inner_has_attr(obj, py_str(PY_STR_KEYS));
}

static PyObject *py_is_mapping(PyObject *, PyObject *obj) {
    return tri_state_result(inner_is_mapping(obj));
}

static PyObject *py_is_path_type(PyObject *, PyObject *obj) {
    return tri_state_result(is_path_type(obj));
}

// Only a pathlib.Path is asked; anything else is False without a call.
static PyObject *py_path_exists(PyObject *, PyObject *obj) {
    const int is_path = is_path_type(obj);
    if (is_path != IS_TRUE) {
        return tri_state_result(is_path);
    }
    // The interned name: a string made per call would take a fresh slot of
    // the interpreter's method cache, which is keyed by the name's address.
    PyRef exists(PyObject_CallMethodNoArgs(obj, py_str(PY_STR_EXISTS)));
    if (!exists) {
        return nullptr;
    }
    return TisTruthy(exists.get());
}

// ---------------------------------------------------------------------------
// Conditional logic

// The truth of the first of two arguments; -1 with an exception set when it
// fails or when there are fewer than two (TypeError `missing`).
static int first_truth(PyObject *const *args, Py_ssize_t nargs, const char *missing) {
    if (nargs < 2) {
        PyErr_SetString(PyExc_TypeError, missing);
        return -1;
    }
    return PyObject_IsTrue(args[0]);
}

// not first or bool(second); second's truth is taken only when first is true.
static PyObject *py_implies(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    const int first = first_truth(args, nargs, "implies() requires two arguments");
    if (first < 0) {
        return nullptr;
    }
    if (!first) {
        Py_RETURN_TRUE;
    }
    return TisTruthy(args[1]);
}

// Truth of second(); null with the exception set when the call or the truth test fails.
static PyObject *call_truth(PyObject *second) {
    PyRef result(PyObject_CallObject(second, nullptr));
    if (!result) {
        return nullptr;
    }
    return TisTruthy(result.get());
}

// not first or bool(second()); second is called only when first is true.
static PyObject *py_lazy_implies(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    const int first = first_truth(args, nargs, "lazy_implies() requires two arguments");
    if (first < 0) {
        return nullptr;
    }
    if (!first) {
        Py_RETURN_TRUE;
    }
    return call_truth(args[1]);
}

// not first and bool(second()); second is called only when first is false.
static PyObject *py_lazy_anti_implies(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    const int first = first_truth(args, nargs, "lazy_anti_implies() requires two arguments");
    if (first < 0) {
        return nullptr;
    }
    if (first) {
        Py_RETURN_FALSE;
    }
    return call_truth(args[1]);
}

// Whether every condition accepts arg, stopping at the first that does not.
static PyObject *py_check_conditions(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "check_conditions() takes exactly 2 arguments");
        return nullptr;
    }
    PyObject *conditions = args[0];
    if (!PyTuple_Check(conditions)) {
        PyErr_SetString(PyExc_TypeError, "conditions must be a tuple");
        return nullptr;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(conditions);
    for (Py_ssize_t i = 0; i < count; i++) {
        PyRef condition = PyRef::borrow(PyTuple_GET_ITEM(conditions, i));
        PyRef result(PyObject_CallOneArg(condition.get(), args[1]));
        if (!result) {
            return nullptr;
        }
        const int accepted = PyObject_IsTrue(result.get());
        if (accepted <= 0) {
            return accepted < 0 ? nullptr : bool_result(false);
        }
    }
    Py_RETURN_TRUE;
}

// ---------------------------------------------------------------------------
// Attribute probes

static PyObject *probe(PyObject *obj, PyString name) {
    return tri_state_result(inner_has_attr(obj, py_str(name)));
}

static PyObject *py_has_hook(PyObject *, PyObject *obj) {
    return probe(obj, PY_STR_HOOK);
}

static PyObject *py_is_container(PyObject *, PyObject *obj) {
    return probe(obj, PY_STR_CONTAINER);
}

// A resource is marked by __RESOURCE__ and can be shut down; shutdown is not
// looked up without the mark.
static PyObject *py_is_resource(PyObject *, PyObject *obj) {
    const int marked = inner_has_attr(obj, py_str(PY_STR_RESOURCE));
    if (marked != IS_TRUE) {
        return tri_state_result(marked);
    }
    return probe(obj, PY_STR_SHUTDOWN);
}

static PyObject *py_has_service_name(PyObject *, PyObject *obj) {
    return probe(obj, PY_STR_SERVICE);
}

static PyObject *py_has_dict(PyObject *, PyObject *obj) {
    return probe(obj, PY_STR_DICT);
}

static PyObject *py_has_slots(PyObject *, PyObject *obj) {
    return probe(obj, PY_STR_SLOTS);
}

static PyObject *py_has_shutdown(PyObject *, PyObject *obj) {
    return probe(obj, PY_STR_SHUTDOWN);
}

// ---------------------------------------------------------------------------
// Dict transforms
//
// Each worker rewrites one dict in place through the dict's own storage and
// recurses into values that are dicts. Storing runs the key's __hash__ and
// __eq__, which may mutate the dict or drop its references to the key and
// value: both are held while worked on, and a change of size stops the scan.
// A dict can contain itself, so every level enters the recursion guard.

using DictWorker = PyObject *(*)(PyObject *data);

static int check_size_unchanged(PyObject *data, Py_ssize_t size) {
    if (PyDict_GET_SIZE(data) == size) {
        return 0;
    }
    dict_changed_error();
    return -1;
}

// Rewrites the nested dict `value` with `worker` and stores it back under
// `key`. Returns 0, or -1 with an exception set.
static int rewrite_nested(PyObject *data, PyObject *key, PyObject *value, DictWorker worker) {
    PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
    PyRef rewritten(worker(value));
    if (!rewritten) {
        return -1;
    }
    return PyDict_SetItem(data, key, rewritten.get());
}

// Stores `replacement` under the existing `key`. Returns 0, or -1 with an
// exception set.
static int replace_value(PyObject *data, PyObject *key, PyObject *value, PyObject *replacement) {
    PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
    return PyDict_SetItem(data, key, replacement);
}

// Scans data once, storing `replacement` for every value that `matches`
// and rewriting dict values with `worker`. Returns a new reference to data,
// or null with an exception set.
template <typename Matches>
static PyObject *replace_values(PyObject *data, Matches matches, PyObject *replacement, DictWorker worker) {
    if (Py_EnterRecursiveCall(" while rewriting a dict")) {
        return nullptr;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(data);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    int status = 0;
    while (status == 0 && PyDict_Next(data, &pos, &key, &value)) {
        if (matches(value)) {
            status = replace_value(data, key, value, replacement);
        } else if (PyDict_Check(value)) {
            status = rewrite_nested(data, key, value, worker);
        } else {
            continue;
        }
        if (status == 0) {
            status = check_size_unchanged(data, size);
        }
    }
    Py_LeaveRecursiveCall();
    return status == 0 ? Py_NewRef(data) : nullptr;
}

static PyObject *none_to_null_inner(PyObject *data) {
    return replace_values(
        data, [](PyObject *value) { return value == Py_None; }, py_str(PY_STR_NULL), none_to_null_inner);
}

// Exactly "null" (str subclasses included); compares no other text.
static bool is_null_text(PyObject *value) {
    return PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, g_py_strs[PY_STR_NULL].c_str) == 0;
}

static PyObject *null_to_none_inner(PyObject *data) {
    return replace_values(data, is_null_text, Py_None, null_to_none_inner);
}

// Deletes the collected keys in order. Returns 0, or -1 with an exception set.
static int delete_keys(PyObject *data, PyObject *keys) {
    const Py_ssize_t count = PyList_GET_SIZE(keys);
    for (Py_ssize_t i = 0; i < count; i++) {
        // The list is private, so its items stay alive while __eq__ runs.
        if (PyDict_DelItem(data, PyList_GET_ITEM(keys, i)) < 0) {
            return -1;
        }
    }
    return 0;
}

static PyObject *filter_out_nones_inner(PyObject *data);

// Collects the keys of None values (and rewrites nested dicts first), then
// deletes them once the scan is over, so the scan never sees the dict shrink.
// Returns 0, or -1 with an exception set.
static int filter_out_nones_scan(PyObject *data, PyRef &to_delete) {
    const Py_ssize_t size = PyDict_GET_SIZE(data);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(data, &pos, &key, &value)) {
        int status;
        if (value == Py_None) {
            // Allocated on the first None, so dicts without any cost nothing.
            if (!to_delete) {
                to_delete = PyRef(PyList_New(0));
                if (!to_delete) {
                    return -1;
                }
            }
            status = PyList_Append(to_delete.get(), key);
        } else if (PyDict_Check(value)) {
            status = rewrite_nested(data, key, value, filter_out_nones_inner);
            if (status == 0) {
                status = check_size_unchanged(data, size);
            }
        } else {
            continue;
        }
        if (status < 0) {
            return -1;
        }
    }
    return 0;
}

static PyObject *filter_out_nones_inner(PyObject *data) {
    if (Py_EnterRecursiveCall(" while rewriting a dict")) {
        return nullptr;
    }
    PyRef to_delete;
    int status = filter_out_nones_scan(data, to_delete);
    if (status == 0 && to_delete) {
        status = delete_keys(data, to_delete.get());
    }
    Py_LeaveRecursiveCall();
    return status == 0 ? Py_NewRef(data) : nullptr;
}

// Wraps a worker: only dicts (and their subclasses) are accepted.
static PyObject *transform_dict(PyObject *data, DictWorker worker) {
    if (!PyDict_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "data must be a dict");
        return nullptr;
    }
    return worker(data);
}

static PyObject *py_none_to_null(PyObject *, PyObject *data) {
    return transform_dict(data, none_to_null_inner);
}

static PyObject *py_null_to_none(PyObject *, PyObject *data) {
    return transform_dict(data, null_to_none_inner);
}

static PyObject *py_filter_out_nones(PyObject *, PyObject *data) {
    return transform_dict(data, filter_out_nones_inner);
}

// ---------------------------------------------------------------------------
// Nested-dict detection

static PyObject *py_has_nested_dicts(PyObject *, PyObject *obj) {
    return tri_state_result(has_nested_dicts_inner(obj, 0));
}

// ---------------------------------------------------------------------------
// Module

static PyMethodDef utils_methods[] = {
    {"has_attrs", as_method(py_has_attrs), METH_FASTCALL, nullptr},
    {"has_attr", as_method(py_has_attrs), METH_FASTCALL, nullptr},
    {"check_conditions", as_method(py_check_conditions), METH_FASTCALL, nullptr},
    {"lazy_implies", as_method(py_lazy_implies), METH_FASTCALL, nullptr},
    {"lazy_anti_implies", as_method(py_lazy_anti_implies), METH_FASTCALL, nullptr},
    {"implies", as_method(py_implies), METH_FASTCALL, nullptr},
    {"get_cache_key", as_method(py_get_cache_key), METH_FASTCALL, nullptr},
    {"two_obj_hash", as_method(py_two_obj_hash), METH_FASTCALL, nullptr},
    {"none_to_null", as_method(py_none_to_null), METH_O, nullptr},
    {"null_to_none", as_method(py_null_to_none), METH_O, nullptr},
    {"filter_out_nones", as_method(py_filter_out_nones), METH_O, nullptr},
    {"xor_hash", as_method(py_py_xor_hash), METH_VARARGS, nullptr},
    {"alt_two_obj_hash", as_method(py_alt_two_obj_hash), METH_VARARGS, nullptr},
    {"alt_xor_hash", as_method(py_alt_py_xor_hash), METH_VARARGS, nullptr},
    {"is_truthy", as_method(py_is_truthy), METH_O, nullptr},
    {"is_falsy", as_method(py_is_falsy), METH_O, nullptr},
    {"is_int", as_method(py_is_int), METH_O, nullptr},
    {"is_bool", as_method(py_is_bool), METH_O, nullptr},
    {"is_float", as_method(py_is_float), METH_O, nullptr},
    {"is_none", as_method(py_is_none), METH_O, nullptr},
    {"is_tuple", as_method(py_is_tuple), METH_O, nullptr},
    {"is_list", as_method(py_is_list), METH_O, nullptr},
    {"is_dict", as_method(py_is_dict), METH_O, nullptr},
    {"is_bytes", as_method(py_is_bytes), METH_O, nullptr},
    {"is_str", as_method(py_is_str), METH_O, nullptr},
    {"is_mapping", as_method(py_is_mapping), METH_O, nullptr},
    {"is_object", as_method(py_is_object), METH_O, nullptr},
    {"is_set", as_method(py_is_set), METH_O, nullptr},
    {"is_type", as_method(py_is_type), METH_O, nullptr},
    {"is_primitive", as_method(py_is_primitive), METH_O, nullptr},
    {"is_collection", as_method(py_is_collection), METH_O, nullptr},
    {"is_path_type", as_method(py_is_path_type), METH_O, nullptr},
    {"path_exists", as_method(py_path_exists), METH_O, nullptr},
    {"has_nested_dicts", as_method(py_has_nested_dicts), METH_O, nullptr},
    {"has_hook", as_method(py_has_hook), METH_O, nullptr},
    {"is_container", as_method(py_is_container), METH_O, nullptr},
    {"is_resource", as_method(py_is_resource), METH_O, nullptr},
    {"has_service_name", as_method(py_has_service_name), METH_O, nullptr},
    {"has_dict", as_method(py_has_dict), METH_O, nullptr},
    {"has_slots", as_method(py_has_slots), METH_O, nullptr},
    {"has_shutdown", as_method(py_has_shutdown), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Types, strings, the path class and NOT_CACHEABLE are made by the first
// init that succeeds at each and kept for the life of the process: every
// later init (and every module object, including those the interpreter copies
// from its cached dict without running init) shares them, so no module's
// teardown releases anything.
static PyObject *NOT_CACHEABLE_OBJ;

static PyModuleDef utils_module = {
    PyModuleDef_HEAD_INIT,
    "utils",
    "quillet.utils \u2014 predicates, hashables, and dict utilities. Raw C.",
    -1,
    utils_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

static int load_path_type() {
    if (g_PathType != nullptr) {
        return 0;
    }
    PyRef pathlib(PyImport_ImportModule(g_py_strs[PY_STR_PATHLIB].c_str));
    if (!pathlib) {
        return -1;
    }
    return keep_first(g_PathType, PyObject_GetAttr(pathlib.get(), py_str(PY_STR_PATH)));
}

static int create_types() {
    if (create_type_once(BasicHashable_Type, &BasicHashable_spec, nullptr) < 0) {
        return -1;
    }
    PyRef bases(PyTuple_Pack(1, BasicHashable_Type));
    if (!bases || create_type_once(HashableValues_Type, &HashableValues_spec, bases.get()) < 0) {
        return -1;
    }
    return create_type_once(CacheKey_Type, &CacheKey_spec, bases.get());
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

static int add_not_cacheable(PyObject *module) {
    if (NOT_CACHEABLE_OBJ == nullptr && keep_first(NOT_CACHEABLE_OBJ, make_not_cacheable()) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "NOT_CACHEABLE", NOT_CACHEABLE_OBJ);
}

PyMODINIT_FUNC PyInit_utils() {
    if (NOT_CACHEABLE_OBJ == nullptr && require_main_interpreter("quillet.utils") < 0) {
        return nullptr;
    }
    PyRef module(PyModule_Create2(&utils_module, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
    if (intern_strings() < 0 || load_path_type() < 0 || create_types() < 0 || add_types(module.get()) < 0 ||
        add_not_cacheable(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
