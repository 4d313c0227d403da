// quillet.frozen: FrozenDict, an immutable mapping with a compute-once,
// order-independent hash; the recursive freeze(); the null mapping
// NullFrozenDict and the constants around the null key.
//
// A FrozenDict owns a private dict that no caller can reach: lookups go to it
// directly, and keys()/values()/items() hand out fresh lists copied from it.
// The private dict is untracked by the GC, which sees its entries through the
// FrozenDict instead, so gc.get_referents() cannot hand it out. Empty
// mappings share one private dict, and null mappings another; both hold
// nothing the GC tracks, so visiting them from many owners is harmless. An
// instance is built once: a further __init__ changes nothing. An instance
// whose private dict is null (allocated without its initialiser, or cleared
// by the GC) refuses every operation that reads content with TypeError.

#include "../utils/utils.h"

#include <utility>

static PyTypeObject *FrozenDict_Type;
static PyTypeObject *NullFrozenDict_Type;
static PyTypeObject *KeyIterator_Type;
static PyTypeObject *KeysList_Type;
static PyTypeObject *ItemsList_Type;
static PyObject *BasicHashable_TypeRef;
static PyObject *NULL_KEY_OBJ;
static PyObject *NULL_TUPLE_OBJ;
static PyObject *NONE_TUPLE_OBJ;
static PyObject *NONE_ITEMS_TUPLE_OBJ;
static PyObject *NULL_FROZEN_DICT_OBJ;
static PyObject *EMPTY_DATA_OBJ;  // the private dict of every empty mapping
static PyObject *NULL_DATA_OBJ;   // the private dict of every null mapping: its one null entry
static PyObject *FREEZE_FUNC;  // the module's freeze(), to rebuild pickled null mappings

// True when BasicHashable is a plain class, so that the instance test of
// freeze() can be skipped for exact built-in types, whose class cannot lie.
static bool g_builtin_fast_path;

static PyObject *c_freeze(PyObject *obj);

// ---------------------------------------------------------------------------
// FrozenDict

struct FrozenDictObject : HashableObjectHead {
    HashableDict h;
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

// The number of entries a private dict stands for (`data_size`): none for
// the null mapping's, whose one entry is there to be iterated only.
static Py_ssize_t private_dict_size(PyObject *data) {
    return data == nullptr || data == NULL_DATA_OBJ ? 0 : PyDict_GET_SIZE(data);
}

static Py_ssize_t frozen_dict_size(PyObject *self) {
    return private_dict_size(as_frozen_dict(self)->h.data);
}

static int64_t frozen_dict_hasher(void *record) {
    PyObject *data = static_cast<HashableDict *>(static_cast<BaseHashableStruct *>(record))->data;
    return compute_dict_hash(data, private_dict_size(data));
}

// Makes `data` (a new reference, stolen) the object's content with an
// uncomputed hash, unless the object was built meanwhile (code run while
// freezing may have built it first): then `data` is dropped.
static void FrozenDict_take_data(FrozenDictObject *self, PyObject *data, bool cacheable) {
    if (self->frozen) {
        Py_DECREF(data);
        return;
    }
    // The GC reaches the entries through the FrozenDict's traverse; a tracked
    // private dict would count them twice and show up in gc.get_referents().
    PyObject_GC_UnTrack(data);
    if (PyDict_GET_SIZE(data) == 0 && data != EMPTY_DATA_OBJ) {
        Py_SETREF(data, Py_NewRef(EMPTY_DATA_OBJ));  // releasing an empty dict runs no code
    }
    self->frozen = true;
    self->cacheable = cacheable;
    reset_hash_state(reinterpret_cast<PyObject *>(self), &self->h);
    self->h.data = data;
}

// Exact types other than str and int whose values freeze() returns unchanged
// and whose __class__ cannot lie. Kept out of line: inlined into a loop, the
// compiler evaluates every comparison for every value.
[[gnu::noinline]] static bool is_other_immutable_builtin(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    return type == &PyFloat_Type || obj == Py_None || type == &PyBool_Type || type == &PyBytes_Type ||
           type == &PyFrozenSet_Type || type == FrozenDict_Type || type == NullFrozenDict_Type;
}

// Exact types whose values freeze() returns unchanged and whose __class__
// cannot lie; the commonest first.
static bool freezes_to_itself(PyObject *obj) {
    return __builtin_expect(Py_IS_TYPE(obj, &PyLong_Type), 1) ||
           __builtin_expect(Py_IS_TYPE(obj, &PyUnicode_Type), 1) || is_other_immutable_builtin(obj);
}

static bool values_freeze_to_themselves(PyObject *dict) {
    if (!g_builtin_fast_path) {
        return false;
    }
    DictEntries entries;
    if (dict_entries(dict, &entries)) {
        for (Py_ssize_t i = 0; i < entries.count; ++i) {
            PyObject *value = entries.keys[i * entries.stride + 1];
            if (value != nullptr && !freezes_to_itself(value)) {
                return false;
            }
        }
        return true;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!freezes_to_itself(value)) {
            return false;
        }
    }
    return true;
}

// Strong references to the keys and values of a dict's storage (a dict
// subclass' overrides are not consulted), key i at 2i and its value after
// it. Kept in plain memory rather than in tuples: freezing a document makes
// one per nested dict, and objects the collector tracks make it run sooner.
class StorageSnapshot {
public:
    StorageSnapshot() = default;
    StorageSnapshot(const StorageSnapshot &) = delete;
    StorageSnapshot &operator=(const StorageSnapshot &) = delete;
    ~StorageSnapshot() {
        for (Py_ssize_t i = 0; i < 2 * size_; ++i) {
            Py_DECREF(items_[i]);
        }
        PyMem_Free(static_cast<void *>(items_));
    }

    // -1 with an exception set.
    int take(PyObject *dict) {
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        items_ = PyMem_New(PyObject *, static_cast<size_t>(size) * 2);  // a dict's size is far below PY_SSIZE_T_MAX / 2
        if (items_ == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        // Nothing here runs code or allocates objects, so the storage stays as it is.
        while (size_ < size && PyDict_Next(dict, &pos, &key, &value)) {
            items_[2 * size_] = Py_NewRef(key);
            items_[2 * size_ + 1] = Py_NewRef(value);
            ++size_;
        }
        if (size_ != size) {
            dict_changed_error();
            return -1;
        }
        return 0;
    }

    Py_ssize_t size() const { return size_; }
    PyObject *key(Py_ssize_t i) const { return items_[2 * i]; }
    PyObject *value(Py_ssize_t i) const { return items_[2 * i + 1]; }

private:
    PyObject **items_ = nullptr;
    Py_ssize_t size_ = 0;  // the entries taken, each holding two references
};

// New private dict with the entries of a dict (or any subclass, or a
// frozendict) and its values frozen. The entries are read into a snapshot
// first, so code run by freezing cannot disturb them, and each key is
// inserted once: a key whose hash differs on each call still gives one entry.
static PyObject *frozen_copy_of_dict(PyObject *dict) {
    if (PyDict_CheckExact(dict)) {
        PyObject *copy = PyDict_Copy(dict);
        if (copy == nullptr || values_freeze_to_themselves(copy)) {
            return copy;
        }
        Py_DECREF(copy);
    }
    StorageSnapshot entries;
    if (entries.take(dict) < 0) {
        return nullptr;
    }
    PyRef copy(_PyDict_NewPresized(entries.size()));
    if (!copy) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < entries.size(); ++i) {
        PyRef frozen(c_freeze(entries.value(i)));
        if (!frozen || PyDict_SetItem(copy.get(), entries.key(i), frozen.get()) < 0) {
            return nullptr;
        }
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

// Adds one (key, value) item to `data`, its value frozen; -1 with an exception set.
static int add_pair(PyObject *data, PyObject *item) {
    PyRef pair(item_as_pair(item));
    if (!pair) {
        return -1;
    }
    PyObject *key = PyTuple_GET_ITEM(pair.get(), 0);  // borrowed; the pair holds both
    PyRef frozen(c_freeze(PyTuple_GET_ITEM(pair.get(), 1)));
    return frozen ? PyDict_SetItem(data, key, frozen.get()) : -1;
}

// New private dict from an iterable of pairs; later pairs replace earlier ones.
static PyObject *frozen_dict_from_pairs(PyObject *iterable) {
    // What unpickling gives: read by index, into a dict sized for it.
    if (PyTuple_CheckExact(iterable)) {
        PyRef data(_PyDict_NewPresized(PyTuple_GET_SIZE(iterable)));
        for (Py_ssize_t i = 0; data && i < PyTuple_GET_SIZE(iterable); ++i) {
            if (add_pair(data.get(), PyTuple_GET_ITEM(iterable, i)) < 0) {
                return nullptr;
            }
        }
        return data.release();
    }
    PyRef iterator(PyObject_GetIter(iterable));
    PyRef data(iterator ? PyDict_New() : nullptr);
    if (!data) {
        return nullptr;
    }
    while (PyRef item{PyIter_Next(iterator.get())}) {
        if (add_pair(data.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return data.release();
}

// New private dict read from a mapping that is not a dict: key -> mapping[key]
// for each key that mapping.keys() gives, values frozen.
static PyObject *frozen_dict_from_mapping(PyObject *mapping) {
    PyRef keys(PyMapping_Keys(mapping));  // a list of our own, whatever keys() gives
    PyRef data(keys ? PyDict_New() : nullptr);
    if (!data) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyRef key = PyRef::borrow(PyList_GET_ITEM(keys.get(), i));
        PyRef value(PyObject_GetItem(mapping, key.get()));
        PyRef frozen(value ? c_freeze(value.get()) : nullptr);
        if (!frozen || PyDict_SetItem(data.get(), key.get(), frozen.get()) < 0) {
            return nullptr;
        }
    }
    return data.release();
}

// A copy of a FrozenDict's own content; the null mapping has none.
static PyObject *content_of_frozen_dict(PyObject *fd) {
    if (!Py_IS_TYPE(fd, FrozenDict_Type) && PyObject_TypeCheck(fd, NullFrozenDict_Type)) {
        return PyDict_New();
    }
    if (!frozen_dict_ready(fd)) {
        return nullptr;
    }
    PyRef data = PyRef::borrow(as_frozen_dict(fd)->h.data);
    return PyDict_Copy(data.get());
}

// The interned string `text`, made on first use and kept for the process;
// null with an exception set.
static PyObject *interned(PyObject *&slot, const char *text) {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot;
}

// 1 if `obj` has a `keys` attribute (what dict() asks of a mapping), 0 if
// not, -1 with an exception set.
static int has_keys_attribute(PyObject *obj) {
    static PyObject *keys_name;
    if (interned(keys_name, "keys") == nullptr) {
        return -1;
    }
    PyObject *attribute;
    const int found = PyObject_GetOptionalAttr(obj, keys_name, &attribute);
    Py_XDECREF(attribute);
    return found;
}

// The private dict for the constructor's `data` argument, read the way
// dict(data) reads it: a FrozenDict gives its content, a dict (or frozendict)
// its storage while its __iter__ is dict's own, anything with keys() is a
// mapping, anything else pairs.
static PyObject *frozen_content(PyObject *data) {
    if (PyDict_CheckExact(data)) {  // the common case, decided before any subtype test
        return frozen_copy_of_dict(data);
    }
    if (data == Py_None) {
        return PyDict_New();
    }
    if (PyObject_TypeCheck(data, FrozenDict_Type)) {
        return content_of_frozen_dict(data);
    }
    if ((PyDict_Check(data) || PyFrozenDict_Check(data)) && Py_TYPE(data)->tp_iter == PyDict_Type.tp_iter) {
        return frozen_copy_of_dict(data);
    }
    const int mapping = has_keys_attribute(data);
    if (mapping == IS_ERROR) {
        return nullptr;
    }
    return mapping == IS_TRUE ? frozen_dict_from_mapping(data) : frozen_dict_from_pairs(data);
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

static int NullFrozenDict_init(PyObject *self, PyObject *, PyObject *);

static int FrozenDict_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    // Built once, as tuple and frozenset are: Python calls __init__ again on
    // whatever a subclass' __new__ returns, an interned instance included.
    if (as_frozen_dict(self)->frozen) {
        return 0;
    }
    if (PyObject_TypeCheck(self, NullFrozenDict_Type)) {
        return NullFrozenDict_init(self, args, kwargs);
    }
    PyObject *data;
    if (!parse_data_argument(args, kwargs, &data)) {
        return -1;
    }
    PyObject *content = frozen_content(data);
    if (content == nullptr) {
        return -1;
    }
    FrozenDict_take_data(as_frozen_dict(self), content, true);
    return 0;
}

static PyObject *frozen_dict_of_type(PyTypeObject *type, PyObject *data);
static PyObject *allocate_frozen_dict(PyTypeObject *type);

// A built, exact FrozenDict is its own frozen copy, as a tuple is its own tuple().
static bool is_built_exact_frozen_dict(PyObject *obj) {
    return Py_IS_TYPE(obj, FrozenDict_Type) && as_frozen_dict(obj)->h.data != nullptr;
}

// Takes the constructor's arguments, as dict.__new__ does, so that a
// subclass' __new__ can pass them on; building is __init__'s.
static PyObject *FrozenDict_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    if (type == FrozenDict_Type && PyTuple_GET_SIZE(args) == 1 && (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) &&
        is_built_exact_frozen_dict(PyTuple_GET_ITEM(args, 0))) {
        return Py_NewRef(PyTuple_GET_ITEM(args, 0));
    }
    return allocate_frozen_dict(type);
}

// FrozenDict(data) without the generic call's argument tuple and __init__
// dispatch; keywords, subclasses and a construction replaced from Python
// take the generic call and its messages. Unused where the interpreter has no
// type vectorcall slot.
[[maybe_unused]] static PyObject *FrozenDict_vectorcall(PyObject *type,
                                                        PyObject *const *args,
                                                        size_t nargsf,
                                                        PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyTypeObject *exact = FrozenDict_Type;
    if (nargs > 1 || kwnames != nullptr || type != reinterpret_cast<PyObject *>(exact) ||
        exact->tp_init != FrozenDict_init || exact->tp_new != FrozenDict_new) {
        return call_type_generically(type, args, nargsf, kwnames);
    }
    if (nargs == 1 && is_built_exact_frozen_dict(args[0])) {
        return Py_NewRef(args[0]);
    }
    PyObject *content = frozen_content(nargs == 1 ? args[0] : Py_None);
    return content != nullptr ? frozen_dict_of_type(exact, content) : nullptr;
}

// Visits the private dict's entries in its place: the dict itself is
// untracked and never handed out.
static int FrozenDict_traverse(PyObject *self, visitproc visit, void *arg) {
    FrozenDictObject *fd = as_frozen_dict(self);
    Py_VISIT(Py_TYPE(self));
    if (fd->h.data != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(fd->h.data, &pos, &key, &value)) {
            Py_VISIT(key);
            Py_VISIT(value);
        }
    }
    return 0;
}

// Leaves the object as if never initialised, so that it refuses to be read.
static int FrozenDict_clear(PyObject *self) {
    FrozenDictObject *fd = as_frozen_dict(self);
    fd->frozen = false;
    clear_hash_state(self, &fd->h);
    Py_CLEAR(fd->h.data);
    return 0;
}

// Released exact FrozenDicts, reused without the allocator: for small
// mappings, allocating and freeing the instance is a large share of the work.
// Memory whose finaliser has run is not kept: the collector's mark of it
// survives reuse and would skip the __del__ of the next object made there.
constexpr int FROZEN_DICT_FREE_MAX = 80;
static FrozenDictObject *frozen_dict_free_list[FROZEN_DICT_FREE_MAX];
static int frozen_dict_free_count = 0;

static void FrozenDict_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FrozenDict_clear(self);
    if (type == FrozenDict_Type && frozen_dict_free_count < FROZEN_DICT_FREE_MAX && !PyObject_GC_IsFinalized(self)) {
        frozen_dict_free_list[frozen_dict_free_count++] = as_frozen_dict(self);
    } else {
        type->tp_free(self);
    }
    Py_DECREF(type);
}

// A new instance of `type` with no content, from the free list when it has
// one for that type.
static PyObject *allocate_frozen_dict(PyTypeObject *type) {
    if (type != FrozenDict_Type || frozen_dict_free_count == 0) {
        return type->tp_alloc(type, 0);
    }
    FrozenDictObject *reused = frozen_dict_free_list[--frozen_dict_free_count];
    // Everything after the header starts zeroed, as the allocator leaves it.
    memset(reinterpret_cast<char *>(reused) + sizeof(PyObject), 0, sizeof(FrozenDictObject) - sizeof(PyObject));
    PyObject *result = PyObject_Init(reinterpret_cast<PyObject *>(reused), type);
    PyObject_GC_Track(result);
    return result;
}

static Py_hash_t FrozenDict_hash(PyObject *self) {
    if (!frozen_dict_ready(self)) {
        return -1;
    }
    return get_cached_hash_cond(self, &as_frozen_dict(self)->h, frozen_dict_hasher);
}

static int frozen_dicts_equal(PyObject *self, PyObject *other);

// Compares two values of private dicts: 1 if equal, 0 if not, -1 with an
// exception set. Nested exact mappings are compared here rather than through
// the interpreter's dispatch, which a document of small mappings pays per mapping.
static int entry_values_equal(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return same_text(a, b);
    }
    PyRef held_a = PyRef::borrow(a), held_b = PyRef::borrow(b);
    if (Py_IS_TYPE(a, FrozenDict_Type) && Py_IS_TYPE(b, FrozenDict_Type)) {
        return frozen_dicts_equal(a, b);
    }
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// Compares two private dicts, walking the first in place and probing the
// second while both hold str keys; any other table takes the dict's own
// comparison. The table is read again after every comparison that may have
// run code.
static int private_dicts_equal(PyObject *a, PyObject *b) {
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) {
        return 0;
    }
    DictEntries entries;
    bool in_place = dict_entries(a, &entries) && entries.str_keys;
    for (Py_ssize_t pos = 0; in_place && pos < entries.count; ++pos) {
        PyObject *const *entry = entries.keys + pos * entries.stride;
        PyObject *other_value = nullptr;
        if (entry[1] == nullptr) {
            continue;
        }
        const StrLookup found = dict_lookup_str(b, entry[0], &other_value);
        if (found != StrLookup::FOUND) {
            return found == StrLookup::ABSENT ? 0 : PyObject_RichCompareBool(a, b, Py_EQ);
        }
        if (entry[1] != other_value) {
            const int equal = entry_values_equal(entry[1], other_value);
            if (equal != 1) {
                return equal;
            }
            in_place = dict_entries(a, &entries) && entries.str_keys;
        }
    }
    return in_place ? 1 : PyObject_RichCompareBool(a, b, Py_EQ);
}

// Compares two FrozenDicts' contents: 1 if equal, 0 if not, -1 with an
// exception set. Hashes already cached settle most inequalities.
static int frozen_dicts_equal(PyObject *self, PyObject *other) {
    if (!frozen_dict_ready(self) || !frozen_dict_ready(other)) {
        return -1;
    }
    if (self == other) {
        return 1;
    }
    const int64_t hash = as_frozen_dict(self)->h.cached_hash, other_hash = as_frozen_dict(other)->h.cached_hash;
    if (frozen_dict_size(self) != frozen_dict_size(other) || (hash != -1 && other_hash != -1 && hash != other_hash)) {
        return 0;
    }
    PyRef data = PyRef::borrow(as_frozen_dict(self)->h.data);
    PyRef other_data = PyRef::borrow(as_frozen_dict(other)->h.data);
    if (data.get() == other_data.get()) {  // the shared empty or null content
        return 1;
    }
    if (Py_EnterRecursiveCall(" in comparison")) {
        return -1;
    }
    const int equal = private_dicts_equal(data.get(), other_data.get());
    Py_LeaveRecursiveCall();
    return equal;
}

static PyObject *FrozenDict_richcompare(PyObject *self, PyObject *other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    int equal = IS_FALSE;
    // The real type, never __class__: only a FrozenDict has a record to read.
    if (PyObject_TypeCheck(other, FrozenDict_Type)) {
        equal = frozen_dicts_equal(self, other);
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
    PyObject *found;
    switch (dict_lookup_str(as_frozen_dict(self)->h.data, key, &found)) {
    case StrLookup::FOUND:
        *value = Py_NewRef(found);
        return IS_TRUE;
    case StrLookup::ABSENT:
        return IS_FALSE;
    case StrLookup::UNDECIDED:
        break;
    }
    // The key's __eq__ may clear self, so hold the dict being searched.
    PyRef data = PyRef::borrow(as_frozen_dict(self)->h.data);
    return PyDict_GetItemRef(data.get(), key, value);
}

// KeyError whose args are (key,) for every key: given alone, a tuple key
// would become the arguments and None would give none.
static void set_key_error(PyObject *key) {
    PyObject *args = PyTuple_Pack(1, key);
    if (args != nullptr) {
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
    }
}

// A subclass' __missing__(key) for a key [] did not find, as for dict
// subclasses: true when it ran (*value is its result, or null with its
// error), false when the class has none.
static bool call_missing(PyObject *self, PyObject *key, PyObject **value) {
    if (Py_IS_TYPE(self, FrozenDict_Type)) {
        return false;
    }
    static PyObject *missing_name;
    if (interned(missing_name, "__missing__") == nullptr) {
        return true;
    }
    // Held: binding and calling may run code that drops it from the class.
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    PyRef missing = PyRef::borrow(_PyType_Lookup(Py_TYPE(self), missing_name));
    if (!missing) {
        return false;
    }
    descrgetfunc bind = Py_TYPE(missing.get())->tp_descr_get;
    PyRef bound(bind != nullptr ? bind(missing.get(), self, type.get()) : Py_NewRef(missing.get()));
    *value = bound ? PyObject_CallOneArg(bound.get(), key) : nullptr;
    return true;
}

static PyObject *FrozenDict_getitem(PyObject *self, PyObject *key) {
    PyObject *value;
    if (frozen_dict_lookup(self, key, &value) == IS_FALSE && !call_missing(self, key, &value)) {
        set_key_error(key);
    }
    return value;
}

static int FrozenDict_contains(PyObject *self, PyObject *key) {
    PyObject *value;
    const int found = frozen_dict_lookup(self, key, &value);
    Py_XDECREF(value);
    return found;
}

static Py_ssize_t FrozenDict_length(PyObject *self) {
    return frozen_dict_size(self);
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

// The tuple entry for one (key, value) of a snapshot of `kind`.
static PyObject *snapshot_entry(PyObject *key, PyObject *value, Snapshot kind) {
    switch (kind) {
    case Snapshot::KEYS:
        return Py_NewRef(key);
    case Snapshot::VALUES:
        return Py_NewRef(value);
    default:
        return PyTuple_Pack(2, key, value);
    }
}

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
        PyObject *entry = snapshot_entry(key, value, kind);
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

// A fresh tuple of the content, for callers that run code while they walk it
// or must not expose the private dict (a dict iterator refers to its dict).
static PyObject *frozen_dict_snapshot(PyObject *self, Snapshot kind) {
    if (!frozen_dict_ready(self)) {
        return nullptr;
    }
    PyRef data = PyRef::borrow(as_frozen_dict(self)->h.data);
    return build_snapshot(data.get(), kind);
}

// The (key, value) pairs of a private dict, read in place where the table
// allows; the list is filled before anything else can see it.
static PyObject *items_of(PyObject *data) {
    DictEntries table;
    if (!dict_entries(data, &table)) {
        return PyDict_Items(data);
    }
    const Py_ssize_t size = PyDict_GET_SIZE(data);
    PyRef list(PyList_New(size));
    if (!list) {
        return nullptr;
    }
    // Making the pairs can start the collector, which must not meet empty slots.
    PyObject_GC_UnTrack(list.get());
    Py_ssize_t index = 0;
    for (Py_ssize_t i = 0; i < table.count && index < size; ++i) {
        PyObject *const *entry = table.keys + i * table.stride;
        if (entry[1] == nullptr) {
            continue;
        }
        PyObject *pair = PyTuple_New(2);
        if (pair == nullptr) {
            Py_SET_SIZE(list.get(), index);  // release only the pairs made
            return nullptr;
        }
        PyTuple_SET_ITEM(pair, 0, Py_NewRef(entry[0]));
        PyTuple_SET_ITEM(pair, 1, Py_NewRef(entry[1]));
        PyList_SET_ITEM(list.get(), index++, pair);
    }
    if (index != size) {  // the table disagrees with the size: never hand out empty slots
        Py_SET_SIZE(list.get(), index);
        return dict_changed_error();
    }
    PyObject_GC_Track(list.get());
    return list.release();
}

// The list `list` (stolen) as an instance of `type`, a subclass of list: its
// items move over without being copied.
static PyObject *list_as_subclass(PyObject *list, PyTypeObject *type) {
    PyRef owned(list);
    PyObject *result = owned ? type->tp_alloc(type, 0) : nullptr;
    if (result == nullptr) {
        return nullptr;
    }
    auto *from = reinterpret_cast<PyListObject *>(list);
    auto *to = reinterpret_cast<PyListObject *>(result);
    std::swap(from->ob_item, to->ob_item);
    std::swap(from->allocated, to->allocated);
    Py_SET_SIZE(result, Py_SIZE(list));
    Py_SET_SIZE(list, 0);
    return result;
}

// A list the caller owns, copied from the private dict by `copy`, as an
// instance of `type` unless it is null; nothing is kept, so that asking
// costs no memory afterwards.
static PyObject *frozen_dict_list(PyObject *self, PyObject *(*copy)(PyObject *), PyTypeObject *type) {
    if (!frozen_dict_ready(self)) {
        return nullptr;
    }
    PyRef data = PyRef::borrow(as_frozen_dict(self)->h.data);
    PyObject *list = copy(data.get());
    return type != nullptr ? list_as_subclass(list, type) : list;
}

static PyObject *FrozenDict_keys(PyObject *self, PyObject *) {
    return frozen_dict_list(self, PyDict_Keys, KeysList_Type);
}

static PyObject *FrozenDict_values(PyObject *self, PyObject *) {
    return frozen_dict_list(self, PyDict_Values, nullptr);
}

static PyObject *FrozenDict_items(PyObject *self, PyObject *) {
    return frozen_dict_list(self, items_of, ItemsList_Type);
}

static PyObject *new_key_iterator(PyObject *mapping, bool reversed);

static PyObject *FrozenDict_iter(PyObject *self) {
    return new_key_iterator(self, false);
}

static PyObject *FrozenDict_get_hash(PyObject *self, PyObject *) {
    const Py_hash_t hash = FrozenDict_hash(self);
    return hash == -1 ? nullptr : PyLong_FromSsize_t(hash);
}

// The type's name after its last dot.
static const char *short_type_name(PyObject *type) {
    const char *name = reinterpret_cast<PyTypeObject *>(type)->tp_name;
    const char *dot = strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

static int update_from_frozen_dict(PyObject *dict, PyObject *fd);

// Prints a copy, filled entry by entry so that the collector tracks it: repr
// puts the dict being printed on the interpreter's recursion list, where the
// values' own repr could find it and keep or change it.
// The list holds the mapping itself instead, so a mapping reached again
// through its values prints as {...}, as a dict does.
static PyObject *FrozenDict_repr(PyObject *self) {
    if (!frozen_dict_ready(self)) {
        return nullptr;
    }
    // The values' repr may reassign __class__ and free the type whose name is shown.
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    const int seen = Py_ReprEnter(self);
    if (seen != 0) {
        return seen > 0 ? PyUnicode_FromFormat("%s({...})", short_type_name(type.get())) : nullptr;
    }
    PyRef copy(PyDict_New());
    PyObject *result = copy && update_from_frozen_dict(copy.get(), self) == 0
                           ? PyUnicode_FromFormat("%s(%R)", short_type_name(type.get()), copy.get())
                           : nullptr;
    Py_ReprLeave(self);
    return result;
}

static PyObject *FrozenDict_get_data_size(PyObject *self, void *) {
    return PyLong_FromSsize_t(frozen_dict_size(self));
}

static int FrozenDict_immutable_setitem(PyObject *self, PyObject *, PyObject *) {
    set_immutable_error(self);
    return -1;
}

static PyObject *FrozenDict_immutable_raise(PyObject *self, PyObject *, PyObject *) {
    set_immutable_error(self);
    return nullptr;
}

// Pickles and copies as the class called with the pairs zip() makes of a
// tuple of the keys and a tuple of the values, in order: tuples that code run
// while pickling cannot change, and that unpickle without a tuple per entry.
// The values are already frozen, and freezing them again keeps them.
static PyObject *FrozenDict_reduce(PyObject *self, PyObject *) {
    PyRef keys(frozen_dict_snapshot(self, Snapshot::KEYS));
    PyRef values(keys ? frozen_dict_snapshot(self, Snapshot::VALUES) : nullptr);
    PyRef pairs(values ? PyObject_CallFunctionObjArgs(
                             reinterpret_cast<PyObject *>(&PyZip_Type), keys.get(), values.get(), nullptr)
                       : nullptr);
    PyRef args(pairs ? PyTuple_Pack(1, pairs.get()) : nullptr);
    return args ? reduce_to_constructor(self, FrozenDict_Type, args.get()) : nullptr;
}

// What `|` and dict() accept as a mapping: IS_TRUE, IS_FALSE or IS_ERROR.
static int is_mapping_operand(PyObject *obj) {
    if (PyDict_Check(obj) || PyObject_TypeCheck(obj, FrozenDict_Type) || PyFrozenDict_Check(obj)) {
        return IS_TRUE;
    }
    return has_keys_attribute(obj);
}

// Inserts a FrozenDict's entries into `dict` as dict.update(fd) would,
// replacing what is there; -1 with an exception set. The null mapping gives
// its one null entry there, as its keys() says.
static int update_from_frozen_dict(PyObject *dict, PyObject *fd) {
    if (PyObject_TypeCheck(fd, NullFrozenDict_Type)) {
        return PyDict_SetItem(dict, NULL_KEY_OBJ, Py_None);
    }
    if (!frozen_dict_ready(fd)) {
        return -1;
    }
    // Inserted one by one: a dict cloned from the untracked private dict
    // could stay untracked while it holds tracked values.
    PyRef data = PyRef::borrow(as_frozen_dict(fd)->h.data);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(data.get(), &pos, &key, &value)) {
        PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
        if (PyDict_SetItem(dict, key, value) < 0) {
            return -1;
        }
    }
    return 0;
}

// Adds the frozen content of the mapping `right` to the dict `merged`,
// replacing what is there; -1 with an exception set. A dict whose values
// freeze to themselves is merged as it is, without a frozen copy first.
static int merge_frozen(PyObject *merged, PyObject *right) {
    if (PyDict_CheckExact(right) && values_freeze_to_themselves(right)) {
        return PyDict_Update(merged, right);
    }
    PyRef added(frozen_content(right));
    return added ? PyDict_Update(merged, added.get()) : -1;
}

// fd | mapping gives a FrozenDict, mapping | fd (when the mapping's own `|`
// declined) a dict, as the built-in frozendict does; the right operand wins.
static PyObject *FrozenDict_or(PyObject *left, PyObject *right) {
    const bool frozen_left = PyObject_TypeCheck(left, FrozenDict_Type);
    const int mapping = is_mapping_operand(frozen_left ? right : left);
    if (mapping != IS_TRUE) {
        return mapping == IS_ERROR ? nullptr : Py_NewRef(Py_NotImplemented);
    }
    if (frozen_left) {
        PyRef merged(content_of_frozen_dict(left));
        if (!merged || merge_frozen(merged.get(), right) < 0) {
            return nullptr;
        }
        return frozen_dict_of_type(FrozenDict_Type, merged.release());
    }
    PyRef merged(PyDict_New());
    if (!merged || PyDict_Merge(merged.get(), left, 1) < 0 || update_from_frozen_dict(merged.get(), right) < 0) {
        return nullptr;
    }
    return merged.release();
}

// FrozenDict.fromkeys(iterable, value=None, /): the value is frozen once and
// shared by every key.
static PyObject *FrozenDict_fromkeys(PyObject *cls, PyObject *args) {
    PyObject *iterable, *value = Py_None;
    if (!PyArg_UnpackTuple(args, "fromkeys", 1, 2, &iterable, &value)) {
        return nullptr;
    }
    PyRef frozen(c_freeze(value));
    PyRef iterator(frozen ? PyObject_GetIter(iterable) : nullptr);
    PyRef data(iterator ? PyDict_New() : nullptr);
    if (!data) {
        return nullptr;
    }
    while (PyRef key{PyIter_Next(iterator.get())}) {
        if (PyDict_SetItem(data.get(), key.get(), frozen.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return frozen_dict_of_type(reinterpret_cast<PyTypeObject *>(cls), data.release());
}

// An attribute of the copy module: a new reference, or null with an exception
// set. Names are interned once: a string made per call would be kept by the
// interpreter's attribute cache.
static PyObject *copy_module_attribute(PyObject *&name_slot, const char *name) {
    static PyObject *copy_name;
    if (interned(copy_name, "copy") == nullptr || interned(name_slot, name) == nullptr) {
        return nullptr;
    }
    PyRef copy_module(PyImport_Import(copy_name));
    return copy_module ? PyObject_GetAttr(copy_module.get(), name_slot) : nullptr;
}

// Exact FrozenDicts are their own copies; every null mapping copies to the
// singleton, as it unpickles.
static bool is_own_copy(PyObject *self) {
    return Py_IS_TYPE(self, FrozenDict_Type) || PyObject_TypeCheck(self, NullFrozenDict_Type);
}

static PyObject *null_copy(PyObject *self) {
    return Py_NewRef(NULL_FROZEN_DICT_OBJ != nullptr ? NULL_FROZEN_DICT_OBJ : self);
}

// A subclass' instance copied the way the copy module copies any object,
// from its __reduce_ex__(4); `memo` is None for a shallow copy.
static PyObject *copy_by_reduction(PyObject *self, PyObject *memo) {
    static PyObject *reconstruct_name, *reduce_name;
    PyRef reconstruct(copy_module_attribute(reconstruct_name, "_reconstruct"));
    PyRef protocol(reconstruct && interned(reduce_name, "__reduce_ex__") ? PyLong_FromLong(4) : nullptr);
    PyRef reduced(protocol ? PyObject_CallMethodOneArg(self, reduce_name, protocol.get()) : nullptr);
    if (!reduced) {
        return nullptr;
    }
    if (!PyTuple_Check(reduced.get())) {
        PyErr_SetString(PyExc_TypeError, "__reduce_ex__ must return a tuple");
        return nullptr;
    }
    PyRef head(PyTuple_Pack(2, self, memo));
    PyRef call_args(head ? PySequence_Concat(head.get(), reduced.get()) : nullptr);
    return call_args ? PyObject_Call(reconstruct.get(), call_args.get(), nullptr) : nullptr;
}

// fd.copy(): the object itself for an exact FrozenDict, the singleton for a
// null mapping; a subclass' instance gives a FrozenDict, as dict.copy() gives
// a dict.
static PyObject *FrozenDict_copy(PyObject *self, PyObject *) {
    if (PyObject_TypeCheck(self, NullFrozenDict_Type)) {
        return null_copy(self);
    }
    if (!frozen_dict_ready(self)) {
        return nullptr;
    }
    if (Py_IS_TYPE(self, FrozenDict_Type)) {
        return Py_NewRef(self);
    }
    PyObject *data = content_of_frozen_dict(self);
    return data ? frozen_dict_of_type(FrozenDict_Type, data) : nullptr;
}

static PyObject *FrozenDict_shallow_copy(PyObject *self, PyObject *) {
    if (!is_own_copy(self)) {
        return copy_by_reduction(self, Py_None);
    }
    return FrozenDict_copy(self, nullptr);
}

// The rule tuple follows: the object itself when every key and value deep-
// copies to itself, else a new mapping of the copies.
static PyObject *FrozenDict_deepcopy(PyObject *self, PyObject *memo) {
    if (!is_own_copy(self)) {
        return copy_by_reduction(self, memo);
    }
    if (PyObject_TypeCheck(self, NullFrozenDict_Type)) {
        return null_copy(self);
    }
    PyRef items(frozen_dict_snapshot(self, Snapshot::ITEMS));
    static PyObject *deepcopy_name;
    PyRef deepcopy(items ? copy_module_attribute(deepcopy_name, "deepcopy") : nullptr);
    if (!deepcopy) {
        return nullptr;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(items.get());
    PyRef copies(PyTuple_New(size));
    if (!copies) {
        return nullptr;
    }
    bool same = true;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef copy(PyObject_CallFunctionObjArgs(deepcopy.get(), PyTuple_GET_ITEM(items.get(), i), memo, nullptr));
        if (!copy) {
            return nullptr;
        }
        same = same && copy.get() == PyTuple_GET_ITEM(items.get(), i);
        PyTuple_SET_ITEM(copies.get(), i, copy.release());
    }
    if (same) {
        return Py_NewRef(self);
    }
    // As for tuples: a copy made meanwhile through a cycle back to self wins.
    if (PyDict_Check(memo)) {
        PyRef id(PyLong_FromVoidPtr(self));
        PyObject *earlier = nullptr;
        if (!id || PyDict_GetItemRef(memo, id.get(), &earlier) < 0) {
            return nullptr;
        }
        if (earlier != nullptr) {
            return earlier;
        }
    }
    PyObject *data = frozen_dict_from_pairs(copies.get());
    return data ? frozen_dict_of_type(FrozenDict_Type, data) : nullptr;
}

static PyObject *FrozenDict_reversed(PyObject *self, PyObject *) {
    return new_key_iterator(self, true);
}

// The instance with the private dict it owns; a shared one belongs to no
// single instance and is not counted.
static PyObject *FrozenDict_sizeof(PyObject *self, PyObject *) {
    PyObject *data = as_frozen_dict(self)->h.data;
    static PyObject *sizeof_name;
    if (interned(sizeof_name, "__sizeof__") == nullptr) {
        return nullptr;
    }
    const Py_ssize_t total = Py_TYPE(self)->tp_basicsize;
    if (data == nullptr || data == EMPTY_DATA_OBJ || data == NULL_DATA_OBJ) {
        return PyLong_FromSsize_t(total);
    }
    PyRef held = PyRef::borrow(data);
    PyRef size(PyObject_CallMethodNoArgs(held.get(), sizeof_name));
    const Py_ssize_t bytes = size ? PyLong_AsSsize_t(size.get()) : -1;
    if (bytes == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (bytes > PY_SSIZE_T_MAX - total) {
        PyErr_SetString(PyExc_OverflowError, "size does not fit in Py_ssize_t");
        return nullptr;
    }
    return PyLong_FromSsize_t(total + bytes);
}

static PyMethodDef FrozenDict_methods[] = {
    {"get", as_method(FrozenDict_get), METH_FASTCALL, nullptr},
    {"keys", as_method(FrozenDict_keys), METH_NOARGS, nullptr},
    {"values", as_method(FrozenDict_values), METH_NOARGS, nullptr},
    {"items", as_method(FrozenDict_items), METH_NOARGS, nullptr},
    {"get_hash", as_method(FrozenDict_get_hash), METH_NOARGS, nullptr},
    {"__reduce__", as_method(FrozenDict_reduce), METH_NOARGS, nullptr},
    {"__class_getitem__", as_method(Py_GenericAlias), METH_O | METH_CLASS, nullptr},
    {"fromkeys", as_method(FrozenDict_fromkeys), METH_VARARGS | METH_CLASS, nullptr},
    {"copy", as_method(FrozenDict_copy), METH_NOARGS, nullptr},
    {"__copy__", as_method(FrozenDict_shallow_copy), METH_NOARGS, nullptr},
    {"__deepcopy__", as_method(FrozenDict_deepcopy), METH_O, nullptr},
    {"__reversed__", as_method(FrozenDict_reversed), METH_NOARGS, nullptr},
    {"__sizeof__", as_method(FrozenDict_sizeof), METH_NOARGS, nullptr},
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
    {Py_tp_new, (void *)FrozenDict_new},
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
    {Py_nb_or, (void *)FrozenDict_or},
#ifdef Py_tp_vectorcall  // a type slot from 3.14 on; older interpreters take the generic call
    {Py_tp_vectorcall, (void *)FrozenDict_vectorcall},
#endif
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
// Key iterator
//
// Walks the private dict of the mapping it holds, never the dict itself, so
// that nothing hands the dict out (a dict iterator would, to
// gc.get_referents()). The dict is never written once built, so its entry
// table stays put for as long as the mapping keeps the same generation: the
// iterator stops with an error if the collector cleared the mapping meanwhile.

struct KeyIteratorObject {
    PyObject_HEAD
    PyObject *mapping;  // null once exhausted
    uint64_t generation;
    PyObject *const *entries;  // the entry table read in place, or null: PyDict_Next or the snapshot
    Py_ssize_t stride;
    Py_ssize_t position;  // the next entry index, or PyDict_Next's position
    Py_ssize_t end;  // entry index where the walk stops
    Py_ssize_t step;  // 1, or -1 for reversed()
    Py_ssize_t remaining;
    PyObject *snapshot;  // reversed() over a table that cannot be read in place
};

static KeyIteratorObject *as_key_iterator(PyObject *self) {
    return reinterpret_cast<KeyIteratorObject *>(self);
}

static uint64_t generation_of(PyObject *mapping) {
    return as_hashable_head(mapping)->generation;
}

// Reads the table in place when it can; otherwise forward iteration takes
// PyDict_Next and reversed() a tuple of the keys.
static int start_key_iterator(KeyIteratorObject *it, PyObject *data, bool reversed) {
    DictEntries table;
    if (dict_entries(data, &table)) {
        it->entries = table.keys;
        it->stride = table.stride;
        it->position = reversed ? table.count - 1 : 0;
        it->end = reversed ? -1 : table.count;
        it->step = reversed ? -1 : 1;
        return 0;
    }
    if (reversed) {
        it->snapshot = build_snapshot(data, Snapshot::KEYS);
        it->position = it->snapshot != nullptr ? PyTuple_GET_SIZE(it->snapshot) - 1 : -1;
        return it->snapshot != nullptr ? 0 : -1;
    }
    return 0;
}

static PyObject *new_key_iterator(PyObject *mapping, bool reversed) {
    if (!frozen_dict_ready(mapping)) {
        return nullptr;
    }
    PyRef data = PyRef::borrow(as_frozen_dict(mapping)->h.data);
    PyRef iterator(reinterpret_cast<PyObject *>(PyObject_GC_New(KeyIteratorObject, KeyIterator_Type)));
    if (!iterator) {
        return nullptr;
    }
    KeyIteratorObject *it = as_key_iterator(iterator.get());
    it->mapping = nullptr;
    it->entries = nullptr;
    it->snapshot = nullptr;
    it->position = 0;
    it->remaining = PyDict_GET_SIZE(data.get());
    if (start_key_iterator(it, data.get(), reversed) < 0) {
        return nullptr;
    }
    // Building the snapshot may have run a finaliser that cleared the mapping.
    if (as_frozen_dict(mapping)->h.data != data.get()) {
        return dict_changed_error();
    }
    it->mapping = Py_NewRef(mapping);
    it->generation = generation_of(mapping);
    PyObject_GC_Track(iterator.get());
    return iterator.release();
}

static int KeyIterator_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_key_iterator(self)->mapping);
    Py_VISIT(as_key_iterator(self)->snapshot);
    return 0;
}

static int KeyIterator_clear(PyObject *self) {
    Py_CLEAR(as_key_iterator(self)->mapping);
    Py_CLEAR(as_key_iterator(self)->snapshot);
    return 0;
}

static void KeyIterator_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    KeyIterator_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// The next key from whichever source the iterator walks; null when none is left.
static PyObject *next_key(KeyIteratorObject *it) {
    if (it->entries != nullptr) {
        for (; it->position != it->end; it->position += it->step) {
            PyObject *const *entry = it->entries + it->position * it->stride;
            if (entry[1] != nullptr) {
                it->position += it->step;
                return Py_NewRef(entry[0]);
            }
        }
        return nullptr;
    }
    if (it->snapshot != nullptr) {
        return it->position >= 0 ? Py_NewRef(PyTuple_GET_ITEM(it->snapshot, it->position--)) : nullptr;
    }
    PyObject *key, *value;
    return PyDict_Next(as_frozen_dict(it->mapping)->h.data, &it->position, &key, &value) ? Py_NewRef(key) : nullptr;
}

static PyObject *KeyIterator_next(PyObject *self) {
    KeyIteratorObject *it = as_key_iterator(self);
    if (it->mapping == nullptr) {
        return nullptr;
    }
    if (generation_of(it->mapping) != it->generation) {
        KeyIterator_clear(self);
        return dict_changed_error();
    }
    PyObject *key = next_key(it);
    if (key == nullptr) {
        KeyIterator_clear(self);  // releasing the mapping can run code: nothing is read after it
        return nullptr;
    }
    it->remaining--;
    return key;
}

static PyObject *KeyIterator_length_hint(PyObject *self, PyObject *) {
    const KeyIteratorObject *it = as_key_iterator(self);
    return PyLong_FromSsize_t(it->mapping != nullptr && it->remaining > 0 ? it->remaining : 0);
}

static PyMethodDef KeyIterator_methods[] = {
    {"__length_hint__", as_method(KeyIterator_length_hint), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot KeyIterator_slots[] = {
    {Py_tp_dealloc, (void *)KeyIterator_dealloc},
    {Py_tp_traverse, (void *)KeyIterator_traverse},
    {Py_tp_clear, (void *)KeyIterator_clear},
    {Py_tp_iter, (void *)PyObject_SelfIter},
    {Py_tp_iternext, (void *)KeyIterator_next},
    {Py_tp_methods, KeyIterator_methods},
    {0, nullptr},
};

static PyType_Spec KeyIterator_spec = {
    "quillet.frozen.FrozenDictKeyIterator",
    sizeof(KeyIteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    KeyIterator_slots,
};

// ---------------------------------------------------------------------------
// Key and item lists
//
// keys() and items() give lists, which callers may index and change, with
// the set operations of a dict's keys and items views; like those, each
// gives a new set, and the left operand need not be one of these lists.

static void SetLikeList_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyList_Type.tp_dealloc(self);
    Py_DECREF(type);  // list's own deallocator leaves the heap type's reference
}

// set(left) changed in place by the set method `update` with `right`: what
// a dict view gives for `left op right`.
static PyObject *set_operation(PyObject *left, PyObject *right, PyObject *&update_name, const char *update) {
    if (interned(update_name, update) == nullptr) {
        return nullptr;
    }
    PyRef result(PySet_New(left));
    PyRef done(result ? PyObject_CallMethodOneArg(result.get(), update_name, right) : nullptr);
    return done ? result.release() : nullptr;
}

static PyObject *SetLikeList_and(PyObject *left, PyObject *right) {
    static PyObject *name;
    return set_operation(left, right, name, "intersection_update");
}

static PyObject *SetLikeList_or(PyObject *left, PyObject *right) {
    static PyObject *name;
    return set_operation(left, right, name, "update");
}

static PyObject *SetLikeList_subtract(PyObject *left, PyObject *right) {
    static PyObject *name;
    return set_operation(left, right, name, "difference_update");
}

static PyObject *SetLikeList_xor(PyObject *left, PyObject *right) {
    static PyObject *name;
    return set_operation(left, right, name, "symmetric_difference_update");
}

static PyObject *SetLikeList_isdisjoint(PyObject *self, PyObject *other) {
    static PyObject *name;
    if (interned(name, "isdisjoint") == nullptr) {
        return nullptr;
    }
    PyRef elements(PySet_New(self));
    return elements ? PyObject_CallMethodOneArg(elements.get(), name, other) : nullptr;
}

static PyMethodDef SetLikeList_methods[] = {
    {"isdisjoint", as_method(SetLikeList_isdisjoint), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot SetLikeList_slots[] = {
    {Py_tp_dealloc, (void *)SetLikeList_dealloc},
    {Py_tp_methods, SetLikeList_methods},
    {Py_nb_and, (void *)SetLikeList_and},
    {Py_nb_or, (void *)SetLikeList_or},
    {Py_nb_subtract, (void *)SetLikeList_subtract},
    {Py_nb_xor, (void *)SetLikeList_xor},
    {0, nullptr},
};

static PyType_Spec KeysList_spec = {
    "quillet.frozen.FrozenDictKeys",
    0,
    0,
    Py_TPFLAGS_DEFAULT,  // the collector's flag and traverse come from list
    SetLikeList_slots,
};

static PyType_Spec ItemsList_spec = {
    "quillet.frozen.FrozenDictItems",
    0,
    0,
    Py_TPFLAGS_DEFAULT,  // the collector's flag and traverse come from list
    SetLikeList_slots,
};

// ---------------------------------------------------------------------------
// NullFrozenDict

static int NullFrozenDict_init(PyObject *self, PyObject *, PyObject *) {
    if (as_frozen_dict(self)->frozen) {
        return 0;
    }
    FrozenDict_take_data(as_frozen_dict(self), Py_NewRef(NULL_DATA_OBJ), false);
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
    return PyUnicode_FromFormat("%s()", short_type_name(reinterpret_cast<PyObject *>(Py_TYPE(self))));
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

// The interpreter allows __class__ assignment only between types that free
// their instances alike: a free function of its own keeps a FrozenDict from
// becoming a null mapping, and the null mapping from becoming a FrozenDict,
// by any route.
static void NullFrozenDict_free(void *self) {
    PyObject_GC_Del(self);
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
    {Py_tp_free, (void *)NullFrozenDict_free},
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

// A new instance of `type` (FrozenDict or a subclass) owning the private
// dict `data` (stolen). Built directly unless the type's construction was
// replaced from Python; then the type is called with the (key, value) pairs,
// as its constructor expects.
static PyObject *frozen_dict_of_type(PyTypeObject *type, PyObject *data) {
    PyRef owned(data);
    if (type->tp_init != FrozenDict_init || type->tp_new != FrozenDict_new) {
        PyRef items(PyDict_Items(data));
        PyRef pairs(items ? PyList_AsTuple(items.get()) : nullptr);
        return pairs ? PyObject_CallOneArg(reinterpret_cast<PyObject *>(type), pairs.get()) : nullptr;
    }
    PyObject *result = allocate_frozen_dict(type);
    if (result != nullptr) {
        FrozenDict_take_data(as_frozen_dict(result), owned.release(), true);
    }
    return result;
}

// Always an exact FrozenDict.
static PyObject *to_frozen_dict_full(PyObject *obj) {
    PyObject *data = frozen_copy_of_dict(obj);
    return data ? frozen_dict_of_type(FrozenDict_Type, data) : nullptr;
}

using Conversion = PyObject *(*)(PyObject *);

// The conversion for obj's kind, or null when obj is returned unchanged.
static Conversion conversion_for(PyObject *obj) {
    const unsigned long flags = Py_TYPE(obj)->tp_flags;
    if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) {
        return freeze_tuple_items_full;
    }
    // A frozendict is immutable but may hold mutable values: frozen like a dict.
    if ((flags & Py_TPFLAGS_DICT_SUBCLASS) || PyFrozenDict_Check(obj)) {
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

// Whether the in-place dict reads passed their import-time check; private,
// so that the tests can see they were not silently turned off.
static PyObject *py_in_place_reads_enabled(PyObject *, PyObject *) {
    return PyBool_FromLong(g_dict_storage_verified);
}

// ---------------------------------------------------------------------------
// Module

static PyMethodDef frozen_methods[] = {
    {"freeze", as_method(py_freeze), METH_O, nullptr},
    {"_in_place_reads_enabled", as_method(py_in_place_reads_enabled), METH_NOARGS, nullptr},
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

// A private dict to be shared, untracked from the start.
static PyObject *new_untracked_dict(PyObject *key, PyObject *value) {
    PyRef dict(PyDict_New());
    if (!dict || (key != nullptr && PyDict_SetItem(dict.get(), key, value) < 0)) {
        return nullptr;
    }
    PyObject_GC_UnTrack(dict.get());
    return dict.release();
}

static int make_shared_private_dicts() {
    if (EMPTY_DATA_OBJ == nullptr && keep_first(EMPTY_DATA_OBJ, new_untracked_dict(nullptr, nullptr)) < 0) {
        return -1;
    }
    return NULL_DATA_OBJ != nullptr ? 0 : keep_first(NULL_DATA_OBJ, new_untracked_dict(NULL_KEY_OBJ, Py_None));
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
    if (NONE_ITEMS_TUPLE_OBJ == nullptr) {
        PyRef pair(PyTuple_Pack(2, NULL_KEY_OBJ, Py_None));
        if (!pair || keep_first(NONE_ITEMS_TUPLE_OBJ, PyTuple_Pack(1, pair.get())) < 0) {
            return -1;
        }
    }
    return make_shared_private_dicts();
}

static int create_types() {
    if (create_type_once(FrozenDict_Type, &FrozenDict_spec, nullptr) < 0 ||
        create_type_once(KeyIterator_Type, &KeyIterator_spec, nullptr) < 0) {
        return -1;
    }
    PyRef list_base(PyTuple_Pack(1, &PyList_Type));
    if (!list_base || create_type_once(KeysList_Type, &KeysList_spec, list_base.get()) < 0 ||
        create_type_once(ItemsList_Type, &ItemsList_spec, list_base.get()) < 0) {
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
        PyModule_AddObjectRef(module, "NULL_FROZEN_DICT", NULL_FROZEN_DICT_OBJ) < 0 ||
        PyModule_AddObjectRef(module, "FrozenDictKeys", reinterpret_cast<PyObject *>(KeysList_Type)) < 0 ||
        PyModule_AddObjectRef(module, "FrozenDictItems", reinterpret_cast<PyObject *>(ItemsList_Type)) < 0) {
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
    if (dict_storage_verify() < 0 || load_basic_hashable() < 0 || make_constants() < 0 || create_types() < 0 ||
        add_objects(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
