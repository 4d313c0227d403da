// The hashable core shared by the utils and frozen deliverables: the head of
// every hashable object, the hashable record embedded in every holder, its
// compute-once hash protocol and the element mixer both modules combine with.
//
// A record is either not hashed (cached_hash == -1) or hashed; a cached hash
// always belongs to the current content. The hasher is fixed by the holder's
// type, which passes it with the record. Every (re)initialisation and clear
// bumps the head's generation, so a hasher whose calls let the content be
// replaced (by its own code or by another thread while the lock is released)
// sees it and caches nothing. A hasher returns -1 only with an exception set;
// a combined value that happens to be -1 is reported, and cached, as -2, the
// way the interpreter treats -1 hashes. A holder whose head lacks has_content
// was never initialised, or was cleared by the collector: it holds nothing to read.
#pragma once

#include "../compat.h"
#include "../constants.h"
#include "../dict_storage.h"
#include "../pyref.h"

#include <cstdint>

// The head of every hashable object: the object header, then one word of
// flags and the generation, so that a holder pays 8 bytes for all of them.
struct HashableObjectHead {
    PyObject_HEAD
    uint64_t frozen : 1;       // set once the object was initialised as immutable
    uint64_t cacheable : 1;    // informational only
    uint64_t has_content : 1;  // the record describes content; off before it is dropped
    uint64_t generation : 61;  // bumped whenever the content is replaced or dropped
};

static_assert(sizeof(HashableObjectHead) == sizeof(PyObject) + sizeof(uint64_t), "the head adds one word");

inline HashableObjectHead *as_hashable_head(PyObject *self) {
    return reinterpret_cast<HashableObjectHead *>(self);
}

// What a holder's type hashes its content with, given the holder's record.
using HashCallable = int64_t (*)(void *record);

struct BaseHashableStruct {
    int64_t cached_hash;
};

struct HashableValuesList : BaseHashableStruct {
    Py_ssize_t data_size;  // varies with the list, and with what new and combine summed
    PyObject *values;      // a list, or null
    PyObject *op;          // companion object, or null
};

struct HashableCacheKey : BaseHashableStruct {
    PyObject *value1;
    PyObject *value2;
};

struct HashableDict : BaseHashableStruct {
    PyObject *data;  // private dict, never handed out
};

static_assert(sizeof(Py_hash_t) == sizeof(int64_t), "hashes are 64-bit on supported platforms");

// The class pathlib.Path; set by the utils module only.
inline PyObject *g_PathType = nullptr;

// -1 is the interpreter's error value for hashes; a genuine -1 becomes -2.
inline int64_t normalized_hash(int64_t hash) {
    return hash == -1 ? -2 : hash;
}

// Returns the hash, computing it with `hasher` and caching it on first use;
// -1 with an exception set when the hasher fails, in which case nothing is cached.
inline int64_t get_cached_hash_cond(PyObject *owner, BaseHashableStruct *record, HashCallable hasher) {
    if (record->cached_hash != -1) {
        return record->cached_hash;
    }
    // A holder can contain itself; without the guard that recursion is native.
    if (Py_EnterRecursiveCall(" while hashing")) {
        return -1;
    }
    HashableObjectHead *head = as_hashable_head(owner);
    const uint64_t generation = head->generation;
    const int64_t hash = hasher(record);
    Py_LeaveRecursiveCall();
    if (hash == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (head->generation != generation) {
        // The content was replaced meanwhile: this hash is of content the
        // holder no longer has. Another call may already have hashed the new
        // content; else report the race rather than hash again, since the
        // hasher that replaced the content could do so on every run.
        if (record->cached_hash != -1) {
            return record->cached_hash;
        }
        PyErr_SetString(PyExc_RuntimeError, "object re-initialised while it was being hashed");
        return -1;
    }
    // A nested or concurrent call over the same content may have cached it
    // first; both are of the same content.
    if (record->cached_hash == -1) {
        record->cached_hash = normalized_hash(hash);
    }
    return record->cached_hash;
}

// Puts a record into the not-hashed state, for new content.
inline void reset_hash_state(PyObject *owner, BaseHashableStruct *record) {
    HashableObjectHead *head = as_hashable_head(owner);
    record->cached_hash = -1;
    head->has_content = true;
    head->generation++;
}

// Puts a record back into the state of one never initialised: called before a
// holder drops its content, since releasing it can run code that reaches the holder.
inline void clear_hash_state(PyObject *owner, BaseHashableStruct *record) {
    HashableObjectHead *head = as_hashable_head(owner);
    record->cached_hash = -1;
    head->has_content = false;
    head->generation++;
}

// Every operation that reads content refuses an object allocated without its
// initialiser (or cleared by the collector) with this error.
inline void set_not_initialised_error(PyObject *self) {
    PyErr_Format(PyExc_TypeError, "%s object is not initialised", Py_TYPE(self)->tp_name);
}

// A scan that sees its dict change size stops with this error; returns null.
inline PyObject *dict_changed_error() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return nullptr;
}

// Hash of an owner's record; an owner allocated without its initialiser has
// no content and cannot be hashed.
inline Py_hash_t record_hash(PyObject *owner, BaseHashableStruct *record, HashCallable hasher) {
    if (!as_hashable_head(owner)->has_content) {
        set_not_initialised_error(owner);
        return -1;
    }
    return get_cached_hash_cond(owner, record, hasher);
}

// The hash the interpreter would give an exact str whose hash is cached, or
// an exact int of one digit, read in place (neither runs any code); -1 when
// only PyObject_Hash can tell.
inline Py_hash_t known_hash(PyObject *obj) {
    if (PyUnicode_CheckExact(obj)) {
        return PyUnstable_Unicode_GET_CACHED_HASH(obj);
    }
    if (PyLong_CheckExact(obj)) {
        const auto *number = reinterpret_cast<PyLongObject *>(obj);
        if (PyUnstable_Long_IsCompact(number)) {
            const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
            return value == -1 ? -2 : value;
        }
    }
    return -1;
}

// Element hashes pass through a bijective 64-bit finalizer before they are
// combined: small or alike hashes (small ints hash to themselves) then differ
// in every bit, so equal parts no longer cancel and swapped parts no longer
// collide. The offset keeps 0 from being a fixed point, so that a 0 element
// still counts in a sum.
inline uint64_t mixed_hash(uint64_t hash) {
    hash += UINT64_C(0x9E3779B97F4A7C15);
    hash = (hash ^ (hash >> 33)) * UINT64_C(0xFF51AFD7ED558CCD);
    hash = (hash ^ (hash >> 33)) * UINT64_C(0xC4CEB9FE1A85EC53);
    return hash ^ (hash >> 33);
}

// A mapping entry's share of the mapping's hash. Key and value are told
// apart before the mix, so {0: 1, 1: 0} and {0: 0, 1: 1} differ.
inline uint64_t entry_hash(uint64_t key_hash, uint64_t value_hash) {
    return mixed_hash(key_hash * UINT64_C(0x9FB21C651E98DF25) + value_hash);
}

// Adds one entry's share to *sum; false with an exception set when hashing
// fails. Hashing may run user code, so the key and value are held.
inline bool add_entry_hash(PyObject *key, PyObject *value, uint64_t *sum) {
    Py_hash_t key_hash = known_hash(key);
    Py_hash_t value_hash = known_hash(value);
    if (key_hash == -1 || value_hash == -1) {
        PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
        key_hash = key_hash != -1 ? key_hash : PyObject_Hash(key);
        if (key_hash == -1) {
            return false;
        }
        value_hash = value_hash != -1 ? value_hash : PyObject_Hash(value);
        if (value_hash == -1) {
            return false;
        }
    }
    *sum += entry_hash(static_cast<uint64_t>(key_hash), static_cast<uint64_t>(value_hash));
    return true;
}

// The order-independent sum of a dict's entry shares; -1 with an exception
// set. Entries are read in place, keys' hashes from the table; a value whose
// hash only its own code can tell is hashed held, and the table is read
// again afterwards, since that code could have changed it. PyDict_Next,
// which stops where the in-place read did, covers a table of another kind.
inline int64_t combined_entry_hashes(PyObject *dict) {
    uint64_t sum = 0;
    Py_ssize_t pos = 0;
    DictEntries entries;
    bool in_place = dict_entries(dict, &entries);
    for (; in_place && pos < entries.count; ++pos) {
        PyObject *const *entry = entries.keys + pos * entries.stride;
        if (entry[1] == nullptr) {
            continue;
        }
        const Py_hash_t key_hash = stored_key_hash(entries, entry);
        Py_hash_t value_hash = known_hash(entry[1]);
        if (value_hash == -1) {
            PyRef value = PyRef::borrow(entry[1]);
            value_hash = PyObject_Hash(value.get());
            if (value_hash == -1) {
                return -1;
            }
            in_place = dict_entries(dict, &entries);
        }
        sum += entry_hash(static_cast<uint64_t>(key_hash), static_cast<uint64_t>(value_hash));
    }
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!add_entry_hash(key, value, &sum)) {
            return -1;
        }
    }
    return static_cast<int64_t>(sum);
}

// The hash of a private dict that holds `data_size` entries as far as its
// owner is concerned (none for the null mapping).
inline int64_t compute_dict_hash(PyObject *dict, Py_ssize_t data_size) {
    if (data_size == 0) {
        return 0;
    }
    PyRef data = PyRef::borrow(dict);
    return combined_entry_hashes(data.get());
}

// Every immutable type refuses mutation with this error.
inline void set_immutable_error(PyObject *self) {
    PyErr_Format(PyExc_TypeError, "Cannot modify immutable type: %s", Py_TYPE(self)->tp_name);
}

inline int is_path_type(PyObject *obj) {
    // isinstance may run code that releases the module's reference.
    PyRef path_type = PyRef::borrow(g_PathType);
    return PyObject_IsInstance(obj, path_type.get());
}

inline PyObject *hashable_get_frozen(PyObject *self, void *) {
    return PyBool_FromLong(as_hashable_head(self)->frozen ? 1 : 0);
}

inline PyObject *hashable_get_cacheable(PyObject *self, void *) {
    return PyBool_FromLong(as_hashable_head(self)->cacheable ? 1 : 0);
}

// The __reduce__ value that rebuilds `self` by calling its class with `args`.
// An instance of a Python subclass also carries what its __getstate__ gives
// (instance dict and slots), which unpickling and copy apply afterwards.
inline PyObject *reduce_to_constructor(PyObject *self, PyTypeObject *native_type, PyObject *args) {
    // __getstate__ may reassign __class__ and so free the class: hold it.
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    if (Py_TYPE(self) == native_type) {
        return PyTuple_Pack(2, type.get(), args);
    }
    PyRef state(PyObject_CallMethod(self, "__getstate__", nullptr));
    return state ? PyTuple_Pack(3, type.get(), args, state.get()) : nullptr;
}

// Calls `type` the generic way (its __new__ and __init__, with their own
// messages) with vectorcall arguments: the fallback of a type's fast
// vectorcall constructor, kept out of line so that the fast path stays lean.
[[gnu::noinline]] inline PyObject *call_type_generically(PyObject *type,
                                                         PyObject *const *args,
                                                         size_t nargsf,
                                                         PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyRef arguments(PyTuple_New(nargs));
    if (!arguments) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        PyTuple_SET_ITEM(arguments.get(), i, Py_NewRef(args[i]));
    }
    PyRef keywords;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count > 0) {
        keywords = PyRef(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
    }
    for (Py_ssize_t i = 0; i < keyword_count; i++) {
        if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
            return nullptr;
        }
    }
    return PyType_Type.tp_call(type, arguments.get(), keywords.get());
}
