// quillet.text_walker: TextWalker, a cursor over the code points of a str for
// hand-written scanners. The text is copied once into a private array of
// 32-bit code points so that every read is one array access.
//
// Invariants: index <= length, and index >= 0 unless allow_neg; chars holds
// length + 1 code points, or is null with length 0 (a walker whose initialiser
// never ran). Every read goes through tw_char_at, whose bounds test keeps it
// off the buffer whenever the position is outside [0, length); the code point
// 0 means "no character here". Positions are index + offset pinned to the
// range of Py_ssize_t, so huge offsets land on an end instead of overflowing.
//
// The text can be a str subclass whose instance dict refers back to the
// walker, so walkers are tracked by the cyclic GC. They only traverse: such a
// cycle always runs through the str subclass instance, whose own clear breaks
// it, and the walker never has to live with its text gone.

#include "compat.h"
#include "pyref.h"

// ---------------------------------------------------------------------------
// TextWalker

struct TextWalkerObject {
    PyObject_HEAD
    PyObject *text;
    Py_UCS4 *chars;
    Py_ssize_t index;
    Py_ssize_t length;
    bool allow_neg;
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
    return static_cast<size_t>(position) < static_cast<size_t>(self->length) ? self->chars[position] : 0;
}

static inline void tw_set_index(TextWalkerObject *self, Py_ssize_t n) {
    if (n < 0 && !self->allow_neg) {
        n = 0;
    }
    self->index = n < self->length ? n : self->length;
}

static inline void tw_move(TextWalkerObject *self, Py_ssize_t offset) {
    tw_set_index(self, tw_position(self->index, offset));
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

static inline bool tw_within_bounds(const TextWalkerObject *self) {
    return (self->allow_neg || self->index >= 0) && self->index < self->length;
}

// The empty str for 0, else the one-character str; characters below 256 come
// from the interpreter's shared singletons, as any one-character str would.
static inline PyObject *ucs4_to_str(Py_UCS4 c) {
    return c == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<int>(c));
}

static inline PyObject *tw_bool(bool value) {
    return Py_NewRef(value ? Py_True : Py_False);
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

static int TextWalker_init(PyObject *op, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"text", "allow_negative", nullptr};
    PyObject *text = nullptr;
    int allow_negative = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|U$p", const_cast<char **>(kwlist), &text,
                                     &allow_negative)) {
        return -1;
    }
    PyRef new_text = text != nullptr ? PyRef::borrow(text) : PyRef(PyUnicode_New(0, 0));
    if (!new_text) {
        return -1;
    }
    // Copy before touching the walker, so that a failure leaves it as it was.
    Py_UCS4 *chars = PyUnicode_AsUCS4Copy(new_text.get());
    if (chars == nullptr) {
        return -1;
    }
    TextWalkerObject *self = as_walker(op);
    PyMem_Free(self->chars);
    self->chars = chars;
    PyObject *old_text = std::exchange(self->text, new_text.release());
    self->length = PyUnicode_GET_LENGTH(self->text);
    self->index = 0;
    self->allow_neg = allow_negative != 0;
    // Released last: a str subclass's __del__ may run code that uses this walker.
    Py_XDECREF(old_text);
    return 0;
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
    PyMem_Free(self->chars);
    self->chars = nullptr;
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
    tw_move(as_walker(op), offset);
    Py_RETURN_NONE;
}

static PyObject *TextWalker_set_index_method(PyObject *op, PyObject *arg) {
    Py_ssize_t index;
    if (!tw_as_ssize(arg, &index)) {
        return nullptr;
    }
    tw_set_index(as_walker(op), index);
    Py_RETURN_NONE;
}

static PyObject *TextWalker_tick(PyObject *op, PyObject *) {
    tw_move(as_walker(op), 1);
    Py_RETURN_NONE;
}

static PyObject *TextWalker_tock(PyObject *op, PyObject *) {
    tw_move(as_walker(op), -1);
    Py_RETURN_NONE;
}

static PyObject *TextWalker_head(PyObject *op, PyObject *) {
    as_walker(op)->index = 0;
    Py_RETURN_NONE;
}

static PyObject *TextWalker_tail(PyObject *op, PyObject *) {
    TextWalkerObject *self = as_walker(op);
    self->index = self->length > 0 ? self->length - 1 : 0;
    Py_RETURN_NONE;
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

template <typename Unit>
static bool codepoints_equal(const Py_UCS4 *chars, const void *data, Py_ssize_t count) {
    const Unit *units = static_cast<const Unit *>(data);
    for (Py_ssize_t i = 0; i < count; i++) {
        if (chars[i] != units[i]) {
            return false;
        }
    }
    return true;
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
    // Here 0 <= index and index + count <= length, with count >= 1: all in the buffer.
    const Py_UCS4 *chars = self->chars + self->index;
    const void *data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return tw_bool(codepoints_equal<Py_UCS1>(chars, data, count));
    case PyUnicode_2BYTE_KIND:
        return tw_bool(codepoints_equal<Py_UCS2>(chars, data, count));
    default:
        return tw_bool(codepoints_equal<Py_UCS4>(chars, data, count));
    }
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
    tw_set_index(as_walker(op), index);
    return 0;
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

static PyObject *TextWalker_get_within_bounds(PyObject *op, void *) {
    return tw_bool(tw_within_bounds(as_walker(op)));
}

static PyObject *TextWalker_get_current(PyObject *op, void *) {
    const TextWalkerObject *self = as_walker(op);
    if (!tw_within_bounds(self)) {
        PyErr_SetString(PyExc_IndexError, "Cursor index out of bounds");
        return nullptr;
    }
    return ucs4_to_str(tw_current_char(self));
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
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef TextWalker_getset[] = {
    {"collection", TextWalker_get_collection, nullptr, nullptr, nullptr},
    {"index", TextWalker_get_index, TextWalker_set_index, nullptr, nullptr},
    {"size", TextWalker_get_size, nullptr, nullptr, nullptr},
    {"is_empty", TextWalker_get_is_empty, nullptr, nullptr, nullptr},
    {"not_empty", TextWalker_get_not_empty, nullptr, nullptr, nullptr},
    {"within_bounds", TextWalker_get_within_bounds, nullptr, nullptr, nullptr},
    {"current", TextWalker_get_current, nullptr, nullptr, nullptr},
    {"head_value", TextWalker_get_head_value, nullptr, nullptr, nullptr},
    {"tail_value", TextWalker_get_tail_value, nullptr, nullptr, nullptr},
    {"allow_neg", TextWalker_get_allow_neg, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot TextWalker_slots[] = {
    {Py_tp_init, (void *)TextWalker_init},
    {Py_tp_dealloc, (void *)TextWalker_dealloc},
    {Py_tp_traverse, (void *)TextWalker_traverse},
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
    if (!module || create_type_once(g_walker_type, &TextWalker_spec, nullptr) < 0 ||
        PyModule_AddObjectRef(module.get(), "TextWalker", reinterpret_cast<PyObject *>(g_walker_type)) < 0) {
        return nullptr;
    }
    return module.release();
}
