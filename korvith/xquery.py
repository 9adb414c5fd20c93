"""Prepared XQuery queries.

``XQuery(text)`` parses and compiles a query once in the engine; ``evaluate``
runs it against a document (and optionally a context element) as often as
needed. The supported language (XPath 1.0 plus FLWOR expressions) is
described in docs/xquery.md. A query outside it fails here, at preparation,
with an :class:`XQueryError` naming the construct and its position.
"""

from __future__ import annotations

import threading
from typing import Any

from . import _korvithaccel
from ._engine import ext, last_error
from .errors import KorvithError
from .xpath import _target

__all__ = ["XQuery", "XQueryError"]


class XQueryError(KorvithError):
    """A query could not be prepared or evaluated.

    ``message`` is the engine's description, ``line`` and ``column`` the
    1-based position in the query text of a preparation error (0 for
    evaluation errors), ``query`` the query text.
    """

    def __init__(self, message: str, line: int = 0, column: int = 0,
                 query: str | None = None) -> None:
        self.message = message
        self.line = line
        self.column = column
        self.query = query
        where = f"line {line}, column {column}: " if line else ""
        super().__init__(f"{where}{message}")


def _engine_error() -> tuple[str, int, int]:
    status, message, line, column = last_error()
    return (message if status else "") or "query failed", line, column


class XQuery:
    """An XQuery (XPath 1.0 plus FLWOR) prepared once.

    ``XQuery(text)(doc)`` runs it on a document, ``(element)`` with that
    element as context; returns elements in return order, or a bool, float
    or str.

    Evaluation keeps no state in the query, so one ``XQuery`` may be
    evaluated from several threads at once; ``close`` must not race with an
    evaluation.
    """

    def __init__(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError(f"query text must be str, not {type(text).__name__}")
        if "\0" in text:
            raise ValueError("query text contains a NUL character")
        self._lock = threading.Lock()
        self._handle: int | None = None
        self.text = text
        handle = ext.xquery_prepare(text.encode("utf-8"))
        if not handle:
            message, line, column = _engine_error()
            raise XQueryError(message, line, column, text)
        self._handle = handle

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Releases the engine's prepared query; later evaluations raise."""
        lock = getattr(self, "_lock", None)
        if lock is None:
            return
        with lock:
            handle, self._handle = self._handle, None
        if handle:
            ext.xquery_free(handle)

    def __del__(self) -> None:
        self.close()

    def __enter__(self) -> XQuery:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = " closed" if self._handle is None else ""
        return f"<XQuery{state} {self.text!r}>"

    def evaluate(self, document_address: int, context_address: int | None,
                 document: Any) -> list[Any] | bool | float | str:
        """Runs the query on the document at ``document_address``.

        Relative paths start at the element at ``context_address``, or at
        the document node when it is None or 0. ``document`` is the object
        the result elements refer to (it carries the element registry).
        Returns the elements in return order, or the query's single boolean,
        number or string; raises :class:`XQueryError` when evaluation fails.
        """
        handle = self._handle
        if handle is None:
            raise ValueError("operation on a closed XQuery")
        result = _korvithaccel.xquery_eval(handle, document_address, context_address or 0,
                                           document)
        if result is None:
            message, _, _ = _engine_error()
            raise XQueryError(message, 0, 0, self.text)
        return result

    def __call__(self, node: Any) -> list[Any] | bool | float | str:
        document, context = _target(node)
        handle = self._handle
        if handle is None:
            raise ValueError("operation on a closed XQuery")
        # The address is read right before the module call: no Python code
        # (so no switch to a thread that could close the document) runs in
        # between.
        result = _korvithaccel.xquery_eval(handle, document._check(), context, document)
        if result is None:
            message, _, _ = _engine_error()
            raise XQueryError(message, 0, 0, self.text)
        return result


# Shown (in reprs and help) under its public name.
XQuery.__module__ = "korvith"
