"""Walk a string code point by code point, for hand-written scanners and parsers.

:class:`TextWalker` moves a cursor over the code points of a string, for
hand-written scanners and parsers.
"""

from typing import Any

from typing_extensions import disjoint_base

@disjoint_base
class TextWalker:
    """A cursor over the code points of a string.

    The index runs from 0 to ``size``, the position just past the last code
    point. Moving beyond either end clamps; with ``allow_negative`` the index
    may go below 0 instead, meaning positions before the text (never counted
    from its end). Reading outside the text gives an empty string (``peek``)
    or an ``IndexError`` (``current``). The code point U+0000 reads as "no
    character here", like a position outside the text.

    The repr evaluates back to an equal walker when the text is short:
    ``TextWalker('abc', index=1)``, with ``allow_negative=True`` when set; a
    text longer than 20 code points is shown by its first 20 and ``...``.
    Pickling and copying keep the text, the index and ``allow_negative``.

    Args:
        text: the text to walk (a ``str`` or subclass); empty by default.
        allow_negative: keyword-only; let the index go below 0.
        index: keyword-only; the starting index, clamped as by
            :meth:`set_index`.

    Raises:
        TypeError: ``text`` is not a string, or ``allow_negative`` was given
            positionally.

    Example:
        >>> from quillet.text_walker import TextWalker
        >>> walker = TextWalker("key = value")
        >>> while walker.within_bounds and not walker.is_char("="):
        ...     walker.tick()
        >>> walker.index, walker.current, walker.peek(2)
        (4, '=', 'v')
    """

    def __init__(self, text: str = "", *, allow_negative: bool = False, index: int = 0) -> None: ...
    def __getstate__(self) -> tuple[str, int, bool] | tuple[str, int, bool, dict[str, Any]]:
        """Return ``(text, index, allow_negative)`` for pickling and copying.

        A subclass instance's non-empty ``__dict__`` comes fourth.

        Raises:
            TypeError: the walker's class declares ``__slots__``, which would be lost.
        """

    def __setstate__(self, state: tuple[str, int, bool] | tuple[str, int, bool, dict[str, Any]], /) -> None:
        """Restore the state that :meth:`__getstate__` returned.

        Raises:
            TypeError: "__setstate__() argument must be a (text, index,
                allow_negative) tuple".
        """

    def peek(self, offset: int, /) -> str:
        """Return the character at ``index + offset``, or ``''`` outside the text.

        Raises:
            TypeError: ``offset`` is not an ``int``.
            OverflowError: ``offset`` does not fit in 64 bits.
        """

    def move(self, offset: int, /) -> None:
        """Move the cursor by ``offset``, clamping at the ends.

        Raises:
            TypeError: ``offset`` is not an ``int``.
            OverflowError: ``offset`` does not fit in 64 bits.
        """

    def set_index(self, index: int, /) -> None:
        """Set the index, clamped like :meth:`move`; the same as assigning :attr:`index`."""

    def tick(self) -> None:
        """Step one code point forward; at ``size`` the index stays."""

    def tock(self) -> None:
        """Step one code point back; at 0 the index stays unless ``allow_negative``."""

    def head(self) -> None:
        """Move to index 0."""

    def tail(self) -> None:
        """Move to the last code point (index 0 for an empty text)."""

    def skip_while(self, chars: str, /) -> int:
        """Advance over code points that are in ``chars``.

        Stops at the first code point not in ``chars``, or at the end of the
        text; moves like repeated :meth:`tick`.

        Returns:
            How many code points were passed.

        Raises:
            TypeError: ``chars`` is not a string.

        Example:
            >>> from quillet.text_walker import TextWalker
            >>> walker = TextWalker("   name")
            >>> walker.skip_while(" "), walker.current
            (3, 'n')
        """

    def skip_until(self, chars: str, /) -> int:
        """Advance over code points that are not in ``chars``.

        Stops at the first code point in ``chars``, or at the end of the text.

        Returns:
            How many code points were passed.

        Raises:
            TypeError: ``chars`` is not a string.
        """

    def take_until(self, chars: str, /) -> str:
        """Advance as :meth:`skip_until` does and return the text passed over.

        Raises:
            TypeError: ``chars`` is not a string.

        Example:
            >>> from quillet.text_walker import TextWalker
            >>> walker = TextWalker("name=quillet;lang=C++")
            >>> walker.take_until("="), walker.current
            ('name', '=')
        """

    def is_char(self, s: str, /) -> bool:
        """Tell whether the character at the cursor is the first character of ``s``.

        Only the first code point of ``s`` counts; an empty string, a
        non-string or a position outside the text gives ``False``.
        """

    def prev_char_equals(self, s: str, /) -> bool:
        """Like :meth:`is_char`, for the character before the cursor."""

    def next_char_equals(self, s: str, /) -> bool:
        """Like :meth:`is_char`, for the character after the cursor."""

    def n_char_equals(self, offset: int, s: str, /) -> bool:
        """Like :meth:`is_char`, for the character at ``index + offset``.

        Raises:
            TypeError: "n_char_equals() takes exactly 2 arguments", or
                ``offset`` is not an ``int``.
            OverflowError: ``offset`` does not fit in 64 bits.
        """

    def head_equals(self, s: str, /) -> bool:
        """Like :meth:`is_char`, for the first character of the text."""

    def tail_equals(self, s: str, /) -> bool:
        """Like :meth:`is_char`, for the last character of the text."""

    def matches_ahead(self, s: str, /) -> bool:
        """Tell whether the whole of ``s`` stands in the text from the cursor on.

        An empty ``s`` matches everywhere; every code point is compared,
        U+0000 included. The cursor does not move.

        Raises:
            TypeError: "argument must be a string".

        Example:
            >>> from quillet.text_walker import TextWalker
            >>> TextWalker("<!-- note -->").matches_ahead("<!--")
            True
        """

    @property
    def collection(self) -> str:
        """The text, the very object given to the constructor."""

    @property
    def index(self) -> int:
        """The cursor position; assigning sets it as :meth:`set_index` does.

        Raises:
            AttributeError: "cannot delete index", on ``del walker.index``.
        """

    @index.setter
    def index(self, value: int, /) -> None: ...
    @property
    def size(self) -> int:
        """The number of code points of the text."""

    @property
    def is_empty(self) -> bool:
        """``True`` for an empty text."""

    @property
    def not_empty(self) -> bool:
        """``True`` for a non-empty text."""

    @property
    def within_bounds(self) -> bool:
        """``True`` while ``index < size`` (and ``index >= 0`` unless ``allow_negative``)."""

    @property
    def current(self) -> str:
        """The character at the cursor; ``''`` at a negative index or at U+0000.

        Raises:
            IndexError: "Cursor index out of bounds", when not :attr:`within_bounds`.
        """

    @property
    def head_value(self) -> str:
        """The first character of the text.

        Raises:
            IndexError: "Empty text has no head".
        """

    @property
    def tail_value(self) -> str:
        """The last character of the text.

        Raises:
            IndexError: "Empty text has no tail".
        """

    @property
    def allow_neg(self) -> bool:
        """Whether the index may go below 0 (``allow_negative``)."""
