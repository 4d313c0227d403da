// quillet.text_walker: TextWalker, a cursor over the code points of a str for
// hand-written scanners. The walker reads the str's own storage (one, two or
// four bytes per code point) through the reference it holds: no copy.
//
// Invariants: index <= length, and index >= 0 unless allow_neg; data and kind
// describe text's storage, or data is null with length 0 (a walker whose
// initialiser never ran). Every read goes through tw_char_at, whose bounds
// test keeps it off the storage whenever the position is outside [0, length);
// the code point 0 means "no character here". Positions are index + offset
// pinned to the range of Py_ssize_t, so huge offsets land on an end instead of
// overflowing.
//
// within_bounds and current are plain members, refreshed by tw_store_index at
// every index change, so that reading them takes the interpreter's fast path
// for slots. current is null outside the bounds; the type's __getattr__ then
// raises the IndexError a reader expects (subclasses, whose own __getattr__
// would answer instead, read both through getters). The member descriptors are added to
// the type's dict rather than its member table, which keeps the walker out of
// is_object()'s answer.
//
// The text can be a str subclass whose instance dict refers back to the
// walker, so walkers are tracked by the cyclic GC. They only traverse: such a
// cycle always runs through the str subclass instance, whose own clear breaks
// it, and the walker never has to live with its text gone. current is always
// an exact str, which refers to nothing.

#include "compat.h"
#include "pyref.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

// ---------------------------------------------------------------------------
// TextWalker

struct TextWalkerObject {
    PyObject_HEAD
    PyObject *text;
    const void *data;
    Py_ssize_t index;
    Py_ssize_t length;
    int kind;
    bool allow_neg;
    PyObject *within_bounds;
    PyObject *current;
};

static inline TextWalkerObject *as_walker(PyObject *self) {
    return reinterpret_cast<TextWalkerObject *>(self);
}

// index + offset, saturated at the ends of the Py_ssize_t range.
static inline Py_ssize_t tw_position(Py_ssize_t index, Py_ssize_t offset) {
    Py_ssize_t sum;
    if (__builtin_add_overflow(index, offset, &sum)) {
        return offset > 0 ? PY_SSIZE_T_MAX : PY_SSIZE_T_MIN;
    }
    return sum;
}

static inline Py_UCS4 tw_char_at(const TextWalkerObject *self, Py_ssize_t position) {
    // One unsigned comparison rejects negative positions as well.
    if (static_cast<size_t>(position) >= static_cast<size_t>(self->length)) {
        return 0;
    }
    return PyUnicode_READ(self->kind, self->data, position);
}

static inline Py_UCS4 tw_peek_char(const TextWalkerObject *self, Py_ssize_t offset) {
    return tw_char_at(self, tw_position(self->index, offset));
}

static inline Py_UCS4 tw_current_char(const TextWalkerObject *self) {
    return tw_char_at(self, self->index);
}

static inline Py_UCS4 tw_head_char(const TextWalkerObject *self) {
    return tw_char_at(self, 0);
}

static inline Py_UCS4 tw_tail_char(const TextWalkerObject *self) {
    return tw_char_at(self, self->length - 1);
}

static inline bool tw_within_bounds_at(const TextWalkerObject *self, Py_ssize_t index) {
    return (self->allow_neg || index >= 0) && index < self->length;
}

// The empty str for 0, else the one-character str; characters below 256 come
// from the interpreter's shared singletons, as any one-character str would.
static inline PyObject *ucs4_to_str(Py_UCS4 c) {
    return c == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<int>(c));
}

static inline PyObject *tw_bool(bool value) {
    return Py_NewRef(value ? Py_True : Py_False);
}

// The value of the current member at index: null outside the bounds.
// Returns false with an exception pending when the str cannot be made.
static inline bool tw_current_at(const TextWalkerObject *self, Py_ssize_t index, PyObject **out) {
    *out = nullptr;
    if (!tw_within_bounds_at(self, index)) {
        return true;
    }
    *out = ucs4_to_str(tw_char_at(self, index));
    return *out != nullptr;
}

// Moves to index as given (no clamping) and refreshes the members; on failure
// (out of memory) the walker is unchanged. Releasing the old members runs no
// Python code: they are exact strs and bools.
static inline int tw_store_index(TextWalkerObject *self, Py_ssize_t index) {
    PyObject *current;
    if (!tw_current_at(self, index, &current)) {
        return -1;
    }
    self->index = index;
    Py_XSETREF(self->current, current);
    Py_XSETREF(self->within_bounds, tw_bool(current != nullptr));
    return 0;
}

static inline int tw_set_index(TextWalkerObject *self, Py_ssize_t n) {
    if (n < 0 && !self->allow_neg) {
        n = 0;
    }
    return tw_store_index(self, n < self->length ? n : self->length);
}

static inline int tw_move(TextWalkerObject *self, Py_ssize_t offset) {
    return tw_set_index(self, tw_position(self->index, offset));
}

static inline PyObject *tw_none_or_error(int status) {
    if (status < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Converts an int argument (no __index__); false with an exception pending.
static inline bool tw_as_ssize(PyObject *arg, Py_ssize_t *out) {
    const Py_ssize_t value = PyLong_AsSsize_t(arg);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = value;
    return true;
}

// First code point of a str read straight from its storage; 0 for anything
// else, which then never matches.
static inline Py_UCS4 first_codepoint(PyObject *s) {
    if (!PyUnicode_Check(s) || PyUnicode_GET_LENGTH(s) == 0) {
        return 0;
    }
    return PyUnicode_READ(PyUnicode_KIND(s), PyUnicode_DATA(s), 0);
}

static inline PyObject *tw_char_equals(Py_UCS4 t, PyObject *s) {
    return tw_bool(t != 0 && first_codepoint(s) == t);
}

// Points the walker at text (a new reference it takes over) with the given
// flag and index; on failure the walker is unchanged and text released.
static int tw_reset(TextWalkerObject *self, PyObject *text, bool allow_neg, Py_ssize_t index) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    index = std::min(index < 0 && !allow_neg ? 0 : index, length);
    PyObject *current = nullptr;
    if ((allow_neg || index >= 0) && index < length) {
        current = ucs4_to_str(index >= 0 ? PyUnicode_READ_CHAR(text, index) : 0);
        if (current == nullptr) {
            Py_DECREF(text);
            return -1;
        }
    }
    PyObject *old_text = std::exchange(self->text, text);
    self->data = PyUnicode_DATA(text);
    self->kind = PyUnicode_KIND(text);
    self->length = length;
    self->allow_neg = allow_neg;
    self->index = index;
    Py_XSETREF(self->current, current);
    Py_XSETREF(self->within_bounds, tw_bool(current != nullptr));
    // Released last: a str subclass's __del__ may run code that uses this walker.
    Py_XDECREF(old_text);
    return 0;
}

static int TextWalker_init(PyObject *op, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"text", "allow_negative", "index", nullptr};
    PyObject *text = nullptr;
    int allow_negative = 0;
    PyObject *index_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "|U$pO", const_cast<char **>(kwlist), &text, &allow_negative, &index_arg)) {
        return -1;
    }
    Py_ssize_t index = 0;
    if (index_arg != nullptr && !tw_as_ssize(index_arg, &index)) {
        return -1;
    }
    PyObject *new_text = text != nullptr ? Py_NewRef(text) : PyUnicode_New(0, 0);
    if (new_text == nullptr) {
        return -1;
    }
    return tw_reset(as_walker(op), new_text, allow_negative != 0, index);
}

static int TextWalker_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(as_walker(op)->text);
    return 0;
}

static void TextWalker_dealloc(PyObject *op) {
    TextWalkerObject *self = as_walker(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    self->data = nullptr;
    self->length = 0;
    Py_CLEAR(self->current);
    Py_CLEAR(self->within_bounds);
    Py_CLEAR(self->text);
    type->tp_free(op);
    Py_DECREF(type);
}

static PyObject *TextWalker_peek(PyObject *op, PyObject *arg) {
    Py_ssize_t offset;
    if (!tw_as_ssize(arg, &offset)) {
        return nullptr;
    }
    return ucs4_to_str(tw_peek_char(as_walker(op), offset));
}

static PyObject *TextWalker_move(PyObject *op, PyObject *arg) {
    Py_ssize_t offset;
    if (!tw_as_ssize(arg, &offset)) {
        return nullptr;
    }
    return tw_none_or_error(tw_move(as_walker(op), offset));
}

static PyObject *TextWalker_set_index_method(PyObject *op, PyObject *arg) {
    Py_ssize_t index;
    if (!tw_as_ssize(arg, &index)) {
        return nullptr;
    }
    return tw_none_or_error(tw_set_index(as_walker(op), index));
}

static PyObject *TextWalker_tick(PyObject *op, PyObject *) {
    return tw_none_or_error(tw_move(as_walker(op), 1));
}

static PyObject *TextWalker_tock(PyObject *op, PyObject *) {
    return tw_none_or_error(tw_move(as_walker(op), -1));
}

static PyObject *TextWalker_head(PyObject *op, PyObject *) {
    return tw_none_or_error(tw_store_index(as_walker(op), 0));
}

static PyObject *TextWalker_tail(PyObject *op, PyObject *) {
    TextWalkerObject *self = as_walker(op);
    return tw_none_or_error(tw_store_index(self, self->length > 0 ? self->length - 1 : 0));
}

static PyObject *TextWalker_is_char(PyObject *op, PyObject *s) {
    return tw_char_equals(tw_current_char(as_walker(op)), s);
}

static PyObject *TextWalker_prev_char_equals(PyObject *op, PyObject *s) {
    return tw_char_equals(tw_peek_char(as_walker(op), -1), s);
}

static PyObject *TextWalker_next_char_equals(PyObject *op, PyObject *s) {
    return tw_char_equals(tw_peek_char(as_walker(op), 1), s);
}

static PyObject *TextWalker_n_char_equals(PyObject *op, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "n_char_equals() takes exactly 2 arguments");
        return nullptr;
    }
    Py_ssize_t offset;
    if (!tw_as_ssize(args[0], &offset)) {
        return nullptr;
    }
    return tw_char_equals(tw_peek_char(as_walker(op), offset), args[1]);
}

static PyObject *TextWalker_head_equals(PyObject *op, PyObject *s) {
    return tw_char_equals(tw_head_char(as_walker(op)), s);
}

static PyObject *TextWalker_tail_equals(PyObject *op, PyObject *s) {
    return tw_char_equals(tw_tail_char(as_walker(op)), s);
}

template <typename A, typename B>
static bool codepoints_equal(const void *a, const void *b, Py_ssize_t count) {
    const A *left = static_cast<const A *>(a);
    const B *right = static_cast<const B *>(b);
    for (Py_ssize_t i = 0; i < count; i++) {
        if (left[i] != right[i]) {
            return false;
        }
    }
    return true;
}

template <typename A>
static bool codepoints_equal_to(const void *a, PyObject *s, Py_ssize_t count) {
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return codepoints_equal<A, Py_UCS1>(a, PyUnicode_DATA(s), count);
    case PyUnicode_2BYTE_KIND:
        return codepoints_equal<A, Py_UCS2>(a, PyUnicode_DATA(s), count);
    default:
        return codepoints_equal<A, Py_UCS4>(a, PyUnicode_DATA(s), count);
    }
}

static PyObject *TextWalker_matches_ahead(PyObject *op, PyObject *s) {
    if (!PyUnicode_Check(s)) {
        PyErr_SetString(PyExc_TypeError, "argument must be a string");
        return nullptr;
    }
    const TextWalkerObject *self = as_walker(op);
    const Py_ssize_t count = PyUnicode_GET_LENGTH(s);
    if (tw_position(self->index, count) > self->length) {
        Py_RETURN_FALSE;
    }
    if (count == 0) {
        Py_RETURN_TRUE;
    }
    if (self->index < 0) {
        Py_RETURN_FALSE;
    }
    // Here 0 <= index and index + count <= length, with count >= 1: all in the text.
    const char *start = static_cast<const char *>(self->data) + self->index * self->kind;
    switch (self->kind) {
    case PyUnicode_1BYTE_KIND:
        return tw_bool(codepoints_equal_to<Py_UCS1>(start, s, count));
    case PyUnicode_2BYTE_KIND:
        return tw_bool(codepoints_equal_to<Py_UCS2>(start, s, count));
    default:
        return tw_bool(codepoints_equal_to<Py_UCS4>(start, s, count));
    }
}

// The code points of a bulk method's chars argument: a bitmap for Latin-1
// and a sorted array for the rest, so that a test never depends on the size
// of chars for the common case.
class CharSet {
public:
    CharSet() = default;
    CharSet(const CharSet &) = delete;
    CharSet &operator=(const CharSet &) = delete;
    ~CharSet() { PyMem_Free(wide_); }

    // False with an exception pending.
    bool fill(PyObject *chars) {
        const void *data = PyUnicode_DATA(chars);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(chars);
        switch (PyUnicode_KIND(chars)) {
        case PyUnicode_1BYTE_KIND:
            fill_latin1(chars, static_cast<const Py_UCS1 *>(data), length);
            return true;
        case PyUnicode_2BYTE_KIND:
            return fill_units(static_cast<const Py_UCS2 *>(data), length);
        default:
            return fill_units(static_cast<const Py_UCS4 *>(data), length);
        }
    }

    bool contains(Py_UCS4 c) const {
        if (c < 256) {
            return (latin1_[c >> 6] >> (c & 63)) & 1;
        }
        return std::binary_search(wide_, wide_ + wide_count_, c);
    }

private:
    // A scanner passes the same few chars constants over and over, and
    // building a bitmap costs more than passing a short run: the bitmaps of
    // recent short Latin-1 chars are kept with a copy of their text, which a
    // later chars must match. The slot follows the str's address, so that a
    // scanner's constants tend to keep their own slots. Zeroed, a slot holds
    // the empty chars, whose bitmap is empty.
    struct RecentSet {
        Py_ssize_t length;
        Py_UCS1 text[64];
        uint64_t bits[4];
    };
    static inline RecentSet recent_[8];

    void fill_latin1(PyObject *chars, const Py_UCS1 *units, Py_ssize_t length) {
        if (length > static_cast<Py_ssize_t>(sizeof(RecentSet::text))) {
            fill_units(units, length);  // Latin-1 only: allocates nothing, cannot fail
            return;
        }
        RecentSet &recent = recent_[(reinterpret_cast<uintptr_t>(chars) >> 4) % std::size(recent_)];
        if (recent.length == length && memcmp(recent.text, units, static_cast<size_t>(length)) == 0) {
            std::copy(recent.bits, recent.bits + 4, latin1_);
            return;
        }
        fill_units(units, length);
        recent.length = length;
        memcpy(recent.text, units, static_cast<size_t>(length));
        std::copy(latin1_, latin1_ + 4, recent.bits);
    }

    template <typename Unit>
    bool fill_units(const Unit *units, Py_ssize_t length) {
        uint64_t bits[4] = {};
        Py_ssize_t wide = 0;
        for (Py_ssize_t i = 0; i < length; i++) {
            const Py_UCS4 c = units[i];
            if (c < 256) {
                bits[c >> 6] |= uint64_t{1} << (c & 63);
            } else {
                wide++;
            }
        }
        std::copy(bits, bits + 4, latin1_);
        if (wide == 0) {
            return true;
        }
        wide_ = PyMem_New(Py_UCS4, wide);
        if (wide_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        for (Py_ssize_t i = 0; i < length; i++) {
            const Py_UCS4 c = units[i];
            if (c >= 256) {
                wide_[wide_count_++] = c;
            }
        }
        std::sort(wide_, wide_ + wide_count_);
        return true;
    }

    uint64_t latin1_[4] = {};
    Py_UCS4 *wide_ = nullptr;
    Py_ssize_t wide_count_ = 0;
};

// The first position from `from` on whose membership in set differs from
// in_set, or length.
template <typename Unit>
static Py_ssize_t scan_units(const void *data, Py_ssize_t from, Py_ssize_t length, const CharSet &set, bool in_set) {
    const Unit *units = static_cast<const Unit *>(data);
    Py_ssize_t i = from;
    while (i < length && set.contains(units[i]) == in_set) {
        i++;
    }
    return i;
}

// Where a bulk method stops: the code points it passes are (in_set) or are
// not in chars. A position before the start of the text holds no character,
// so it is never in chars. False with an exception pending.
static bool tw_scan(const TextWalkerObject *self, PyObject *chars, bool in_set, const char *name, Py_ssize_t *stop) {
    if (!PyUnicode_Check(chars)) {
        PyErr_Format(PyExc_TypeError, "%s() argument must be str, not %.200s", name, Py_TYPE(chars)->tp_name);
        return false;
    }
    if (self->index < 0 && in_set) {
        *stop = self->index;
        return true;
    }
    CharSet set;
    if (!set.fill(chars)) {
        return false;
    }
    const Py_ssize_t from = std::max<Py_ssize_t>(self->index, 0);
    switch (self->kind) {
    case PyUnicode_1BYTE_KIND:
        *stop = scan_units<Py_UCS1>(self->data, from, self->length, set, in_set);
        break;
    case PyUnicode_2BYTE_KIND:
        *stop = scan_units<Py_UCS2>(self->data, from, self->length, set, in_set);
        break;
    default:
        *stop = scan_units<Py_UCS4>(self->data, from, self->length, set, in_set);
        break;
    }
    return true;
}

// Moves to stop and returns how many positions were passed. The count is
// taken unsigned: from a very negative index it can exceed PY_SSIZE_T_MAX.
static PyObject *tw_skip(TextWalkerObject *self, PyObject *chars, bool in_set, const char *name) {
    Py_ssize_t stop;
    if (!tw_scan(self, chars, in_set, name, &stop)) {
        return nullptr;
    }
    const size_t passed = static_cast<size_t>(stop) - static_cast<size_t>(self->index);
    if (tw_store_index(self, stop) < 0) {
        return nullptr;
    }
    return PyLong_FromSize_t(passed);
}

static PyObject *TextWalker_skip_while(PyObject *op, PyObject *chars) {
    return tw_skip(as_walker(op), chars, true, "skip_while");
}

static PyObject *TextWalker_skip_until(PyObject *op, PyObject *chars) {
    return tw_skip(as_walker(op), chars, false, "skip_until");
}

static PyObject *TextWalker_take_until(PyObject *op, PyObject *chars) {
    TextWalkerObject *self = as_walker(op);
    Py_ssize_t stop;
    if (!tw_scan(self, chars, false, "take_until", &stop)) {
        return nullptr;
    }
    // Positions before the start pass without adding text.
    const Py_ssize_t from = std::max<Py_ssize_t>(self->index, 0);
    PyRef taken(from < stop ? PyUnicode_Substring(self->text, from, stop) : PyUnicode_New(0, 0));
    if (!taken || tw_store_index(self, stop) < 0) {
        return nullptr;
    }
    return taken.release();
}

static inline bool tw_has_dict(PyTypeObject *type) {
    return type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
}

// Whether a subclass keeps __slots__ values past the walker's fields, where
// the state below cannot reach them.
static inline bool tw_has_slots(PyTypeObject *type) {
    Py_ssize_t size = type->tp_basicsize;
    size -= type->tp_dictoffset > 0 ? sizeof(PyObject *) : 0;
    size -= type->tp_weaklistoffset > 0 ? sizeof(PyObject *) : 0;
    return size > static_cast<Py_ssize_t>(sizeof(TextWalkerObject));
}

// The state is (text, index, allow_negative), plus the instance dict of a
// subclass when it holds anything; unpickling and copying rebuild from it
// without calling a subclass's __init__, as for any Python object.
static PyObject *TextWalker_getstate(PyObject *op, PyObject *) {
    TextWalkerObject *self = as_walker(op);
    if (tw_has_slots(Py_TYPE(op))) {
        PyErr_Format(
            PyExc_TypeError, "cannot pickle '%.200s' object: its __slots__ would be lost", Py_TYPE(op)->tp_name);
        return nullptr;
    }
    PyRef text(self->text != nullptr ? Py_NewRef(self->text) : PyUnicode_New(0, 0));
    PyRef dict(tw_has_dict(Py_TYPE(op)) ? PyObject_GenericGetDict(op, nullptr) : PyDict_New());
    if (!text || !dict) {
        return nullptr;
    }
    PyObject *allow_neg = self->allow_neg ? Py_True : Py_False;
    if (PyDict_GET_SIZE(dict.get()) > 0) {
        return Py_BuildValue("(OnOO)", text.get(), self->index, allow_neg, dict.get());
    }
    return Py_BuildValue("(OnO)", text.get(), self->index, allow_neg);
}

static PyObject *TextWalker_setstate(PyObject *op, PyObject *state) {
    PyObject *text = nullptr;
    PyObject *index_arg = nullptr;
    PyObject *allow_arg = nullptr;
    PyObject *dict = nullptr;
    if (!PyTuple_Check(state) ||
        !PyArg_ParseTuple(state, "UOO|O!", &text, &index_arg, &allow_arg, &PyDict_Type, &dict) ||
        (dict != nullptr && !tw_has_dict(Py_TYPE(op)))) {
        PyErr_SetString(PyExc_TypeError, "__setstate__() argument must be a (text, index, allow_negative) tuple");
        return nullptr;
    }
    Py_ssize_t index;
    if (!tw_as_ssize(index_arg, &index)) {
        return nullptr;
    }
    // The state tuple keeps text and dict alive while the truth test runs code.
    const int allow_neg = PyObject_IsTrue(allow_arg);
    if (allow_neg < 0 || tw_reset(as_walker(op), Py_NewRef(text), allow_neg != 0, index) < 0) {
        return nullptr;
    }
    if (dict != nullptr) {
        PyRef own(PyObject_GenericGetDict(op, nullptr));
        if (!own || PyDict_Update(own.get(), dict) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

static constexpr Py_ssize_t REPR_TEXT_LIMIT = 20;

static PyObject *TextWalker_repr(PyObject *op) {
    TextWalkerObject *self = as_walker(op);
    PyRef name(PyType_GetName(Py_TYPE(op)));
    if (!name) {
        return nullptr;
    }
    const Py_ssize_t shown = std::min(self->length, REPR_TEXT_LIMIT);
    // An exact str, whose repr cannot reach a subclass's __repr__ (and through
    // it this walker again).
    PyRef head(self->text != nullptr ? PyUnicode_Substring(self->text, 0, shown) : PyUnicode_New(0, 0));
    if (!head) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%U(%R%s, index=%zd%s)",
                                name.get(),
                                head.get(),
                                shown < self->length ? "..." : "",
                                self->index,
                                self->allow_neg ? ", allow_negative=True" : "");
}

static PyObject *TextWalker_get_current(PyObject *op, void *) {
    PyObject *current = as_walker(op)->current;
    if (current == nullptr) {
        PyErr_SetString(PyExc_IndexError, "Cursor index out of bounds");
        return nullptr;
    }
    return Py_NewRef(current);
}

static PyObject *TextWalker_get_within_bounds(PyObject *op, void *) {
    return tw_bool(as_walker(op)->within_bounds == Py_True);
}

// Reached only when the ordinary lookup failed, which for the two members
// means they are null: current outside the bounds, or a walker whose
// initialiser never ran.
static PyObject *TextWalker_getattr(PyObject *op, PyObject *name) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "current") == 0) {
        return TextWalker_get_current(op, nullptr);
    }
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "within_bounds") == 0) {
        return TextWalker_get_within_bounds(op, nullptr);
    }
    return PyObject_GenericGetAttr(op, name);
}

// A subclass's own __getattr__ would answer in place of the one above (and
// hide current's IndexError), so subclasses read the two members through
// these getters instead; the plain type keeps the members' fast path.
static PyGetSetDef TextWalker_subclass_getset[] = {
    {"current", TextWalker_get_current, nullptr, nullptr, nullptr},
    {"within_bounds", TextWalker_get_within_bounds, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Gives a new subclass the getters above for each member it would read
// through the walker type's member descriptor, not for names a class before
// the walker type in its MRO defines (nor to the walker type itself, should
// this be called on it).
static PyObject *TextWalker_init_subclass(PyObject *cls, PyObject *) {
    for (PyGetSetDef *getter = TextWalker_subclass_getset; getter->name != nullptr; getter++) {
        PyRef found(PyObject_GetAttrString(cls, getter->name));
        if (!found) {
            return nullptr;
        }
        if (!Py_IS_TYPE(found.get(), &PyMemberDescr_Type) ||
            PyDescr_TYPE(found.get()) == reinterpret_cast<PyTypeObject *>(cls)) {
            continue;
        }
        PyRef descr(PyDescr_NewGetSet(PyDescr_TYPE(found.get()), getter));
        if (!descr || PyObject_SetAttrString(cls, getter->name, descr.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

static PyObject *TextWalker_get_collection(PyObject *op, void *) {
    PyObject *text = as_walker(op)->text;
    // A walker whose initialiser never ran holds no text and reads as empty.
    return text != nullptr ? Py_NewRef(text) : PyUnicode_New(0, 0);
}

static PyObject *TextWalker_get_index(PyObject *op, void *) {
    return PyLong_FromSsize_t(as_walker(op)->index);
}

static int TextWalker_set_index(PyObject *op, PyObject *value, void *) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete index");
        return -1;
    }
    Py_ssize_t index;
    if (!tw_as_ssize(value, &index)) {
        return -1;
    }
    return tw_set_index(as_walker(op), index);
}

static PyObject *TextWalker_get_size(PyObject *op, void *) {
    return PyLong_FromSsize_t(as_walker(op)->length);
}

static PyObject *TextWalker_get_is_empty(PyObject *op, void *) {
    return tw_bool(as_walker(op)->length == 0);
}

static PyObject *TextWalker_get_not_empty(PyObject *op, void *) {
    return tw_bool(as_walker(op)->length > 0);
}

static PyObject *TextWalker_get_head_value(PyObject *op, void *) {
    const Py_UCS4 c = tw_head_char(as_walker(op));
    if (c == 0) {
        PyErr_SetString(PyExc_IndexError, "Empty text has no head");
        return nullptr;
    }
    return ucs4_to_str(c);
}

static PyObject *TextWalker_get_tail_value(PyObject *op, void *) {
    const Py_UCS4 c = tw_tail_char(as_walker(op));
    if (c == 0) {
        PyErr_SetString(PyExc_IndexError, "Empty text has no tail");
        return nullptr;
    }
    return ucs4_to_str(c);
}

static PyObject *TextWalker_get_allow_neg(PyObject *op, void *) {
    return tw_bool(as_walker(op)->allow_neg);
}

static PyMethodDef TextWalker_methods[] = {
    {"peek", as_method(TextWalker_peek), METH_O, nullptr},
    {"move", as_method(TextWalker_move), METH_O, nullptr},
    {"set_index", as_method(TextWalker_set_index_method), METH_O, nullptr},
    {"tick", as_method(TextWalker_tick), METH_NOARGS, nullptr},
    {"tock", as_method(TextWalker_tock), METH_NOARGS, nullptr},
    {"head", as_method(TextWalker_head), METH_NOARGS, nullptr},
    {"tail", as_method(TextWalker_tail), METH_NOARGS, nullptr},
    {"is_char", as_method(TextWalker_is_char), METH_O, nullptr},
    {"prev_char_equals", as_method(TextWalker_prev_char_equals), METH_O, nullptr},
    {"next_char_equals", as_method(TextWalker_next_char_equals), METH_O, nullptr},
    {"n_char_equals", as_method(TextWalker_n_char_equals), METH_FASTCALL, nullptr},
    {"head_equals", as_method(TextWalker_head_equals), METH_O, nullptr},
    {"tail_equals", as_method(TextWalker_tail_equals), METH_O, nullptr},
    {"matches_ahead", as_method(TextWalker_matches_ahead), METH_O, nullptr},
    {"skip_while", as_method(TextWalker_skip_while), METH_O, nullptr},
    {"skip_until", as_method(TextWalker_skip_until), METH_O, nullptr},
    {"take_until", as_method(TextWalker_take_until), METH_O, nullptr},
    {"__getstate__", as_method(TextWalker_getstate), METH_NOARGS, nullptr},
    {"__setstate__", as_method(TextWalker_setstate), METH_O, nullptr},
    {"__init_subclass__", as_method(TextWalker_init_subclass), METH_NOARGS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef TextWalker_getset[] = {
    {"collection", TextWalker_get_collection, nullptr, nullptr, nullptr},
    {"index", TextWalker_get_index, TextWalker_set_index, nullptr, nullptr},
    {"size", TextWalker_get_size, nullptr, nullptr, nullptr},
    {"is_empty", TextWalker_get_is_empty, nullptr, nullptr, nullptr},
    {"not_empty", TextWalker_get_not_empty, nullptr, nullptr, nullptr},
    {"head_value", TextWalker_get_head_value, nullptr, nullptr, nullptr},
    {"tail_value", TextWalker_get_tail_value, nullptr, nullptr, nullptr},
    {"allow_neg", TextWalker_get_allow_neg, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Added to the type's dict by TextWalker_type_new, not through Py_tp_members.
static PyMemberDef TextWalker_members[] = {
    {"within_bounds", Py_T_OBJECT_EX, offsetof(TextWalkerObject, within_bounds), Py_READONLY, nullptr},
    {"current", Py_T_OBJECT_EX, offsetof(TextWalkerObject, current), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyMethodDef TextWalker_getattr_def = {"__getattr__", as_method(TextWalker_getattr), METH_O, nullptr};

static PyType_Slot TextWalker_slots[] = {
    {Py_tp_init, (void *)TextWalker_init},
    {Py_tp_dealloc, (void *)TextWalker_dealloc},
    {Py_tp_traverse, (void *)TextWalker_traverse},
    {Py_tp_repr, (void *)TextWalker_repr},
    {Py_tp_methods, TextWalker_methods},
    {Py_tp_getset, TextWalker_getset},
    {0, nullptr},
};

static PyType_Spec TextWalker_spec = {
    "quillet.text_walker.TextWalker",
    sizeof(TextWalkerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    TextWalker_slots,
};

// The type from its slot table, then the members and __getattr__. Setting
// __getattr__ through the type (not the method table) is what installs the
// attribute hook that the interpreter's slot fast path still accepts.
static PyObject *TextWalker_type_new() {
    PyRef type(PyType_FromSpec(&TextWalker_spec));
    if (!type) {
        return nullptr;
    }
    PyTypeObject *walker_type = reinterpret_cast<PyTypeObject *>(type.get());
    for (PyMemberDef *member = TextWalker_members; member->name != nullptr; member++) {
        PyRef descr(PyDescr_NewMember(walker_type, member));
        if (!descr || PyObject_SetAttrString(type.get(), member->name, descr.get()) < 0) {
            return nullptr;
        }
    }
    PyRef getattr(PyDescr_NewMethod(walker_type, &TextWalker_getattr_def));
    if (!getattr || PyObject_SetAttrString(type.get(), "__getattr__", getattr.get()) < 0) {
        return nullptr;
    }
    return type.release();
}

// ---------------------------------------------------------------------------
// Module

static PyModuleDef text_walker_module = {
    PyModuleDef_HEAD_INIT,
    "text_walker",
    "Cursor over a UCS4 character buffer. Raw C.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Made once and shared by every module object, so that a walker made through
// one copy of the module is an instance of the class every other copy shows.
static PyTypeObject *g_walker_type;

PyMODINIT_FUNC PyInit_text_walker() {
    if (g_walker_type == nullptr && require_main_interpreter("quillet.text_walker") < 0) {
        return nullptr;
    }
    PyRef module(PyModule_Create2(&text_walker_module, PYTHON_API_VERSION));
    if (!module || (g_walker_type == nullptr && keep_first(g_walker_type, TextWalker_type_new()) < 0) ||
        PyModule_AddObjectRef(module.get(), "TextWalker", reinterpret_cast<PyObject *>(g_walker_type)) < 0) {
        return nullptr;
    }
    return module.release();
}
