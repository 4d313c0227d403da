// Interned strings of the utils module, made once per process so that the
// probes and transforms never build a string per call.
#pragma once

#include "../compat.h"

enum PyString {
    PY_STR_NULL,
    PY_STR_NONE,
    PY_STR_SLOTS,
    PY_STR_DICT,
    PY_STR_KEYS,
    PY_STR_EXISTS,
    PY_STR_PATH,
    PY_STR_PATHLIB,
    PY_STR_HOOK,
    PY_STR_CONTAINER,
    PY_STR_SERVICE,
    PY_STR_RESOURCE,
    PY_STR_SHUTDOWN,
    PY_STR_COUNT,
};

struct StringToIntern {
    const char *c_str;
    PyObject *py_obj;
};

inline StringToIntern g_py_strs[PY_STR_COUNT] = {
    {"null", nullptr},
    {"none", nullptr},
    {"__slots__", nullptr},
    {"__dict__", nullptr},
    {"keys", nullptr},
    {"exists", nullptr},
    {"Path", nullptr},
    {"pathlib", nullptr},
    {"__HAS_HOOK__", nullptr},
    {"__IS_CONTAINER__", nullptr},
    {"service_name", nullptr},
    {"__RESOURCE__", nullptr},
    {"shutdown", nullptr},
};

inline PyObject *py_str(PyString which) {
    return g_py_strs[which].py_obj;
}

// Makes the strings still missing (all of them on the first init; a failed
// init may have stopped part-way). 0 on success, -1 with an exception set at
// the first string that cannot be made.
inline int intern_strings() {
    for (auto &entry : g_py_strs) {
        if (entry.py_obj == nullptr) {
            entry.py_obj = PyUnicode_InternFromString(entry.c_str);
            if (entry.py_obj == nullptr) {
                return -1;
            }
        }
    }
    return 0;
}
