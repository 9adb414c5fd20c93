"""Exceptions raised by korvith."""

from __future__ import annotations


class KorvithError(Exception):
    """Base class of every error korvith raises for XML it cannot handle."""


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
