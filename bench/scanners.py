"""One small tokenizer written several ways, for the text-walker benchmark.

Each counts identifiers, numbers, string literals and punctuation in
source-like text; all of them must agree on the counts.
"""

import re

IDENT_START_CHARS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_"
DIGIT_CHARS = "0123456789"
IDENT_CHARS = IDENT_START_CHARS + DIGIT_CHARS
SPACE_CHARS = " \t\n"
IDENT_START = frozenset(IDENT_START_CHARS)
IDENT_REST = frozenset(IDENT_CHARS)
DIGITS = frozenset(DIGIT_CHARS)
SPACE = frozenset(SPACE_CHARS)
BULK_METHODS = ("skip_while", "skip_until", "take_until")
# An unclosed literal runs to the end of the text, as in the hand-written scanners.
TOKEN = re.compile(r"""[A-Za-z_][A-Za-z0-9_]*|[0-9]+|'[^']*'?|"[^"]*"?|#[^\n]*|[^ \t\n]""")

SNIPPET = (
    "def parse_item(self, key_42, value='text'):\n"
    "    total = key_42 * 17 + len(value) - 3\n"
    '    if total > 1000 and value != "done":\n'
    "        return {'k': total, 'v': [1, 2, 3]}\n"
    "    return None  # nothing to do\n"
)


def source_text(size=100_000):
    return (SNIPPET * (size // len(SNIPPET) + 1))[:size]


def scan_with_walker(walker):
    counts = [0, 0, 0, 0]
    walker.head()
    while walker.within_bounds:
        c = walker.current
        if c in SPACE:
            walker.tick()
        elif c in IDENT_START:
            walker.tick()
            while walker.within_bounds and walker.current in IDENT_REST:
                walker.tick()
            counts[0] += 1
        elif c in DIGITS:
            walker.tick()
            while walker.within_bounds and walker.current in DIGITS:
                walker.tick()
            counts[1] += 1
        elif c == "'" or c == '"':
            walker.tick()
            while walker.within_bounds and not walker.is_char(c):
                walker.tick()
            walker.tick()
            counts[2] += 1
        elif c == "#":
            while walker.within_bounds and not walker.is_char("\n"):
                walker.tick()
        else:
            walker.tick()
            counts[3] += 1
    return counts


def has_bulk_methods(walker):
    return all(hasattr(walker, name) for name in BULK_METHODS)


def scan_with_bulk(walker):
    """The walker scanner, passing runs of characters in one call each.

    It also builds each string literal's text, as a real scanner would; the
    other scanners do not, so this one does a little more work.
    """
    counts = [0, 0, 0, 0]
    walker.head()
    while walker.within_bounds:
        c = walker.current
        if c in SPACE:
            walker.skip_while(SPACE_CHARS)
        elif c in IDENT_START:
            walker.skip_while(IDENT_CHARS)
            counts[0] += 1
        elif c in DIGITS:
            walker.skip_while(DIGIT_CHARS)
            counts[1] += 1
        elif c == "'" or c == '"':
            walker.tick()
            walker.take_until(c)
            walker.tick()
            counts[2] += 1
        elif c == "#":
            walker.skip_until("\n")
        else:
            walker.tick()
            counts[3] += 1
    return counts


def scan_with_regex(text):
    counts = [0, 0, 0, 0]
    for token in TOKEN.findall(text):
        c = token[0]
        if c in IDENT_START:
            counts[0] += 1
        elif c in DIGITS:
            counts[1] += 1
        elif c == "'" or c == '"':
            counts[2] += 1
        elif c != "#":
            counts[3] += 1
    return counts


class PyCursor:
    """The cursor a user would write in Python, with the same bounds rules."""

    __slots__ = ("index", "length", "text")

    def __init__(self, text):
        self.text = text
        self.index = 0
        self.length = len(text)

    def head(self):
        self.index = 0

    def tick(self):
        if self.index < self.length:
            self.index += 1

    @property
    def within_bounds(self):
        return 0 <= self.index < self.length

    @property
    def current(self):
        if not 0 <= self.index < self.length:
            raise IndexError("Cursor index out of bounds")
        return self.text[self.index]

    def is_char(self, s):
        return 0 <= self.index < self.length and s != "" and self.text[self.index] == s[0]


def scan_with_indexing(text):
    counts = [0, 0, 0, 0]
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c in SPACE:
            i += 1
        elif c in IDENT_START:
            i += 1
            while i < n and text[i] in IDENT_REST:
                i += 1
            counts[0] += 1
        elif c in DIGITS:
            i += 1
            while i < n and text[i] in DIGITS:
                i += 1
            counts[1] += 1
        elif c == "'" or c == '"':
            i += 1
            while i < n and text[i] != c:
                i += 1
            i += 1
            counts[2] += 1
        elif c == "#":
            while i < n and text[i] != "\n":
                i += 1
        else:
            i += 1
            counts[3] += 1
    return counts
