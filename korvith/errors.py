"""Exceptions raised by korvith."""

from __future__ import annotations

from typing import Callable

CLOSED_MESSAGE = "operation on a closed document"
RELEASED_MESSAGE = (
    "element was released by iterparse: with a tag filter (or release=True) iterparse "
    "frees each element once the loop moves on; pass release=False to keep elements, "
    "or read what you need before the next iteration (or its document was closed)")

# Set by korvith.iterparse: answers True while a wrapper of an element that
# iterparse released may still be in use.
released_alive: Callable[[], bool] | None = None
# What poisoned wrappers most recently: "released" (iterparse) or "closed"
# (a document or an iterator closed). The message names the likely cause.
last_poisoning = ""


def note_poisoning(kind: str) -> None:
    global last_poisoning
    last_poisoning = kind


class KorvithError(Exception):
    """Base class of every error korvith raises for XML it cannot handle."""

    def __init__(self, *args: object) -> None:
        # A released iterparse element and an element of a closed document
        # fail the same way underneath; say which one it likely is.
        if args == (CLOSED_MESSAGE,) and last_poisoning == "released" \
                and released_alive is not None and released_alive():
            args = (RELEASED_MESSAGE,)
        super().__init__(*args)


class ParseError(KorvithError, SyntaxError):
    """A document could not be parsed.

    ``message`` is the engine's description, ``line`` and ``column`` the
    position of the first error (1-based; 0 when unknown), ``status`` the
    engine's status code. Like ElementTree's and lxml's parse errors it is a
    :class:`SyntaxError`, with ``lineno``, ``offset`` and ``position``
    (``(line, column)``) as ElementTree's has.
    """

    def __init__(self, message: str, line: int = 0, column: int = 0, status: int = 0,
                 filename: str | None = None) -> None:
        self.message = message
        self.line = line
        self.column = column
        self.status = status
        self.filename = filename
        where = f"{filename}:" if filename else ""
        super().__init__(f"{where}{line}:{column}: {message}" if line else f"{where}{message}")
        # SyntaxError's fields, as ElementTree's ParseError fills them.
        self.lineno = line
        self.offset = column
        self.position = (line, column)
        self.code = status

    def __str__(self) -> str:
        # SyntaxError would append "(file, line N)"; the text already has both.
        return str(self.args[0]) if self.args else self.message


class XPathError(KorvithError):
    """An XPath expression could not be compiled or evaluated.

    ``expression`` is the expression text as given.
    """

    def __init__(self, message: str, expression: str | None = None) -> None:
        self.message = message
        self.expression = expression
        super().__init__(f"{message}: {expression!r}" if expression is not None else message)
