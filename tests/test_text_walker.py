import copy
import gc
import itertools
import pickle
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillet.text_walker as tw_module
import quillet.utils as qu
from hostile import Boom, RaisingBool
from quillet.text_walker import TextWalker

MIN, MAX = -(2**63), 2**63 - 1
ASTRAL = "\U0001f600"
# One text per storage kind, each with a U+0000 inside.
TEXTS = ["ab\x00\xff", "ab\x00\u20ac", "ab\x00" + ASTRAL]


class Sub(str):
    pass


class NoInit(TextWalker):
    def __init__(self, *args, **kwargs):
        pass


class Fallback(TextWalker):
    def __getattr__(self, name):
        return "fallback-" + name


def test_module_and_type_names():
    assert tw_module.__doc__ == "Cursor over a UCS4 character buffer. Raw C."
    assert TextWalker.__module__ == "quillet.text_walker"
    assert TextWalker.__qualname__ == "TextWalker"
    # The members that speed up reading stay out of is_object()'s view.
    assert qu.is_object(TextWalker("a")) is False
    # Subclasses read them through getters of their own, unless they define them;
    # the type itself keeps its members.
    assert type("Own", (Fallback,), {"current": "own"})("").current == "own"
    TextWalker.__init_subclass__()
    assert {type(vars(TextWalker)[name]) for name in ("current", "within_bounds")} == {types.MemberDescriptorType}


@pytest.mark.parametrize(
    "args, kwargs",
    [(("abc", True), {}), ((b"abc",), {}), ((1,), {}), ((), {"txt": "a"}), (("a",), {"text": "b"})],
)
def test_bad_construction_leaves_walker_unchanged(args, kwargs):
    w = TextWalker("xyz", allow_negative=True)
    w.move(2)
    with pytest.raises(TypeError):
        TextWalker(*args, **kwargs)
    with pytest.raises(TypeError):
        w.__init__(*args, **kwargs)
    with pytest.raises(Boom):
        w.__init__("q", allow_negative=RaisingBool())
    assert (w.collection, w.index, w.allow_neg, w.peek(0)) == ("xyz", 2, True, "z")


def test_reinitialisation_resets_everything():
    w = TextWalker("abc", allow_negative=True)
    w.tock()
    w.__init__("xy")
    assert (w.size, w.index, w.allow_neg, w.tail_value) == (2, 0, False, "y")
    w.__init__()
    assert (w.collection, w.size, w.index) == ("", 0, 0)
    sub = Sub("abc")
    w.__init__(text=sub)
    assert w.collection is sub


# (text, allow_negative, operations, expected index)
NAVIGATION = [
    ("", False, "tail", 0),
    ("", True, "tock tock", -2),
    ("abc", False, "tail", 2),
    ("abc", False, "tail tick tick", 3),
    ("abc", False, "set_index:99", 3),
    ("abc", False, "tail move:-10", 0),
    ("abc", False, "set_index:-5", 0),
    ("abc", True, "tock tock", -2),
    ("abc", True, "set_index:-5", -5),
    ("abc", True, "move:100", 3),
    ("abc", True, "set_index:-5 tail", 2),
    ("abc", False, "set_index:True", 1),
    ("abc", True, "set_index:-1", -1),
    # Sums beyond the 64-bit range saturate at the nearest end.
    ("abc", True, "move:4611686018427387904 move:4611686018427387904", 3),
    ("abc", True, "set_index:-9223372036854775808 tock", MIN),
    ("abc", False, "move:-9223372036854775808", 0),
]


@pytest.mark.parametrize("text, allow_negative, ops, expected", NAVIGATION)
def test_navigation(text, allow_negative, ops, expected):
    w = TextWalker(text, allow_negative=allow_negative)
    for op in ops.split():
        name, _, arg = op.partition(":")
        getattr(w, name)(*([] if not arg else [True if arg == "True" else int(arg)]))
    assert w.index == expected


@pytest.mark.parametrize(
    "value, error",
    [("1", TypeError), (1.0, TypeError), (None, TypeError), (2**63, OverflowError), (MIN - 1, OverflowError)],
)
def test_integer_arguments_are_checked(value, error):
    w = TextWalker("abc")
    w.tick()
    setter = lambda v: setattr(w, "index", v)  # noqa: E731
    for call in (w.move, w.peek, w.set_index, setter, lambda v: w.n_char_equals(v, "a")):
        with pytest.raises(error):
            call(value)
    assert w.index == 1
    with pytest.raises(AttributeError, match=r"^cannot delete index$"):
        del w.index


@pytest.mark.parametrize("text", TEXTS)
def test_reads_over_every_storage_kind(text):
    w = TextWalker(text, allow_negative=True)
    assert w.size == 4 and w.head_value == "a" and w.tail_value == text[3]
    assert [w.peek(i) for i in range(-1, 5)] == ["", "a", "b", "", text[3], ""]
    w.set_index(2)
    assert w.within_bounds and w.current == ""
    assert w.peek(MAX) == "" and w.peek(MIN) == ""
    w.tail()
    assert w.current == text[3] and w.is_char(text[3] + "zz") and w.matches_ahead(text[3])
    w.set_index(-1)
    assert w.within_bounds and w.current == "" and w.peek(1) == "a"
    # U+0000 at an end reads as no character there.
    w.__init__(text[3] + "\x00")
    with pytest.raises(IndexError, match=r"^Empty text has no tail$"):
        w.tail_value
    assert not w.tail_equals("\x00") and w.head_equals(text[3])
    w.__init__("\x00" + text[3])
    with pytest.raises(IndexError, match=r"^Empty text has no head$"):
        w.head_value


def empty_walkers():
    return [
        TextWalker(),
        TextWalker(""),
        TextWalker.__new__(TextWalker),
        NoInit("abc"),
        NoInit.__new__(NoInit),
        Fallback(""),
        Fallback.__new__(Fallback),
        type("Derived", (Fallback,), {})(""),
    ]


@pytest.mark.parametrize(
    "w",
    empty_walkers(),
    ids=["default", "empty", "new", "noinit", "noinit-new", "fallback", "fallback-new", "fallback-derived"],
)
def test_empty_and_uninitialised_walkers(w):
    assert w.collection == "" and type(w.collection) is str
    assert (w.size, w.is_empty, w.not_empty, w.within_bounds, w.allow_neg) == (0, True, False, False, False)
    for attr, message in [
        ("current", "Cursor index out of bounds"),
        ("head_value", "Empty text has no head"),
        ("tail_value", "Empty text has no tail"),
    ]:
        with pytest.raises(IndexError, match=f"^{message}$"):
            getattr(w, attr)
    for op in (w.tick, w.tock, w.tail, w.head, lambda: w.move(MAX), lambda: w.set_index(MIN)):
        op()
        assert w.index == 0
    assert [w.peek(k) for k in (MIN, -1, 0, 1, MAX)] == [""] * 5
    for method in (w.is_char, w.prev_char_equals, w.next_char_equals, w.head_equals, w.tail_equals):
        assert method("a") is False
    assert w.n_char_equals(0, "a") is False and w.n_char_equals(MAX, "a") is False
    assert w.matches_ahead("") is True and w.matches_ahead("a") is False
    assert (w.skip_while(""), w.skip_until(""), w.take_until("a"), w.index) == (0, 0, "", 0)
    TextWalker.__init__(w, "ok")
    assert w.tail_value == "k"


# (text, index, method, arguments, expected) with allow_negative on.
MATCHING = [
    ("abc", 0, "is_char", ("a",), True),
    ("abc", 0, "is_char", ("",), False),
    ("abc", 0, "is_char", (97,), False),
    ("abc", 0, "is_char", (b"a",), False),
    ("abc", 0, "is_char", (Sub("a"),), True),
    ("abc", 0, "n_char_equals", (2, "c"), True),
    ("abc", 0, "n_char_equals", (-1, "a"), False),
    ("abc", 1, "n_char_equals", (-1, "a"), True),
    ("abc", 2, "head_equals", ("a",), True),
    ("abc", 0, "tail_equals", ("c",), True),
    ("abc", 0, "matches_ahead", ("abc",), True),
    ("abc", 3, "prev_char_equals", ("c",), True),
    ("abc", 3, "matches_ahead", ("",), True),
    ("abc", -1, "next_char_equals", ("a",), True),
    ("abc", -1, "matches_ahead", ("a",), False),
    ("abc", -1, "matches_ahead", ("",), True),
    ("abc", -3, "tail_equals", ("c",), True),
    ("abc", MIN, "prev_char_equals", ("c",), False),
    ("abc", MIN, "matches_ahead", ("abc",), False),
    ("abc", 3, "n_char_equals", (MIN, "a"), False),
    ("abc", 0, "n_char_equals", (MAX, "a"), False),
    ("a\x00b", 1, "is_char", ("\x00",), False),
    ("a\x00b", 1, "matches_ahead", ("\x00b",), True),
    # Argument and text of different storage kinds, mismatch on the last code point.
    ("x\xff\u20ac" + ASTRAL, 1, "matches_ahead", ("\xff\u20ac" + ASTRAL,), True),
    ("x\xff\u20ac" + ASTRAL, 1, "matches_ahead", ("\xff\u20ac\U0001f601",), False),
    ("x\xff\u20ac" + ASTRAL, 1, "matches_ahead", ("\xff\u20ad",), False),
    ("x\xff\u20ac", 0, "matches_ahead", ("x\xfe",), False),
    ("x\xff\u20ac", 0, "matches_ahead", (Sub("x\xff"),), True),
    ("\u20ac" + ASTRAL, 0, "matches_ahead", ("\u20ac",), True),
    ("\u0101", 0, "is_char", ("\x01",), False),
    ("\U00010041", 0, "is_char", ("\u0041",), False),
    ("a" + ASTRAL, 0, "next_char_equals", (ASTRAL,), True),
    ("", 0, "head_equals", ("",), False),
    ("", 0, "matches_ahead", ("",), True),
]


@pytest.mark.parametrize("text, index, method, args, expected", MATCHING)
def test_matching(text, index, method, args, expected):
    w = TextWalker(text, allow_negative=True)
    w.index = index
    assert getattr(w, method)(*args) is expected
    assert w.index == index


# (text, allow_negative, index, method, chars, expected result, expected index)
BULK = [
    ("   x", True, -2, "skip_while", " ", 0, -2),
    ("   x", True, -2, "skip_until", "x", 5, 3),
    ("   x", True, -2, "take_until", "x", "   ", 3),
    ("abc", True, MIN, "skip_until", "c", 2**63 + 2, 2),
    ("abc", False, 1, "skip_while", "", 0, 1),
    ("abc", False, 1, "take_until", "", "bc", 3),
    ("abc", False, 3, "skip_until", "x", 0, 3),
    # Wide code points in chars, over each storage kind of the text.
    ("\xff\xfe", False, 0, "skip_while", "\xff" + ASTRAL, 1, 1),
    ("a\u20acb\u20ad", False, 0, "take_until", ASTRAL + "\u20ad", "a\u20acb", 3),
    ("a" + ASTRAL + "\x00", False, 0, "skip_while", "\x00a" + ASTRAL, 3, 3),
]


@pytest.mark.parametrize("text, allow_negative, index, method, chars, expected, expected_index", BULK)
def test_bulk_methods(text, allow_negative, index, method, chars, expected, expected_index):
    w = TextWalker(text, allow_negative=allow_negative, index=index)
    assert getattr(w, method)(chars) == expected
    assert w.index == expected_index


def test_bulk_methods_read_each_chars_anew():
    # Strs built one after another often share an address: each must still be
    # read for its own code points.
    text = "abcxabcx"
    for chars in ("".join(pair) for pair in itertools.permutations("abcx", 2)):
        assert TextWalker(text).skip_while(chars) == len(text) - len(text.lstrip(chars)), chars


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda w: w.n_char_equals(1), "n_char_equals() takes exactly 2 arguments"),
        (lambda w: w.n_char_equals(1, "a", "b"), "n_char_equals() takes exactly 2 arguments"),
        (lambda w: w.n_char_equals(1, s="a"), None),
        (lambda w: w.n_char_equals("1", "a"), None),
        (lambda w: w.matches_ahead(b"a"), "argument must be a string"),
        (lambda w: w.matches_ahead(None), "argument must be a string"),
        (lambda w: w.is_char(), None),
        (lambda w: w.skip_while(b"a"), "skip_while() argument must be str, not bytes"),
        (lambda w: w.skip_until(None), "skip_until() argument must be str, not NoneType"),
        (lambda w: w.take_until(["a"]), "take_until() argument must be str, not list"),
        (lambda w: w.take_until(), None),
    ],
)
def test_matching_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(TextWalker("abc"))
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "operation",
    [lambda w: w.__init__(ASTRAL + "n" * 1000), lambda w: w.move(3), lambda w: w.skip_until("\u20ac" + ASTRAL)],
    ids=["init", "move", "skip_until"],
)
def test_failed_allocation_leaves_walker_unchanged(operation):
    testcapi = pytest.importorskip("_testcapi")
    # Fail the 1st, 2nd, ... allocation of the call until it needs no more;
    # the last one to fail makes the new current character.
    for start in range(1000):
        w = TextWalker("ol" + ASTRAL, allow_negative=True)
        w.tock()
        try:
            testcapi.set_nomemory(start, start + 1)
            try:
                operation(w)
            finally:
                testcapi.remove_mem_hooks()
        except MemoryError:
            assert (w.collection, w.index, w.current, w.allow_neg) == ("ol" + ASTRAL, -1, "", True)
        else:
            break
    assert start > 0
    assert w.current == ASTRAL


def test_old_text_released_only_when_walker_is_consistent():
    seen = []

    class Noisy(str):
        def __del__(self):
            seen.append((w.size, w.peek(0), w.tail_value, w.matches_ahead("new")))

    w = TextWalker(Noisy("old text"))
    w.__init__("new" * 100)
    assert seen == [(300, "n", "w", True)]


class Annotated(TextWalker):
    pass


class Slotted(TextWalker):
    __slots__ = ("mark",)


def state(w):
    return type(w), w.collection, w.index, w.allow_neg, w.within_bounds, getattr(w, "__dict__", None)


def walker_at(cls, text, index, **kwargs):
    w = cls(text, **kwargs)
    w.index = index
    return w


def annotated_walker():
    w = walker_at(Annotated, Sub("ab"), 1)
    w.note = [1]
    return w


COPIERS = [lambda w, p=p: pickle.loads(pickle.dumps(w, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
COPIERS += [copy.copy, copy.deepcopy]


@pytest.mark.parametrize("copier", COPIERS, ids=[f"pickle{p}" for p in range(len(COPIERS) - 2)] + ["copy", "deep"])
@pytest.mark.parametrize(
    "make",
    [
        lambda: walker_at(TextWalker, "a\u20ac" + ASTRAL, -3, allow_negative=True),
        lambda: walker_at(TextWalker, "abc", 3),
        annotated_walker,
        lambda: TextWalker.__new__(TextWalker),
        lambda: NoInit.__new__(NoInit),
        lambda: Slotted("ab"),
    ],
    ids=["negative", "end", "subclass", "new", "noinit-new", "slots"],
)
def test_copies_keep_text_position_and_flag(make, copier):
    w = make()
    if type(w) is Slotted:
        # Its slot values would be lost: refused rather than half copied.
        with pytest.raises(TypeError, match=r"^cannot pickle '.*Slotted' object: its __slots__ would be lost$"):
            copier(w)
        return
    twin = copier(w)
    assert twin is not w and state(twin) == state(w)
    assert twin.current == w.current if w.within_bounds else not twin.within_bounds


SHAPE = "^__setstate__\\(\\) argument must be a \\(text, index, allow_negative\\) tuple$"


@pytest.mark.parametrize(
    "state, error, message",
    [
        (None, TypeError, SHAPE),
        (("a", 0), TypeError, SHAPE),
        ((b"a", 0, False), TypeError, SHAPE),
        (("a", 0, False, [1]), TypeError, SHAPE),
        (("a", 0, False, {"x": 1}), TypeError, SHAPE),
        (("a", "0", False), TypeError, None),
        (("a", 2**63, False), OverflowError, None),
        (("a", 0, RaisingBool()), Boom, None),
    ],
)
def test_bad_state_leaves_walker_unchanged(state, error, message):
    w = walker_at(TextWalker, "xyz", 2)
    with pytest.raises(error, match=message):
        w.__setstate__(state)
    assert (w.collection, w.index, w.current) == ("xyz", 2, "z")


@pytest.mark.parametrize("cls", [TextWalker, Annotated])
def test_instances_release_their_type(cls):
    # Walkers of earlier tests left in cycles would otherwise die in between.
    gc.collect()
    before = sys.getrefcount(cls)
    walkers = [cls("abc") for _ in range(100)]
    del walkers
    assert sys.getrefcount(cls) == before


class Loud(str):
    def __repr__(self):
        return repr(LOUD_WALKER)


LOUD_WALKER = TextWalker(Loud("loud"))


@pytest.mark.parametrize(
    "w, expected",
    [
        (TextWalker("abc"), "TextWalker('abc', index=0)"),
        (walker_at(TextWalker, "it's\n", 5), 'TextWalker("it\'s\\n", index=5)'),
        (walker_at(TextWalker, "abc", -2, allow_negative=True), "TextWalker('abc', index=-2, allow_negative=True)"),
        (walker_at(TextWalker, "x" * 20 + ASTRAL, 21), f"TextWalker('{'x' * 20}'..., index=21)"),
        (walker_at(Annotated, "a" * 20, 1), f"Annotated('{'a' * 20}', index=1)"),
        (LOUD_WALKER, "TextWalker('loud', index=0)"),
        (TextWalker.__new__(TextWalker), "TextWalker('', index=0)"),
    ],
)
def test_repr(w, expected):
    assert repr(w) == expected
    if "..." not in expected:
        twin = eval(expected, {"TextWalker": TextWalker, "Annotated": Annotated})
        assert state(twin)[:5] == state(w)[:5]


class Model:
    """The walker's rules over a plain str; "" stands for no character."""

    def __init__(self, text, allow_negative):
        self.text, self.allow_neg, self.index = text, allow_negative, 0

    def at(self, offset, base=None):
        # Positions saturate at the ends of the 64-bit range, as in the walker.
        p = min(max((self.index if base is None else base) + offset, MIN), MAX)
        return self.text[p] if 0 <= p < len(self.text) and self.text[p] != "\x00" else ""

    def go(self, n):
        n = min(max(n, MIN), MAX)
        self.index = min(n if n >= 0 or self.allow_neg else 0, len(self.text))

    def matches(self, s):
        i = self.index
        if not isinstance(s, str):
            return TypeError
        if i + len(s) > len(self.text):
            return False
        return s == "" or (i >= 0 and self.text[i : i + len(s)] == s)

    def bulk(self, op, s):
        # Passes code points while (code point in s) == want; a position
        # before the start holds no character, so it is never in s.
        if not isinstance(s, str):
            return TypeError
        start, want = self.index, op == "skip_while"
        if start < 0 and want:
            return 0
        stop = max(start, 0)
        while stop < len(self.text) and (self.text[stop] in s) == want:
            stop += 1
        self.index = stop
        return self.text[max(start, 0) : stop] if op == "take_until" else stop - start

    def run(self, op, k, s):
        i, last = self.index, len(self.text) - 1
        within = (self.allow_neg or i >= 0) and i <= last

        def eq(c):
            return c != "" and isinstance(s, str) and s[:1] == c

        return {
            "move": lambda: self.go(i + k),
            "set_index": lambda: self.go(k),
            "index=": lambda: self.go(k),
            "size": lambda: len(self.text),
            "collection": lambda: self.text,
            "tick": lambda: self.go(i + 1),
            "tock": lambda: self.go(i - 1),
            "head": lambda: self.go(0),
            "tail": lambda: self.go(max(last, 0)),
            "peek": lambda: self.at(k),
            "current": lambda: self.at(0) if within else IndexError,
            "head_value": lambda: self.at(0, 0) or IndexError,
            "tail_value": lambda: self.at(last, 0) or IndexError,
            "within_bounds": lambda: within,
            "is_char": lambda: eq(self.at(0)),
            "prev_char_equals": lambda: eq(self.at(-1)),
            "next_char_equals": lambda: eq(self.at(1)),
            "n_char_equals": lambda: eq(self.at(k)),
            "head_equals": lambda: eq(self.at(0, 0)),
            "tail_equals": lambda: eq(self.at(last, 0)),
            "matches_ahead": lambda: self.matches(s),
            "skip_while": lambda: self.bulk(op, s),
            "skip_until": lambda: self.bulk(op, s),
            "take_until": lambda: self.bulk(op, s),
        }[op]()


def apply(w, op, k, s):
    try:
        if op in ("current", "head_value", "tail_value", "within_bounds", "size", "collection"):
            return getattr(w, op)
        if op == "index=":
            return setattr(w, "index", k)
        if op in ("tick", "tock", "head", "tail"):
            return getattr(w, op)()
        args = {"move": (k,), "set_index": (k,), "peek": (k,), "n_char_equals": (k, s)}.get(op, (s,))
        return getattr(w, op)(*args)
    except (IndexError, TypeError) as error:
        return type(error)


ALPHABET = st.sampled_from(["a", "b", "\x00", "\xff", "\u20ac", ASTRAL])
OPS = [
    "move",
    "set_index",
    "index=",
    "tick",
    "tock",
    "head",
    "tail",
    "peek",
    "current",
    "head_value",
    "tail_value",
    "size",
    "collection",
    "within_bounds",
    "is_char",
    "prev_char_equals",
    "next_char_equals",
    "n_char_equals",
    "head_equals",
    "tail_equals",
    "matches_ahead",
    "skip_while",
    "skip_until",
    "take_until",
]
OFFSETS = st.one_of(st.integers(-6, 6), st.sampled_from([MIN, MIN + 1, MAX, MAX - 1, 2**62]))
ARGUMENTS = st.one_of(
    st.text(ALPHABET, max_size=4), st.sampled_from([b"a", 97, None, Sub("a"), "\u20ac\u20ad" + ASTRAL])
)


@settings(max_examples=300, deadline=None)
@given(
    text=st.text(ALPHABET, max_size=8),
    allow_negative=st.booleans(),
    steps=st.lists(st.tuples(st.sampled_from(OPS), OFFSETS, ARGUMENTS), max_size=30),
)
def test_walker_agrees_with_model(text, allow_negative, steps):
    w, model = TextWalker(text, allow_negative=allow_negative), Model(text, allow_negative)
    for op, arg, s in steps:
        assert apply(w, op, arg, s) == model.run(op, arg, s), (op, arg, s)
        assert w.index == model.index
