// The attrs module's cache and probes: the (type, shape) key compared by
// identity, its hasher, the process-wide answer cache g_cache and the
// attribute probes that fill it.
#pragma once

#include "../compat.h"
#include "../constants.h"

#include <cobble/collections/core/open_map.hpp>
#include <cobble/hashlib/utils.hpp>

#include <cstddef>
#include <cstdint>

namespace quillet::attrs {

// Tri-state result of a probe.
struct ReturnValue {
    enum Value : std::int32_t {
        IS_ERROR = ::IS_ERROR,  // a Python exception is pending
        IS_FALSE = ::IS_FALSE,
        IS_TRUE = ::IS_TRUE,
    };

    ReturnValue() = default;
    ReturnValue(Value v) : value(v) {}
    operator Value() const { return value; }

    Value value = IS_FALSE;
};

// Keys compare by object identity: equal but distinct tuples are different
// keys. The cache, not the key, owns the references that keep both alive.
// `class_itself` files a class object's own answer apart from the answer for
// its instances, which is filed under the class too.
struct ShapeCheckKey {
    PyTypeObject *type = nullptr;
    PyObject *shape = nullptr;
    bool class_itself = false;

    bool operator==(const ShapeCheckKey &) const = default;
};

struct ShapeCheckHasher {
    [[nodiscard]] std::uint64_t operator()(const ShapeCheckKey &key) const noexcept {
        using namespace Cobble::Hashlib;
        // Type objects are aligned, so the low bit of the address is free.
        const std::uintptr_t type = reinterpret_cast<std::uintptr_t>(key.type) | std::uintptr_t{key.class_itself};
        return hash_combine(mix_hash(type), reinterpret_cast<std::uintptr_t>(key.shape));
    }
};

inline constexpr std::size_t CACHE_CAPACITY = 64;

// Built when the library is loaded. Each entry owns a reference to its type
// and its shape, taken when stored and released by cache_clear() only: the
// destructor at process exit drops none, since the interpreter is gone by then.
// Should its small tables fail to allocate then, the process ends rather
// than the import raising MemoryError.
// NOLINTNEXTLINE(bugprone-throwing-static-initialization)
inline Cobble::Core::OpenMap<ShapeCheckKey, bool, ShapeCheckHasher> g_cache{CACHE_CAPACITY};

// Does obj have the attribute name? An AttributeError counts as missing.
ReturnValue cpp_has_attr(PyObject *obj, PyObject *name);
// Does obj have every attribute named in the tuple shape? Stops at the first
// missing name.
ReturnValue cpp_has_attr_type(PyObject *obj, PyObject *shape);

}  // namespace quillet::attrs
