// Reads a dict's entries straight from its entry table, in PyDict_Next's
// order, without PyDict_Next's per-entry call and checks: the hot loops of
// FrozenDict construction and hashing spend most of their time there.
//
// The table layout is the interpreter's own, mirrored for the versions it is
// known to hold on (3.11 to 3.15, with the interpreter lock); it is compared
// with PyDict_Next once at import (dict_storage_verify), and a dict it cannot
// describe (a split table, an unknown kind) is reported as such, so callers
// always keep the PyDict_Next loop as their fallback.
#pragma once

#include "compat.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000
#define QUILLET_DICT_STORAGE 1
#endif

// The key and value slots of a combined table's entries: entry i has its key
// at keys[i * stride] and its value right after it; a deleted entry's value is null.
struct DictEntries {
    PyObject *const *keys;
    Py_ssize_t count;
    Py_ssize_t stride;
    bool str_keys;  // every key is an exact str
};

// Set once the layout below has been seen to agree with PyDict_Next.
inline bool g_dict_storage_verified = false;

#ifdef QUILLET_DICT_STORAGE
// The header of the interpreter's keys object, which the entries follow
// after its index table of 2^log2_index_bytes bytes.
struct DictKeysHeader {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0: any keys, (hash, key, value) entries; 1: str keys, (key, value)
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
#endif

// The entries of a dict (or subclass, or frozendict) whose table can be read
// in place; false when only PyDict_Next can tell.
inline bool dict_entries(PyObject *dict, DictEntries *entries) {
#ifdef QUILLET_DICT_STORAGE
    const auto *object = reinterpret_cast<PyDictObject *>(dict);
    if (!g_dict_storage_verified || object->ma_values != nullptr) {
        return false;
    }
    const auto *header = reinterpret_cast<const DictKeysHeader *>(object->ma_keys);
    if (header->kind > 1) {
        return false;
    }
    const char *table = header->indices + (size_t{1} << header->log2_index_bytes);
    const bool with_hash = header->kind == 0;
    entries->keys = reinterpret_cast<PyObject *const *>(table) + (with_hash ? 1 : 0);
    entries->count = header->nentries;
    entries->stride = with_hash ? 3 : 2;
    entries->str_keys = !with_hash;
    return true;
#else
    (void)dict;
    (void)entries;
    return false;
#endif
}

// The hash of the key of a live entry, as the table stores it: in the entry
// itself, or cached in the exact str key of a table of str keys.
inline Py_hash_t stored_key_hash(const DictEntries &entries, PyObject *const *entry) {
    if (entries.str_keys) {
        return PyUnstable_Unicode_GET_CACHED_HASH(entry[0]);
    }
    return *reinterpret_cast<const Py_hash_t *>(entry - 1);  // the entry's hash field
}

enum class StrLookup { FOUND, ABSENT, UNDECIDED };

#ifdef QUILLET_DICT_STORAGE
// Slot `slot` of the index table: an entry index, -1 for an empty slot or
// -2 for a deleted one; the width grows with the table.
inline Py_ssize_t dict_index_at(const DictKeysHeader *header, size_t slot) {
    switch (header->log2_index_bytes - header->log2_size) {
    case 0:
        return reinterpret_cast<const int8_t *>(header->indices)[slot];
    case 1:
        return reinterpret_cast<const int16_t *>(header->indices)[slot];
    case 2:
        return reinterpret_cast<const int32_t *>(header->indices)[slot];
    default:
        return static_cast<Py_ssize_t>(reinterpret_cast<const int64_t *>(header->indices)[slot]);
    }
}
#endif

// Whether two exact strs hold the same text; such strs are in their
// narrowest kind, so equal texts have equal kinds.
inline bool same_text(PyObject *a, PyObject *b) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind) == 0;
}

// Looks an exact str up in a table of str keys by its cached hash, where
// comparing keys runs no code: FOUND with the value (borrowed) in *value,
// ABSENT, or UNDECIDED when only the dict's own lookup can tell (another
// table kind, a hash not yet cached). The probe sequence is the interpreter's.
inline StrLookup dict_lookup_str(PyObject *dict, PyObject *key, PyObject **value) {
#ifdef QUILLET_DICT_STORAGE
    const auto *object = reinterpret_cast<PyDictObject *>(dict);
    if (!g_dict_storage_verified || !PyUnicode_CheckExact(key) || object->ma_values != nullptr) {
        return StrLookup::UNDECIDED;
    }
    const auto *header = reinterpret_cast<const DictKeysHeader *>(object->ma_keys);
    const Py_hash_t hash = PyUnstable_Unicode_GET_CACHED_HASH(key);
    if (header->kind != 1 || hash == -1) {
        return StrLookup::UNDECIDED;
    }
    const auto *entries =
        reinterpret_cast<PyObject *const *>(header->indices + (size_t{1} << header->log2_index_bytes));
    const size_t mask = (size_t{1} << header->log2_size) - 1;
    size_t perturb = static_cast<size_t>(hash);
    // A table always keeps a third of its slots empty, so the probe ends.
    for (size_t slot = perturb & mask;; slot = (slot * 5 + perturb + 1) & mask) {
        const Py_ssize_t index = dict_index_at(header, slot);
        if (index == -1) {
            return StrLookup::ABSENT;
        }
        if (index >= 0) {
            PyObject *const *entry = entries + 2 * index;
            if (entry[0] == nullptr || entry[1] == nullptr) {
                return StrLookup::UNDECIDED;
            }
            if (entry[0] == key || (PyUnstable_Unicode_GET_CACHED_HASH(entry[0]) == hash && same_text(entry[0], key))) {
                *value = entry[1];
                return StrLookup::FOUND;
            }
        }
        perturb >>= 5;
    }
#else
    (void)dict;
    (void)key;
    (void)value;
    return StrLookup::UNDECIDED;
#endif
}

// 1 when looking `text` up in place gives `expected` (null: absent), 0 when
// not; `text` is a new str, so only its text can match.
inline int dict_lookup_gives(PyObject *dict, PyObject *text, PyObject *expected) {
    if (text == nullptr || PyObject_Hash(text) == -1) {
        Py_XDECREF(text);
        PyErr_Clear();
        return 0;
    }
    PyObject *found = nullptr;
    const StrLookup outcome = dict_lookup_str(dict, text, &found);
    Py_DECREF(text);
    return expected != nullptr ? outcome == StrLookup::FOUND && found == expected : outcome == StrLookup::ABSENT;
}

// 1 when looking up every str key of `dict` in place, as itself and as an
// equal str, finds its value, and a str that is not a key is absent; 0 when not.
inline int dict_lookup_agrees(PyObject *dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value, *found;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (PyUnicode_CheckExact(key) && (dict_lookup_str(dict, key, &found) != StrLookup::FOUND || found != value ||
                                          !dict_lookup_gives(dict, PyUnicode_FromFormat("%U", key), value))) {
            return 0;
        }
    }
    return dict_lookup_gives(dict, PyUnicode_FromString("absent from every probe"), nullptr);
}

// 1 when reading `dict` in place gives what PyDict_Next gives, entry by
// entry, with the key's hash and with PyDict_Next's position just past the
// entry's index, so that a walk can hand over from one to the other; 0 when not.
inline int dict_storage_agrees(PyObject *dict) {
    DictEntries entries;
    if (!dict_entries(dict, &entries)) {
        return 0;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t index = 0; index < entries.count; ++index) {
        PyObject *const *entry = entries.keys + index * entries.stride;
        if (entry[1] != nullptr && (!PyDict_Next(dict, &pos, &key, &value) || key != entry[0] || value != entry[1] ||
                                    pos != index + 1 || stored_key_hash(entries, entry) != PyObject_Hash(key))) {
            return 0;
        }
    }
    return !PyDict_Next(dict, &pos, &key, &value);
}

// A probe dict: `size` entries whose keys are str (or ints, when `str_keys`
// is false, which gives the other table kind); above two entries, every
// other one is deleted once all are in, so that the probe sequences of
// many of the keys that stay cross deleted slots. Null with an exception set.
inline PyObject *dict_storage_probe(Py_ssize_t size, bool str_keys) {
    PyObject *dict = PyDict_New();
    for (Py_ssize_t i = 0; dict != nullptr && i < size; ++i) {
        PyObject *key = str_keys ? PyUnicode_FromFormat("k%zd", i) : PyLong_FromSsize_t(i);
        if (key == nullptr || PyDict_SetItem(dict, key, key) < 0) {
            Py_CLEAR(dict);
        }
        Py_XDECREF(key);
    }
    for (Py_ssize_t i = 1; dict != nullptr && size > 2 && i < size; i += 2) {
        PyObject *key = str_keys ? PyUnicode_FromFormat("k%zd", i) : PyLong_FromSsize_t(i);
        if (key == nullptr || PyDict_DelItem(dict, key) < 0) {
            Py_CLEAR(dict);
        }
        Py_XDECREF(key);
    }
    return dict;
}

// Turns the in-place reads on if they agree with PyDict_Next, and lookups
// with the dict's own, over dicts of both kinds and of one- and two-byte
// index tables, with and without deleted entries; -1 with an exception set
// when a probe cannot be built.
inline int dict_storage_verify() {
#ifdef QUILLET_DICT_STORAGE
    if (g_dict_storage_verified) {
        return 0;
    }
    g_dict_storage_verified = true;
    for (const Py_ssize_t size : {0, 2, 40, 300}) {
        for (const bool str_keys : {true, false}) {
            PyObject *probe = dict_storage_probe(size, str_keys);
            if (probe == nullptr) {
                g_dict_storage_verified = false;
                return -1;
            }
            g_dict_storage_verified =
                g_dict_storage_verified && dict_storage_agrees(probe) && (!str_keys || dict_lookup_agrees(probe));
            Py_DECREF(probe);
        }
    }
#endif
    return 0;
}
