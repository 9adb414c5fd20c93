"""Prepared XQuery queries.

``XQuery(text)`` parses and compiles a query once in the engine; ``evaluate``
runs it against a document (and optionally a context element) as often as
needed. The supported language (XPath 1.0 plus FLWOR expressions) is
described in docs/xquery.md. A query outside it fails here, at preparation,
with an :class:`XQueryError` naming the construct and its position.
"""

from __future__ import annotations

import ctypes
import threading
from typing import Any

from . import _korvithaccel
from ._engine import CLOSED_MESSAGE, ext, last_error
from ._liveness import DOC, DOCUMENT, NODE, NODE_OR_DOCUMENT, OWNER, check_node, owner_of, run
from .errors import KorvithError

__all__ = ["XQuery", "XQueryError"]

#: Default bound on the items one intermediate sequence of an evaluation may
#: hold; ``XQuery(text, max_items=...)`` raises it.
DEFAULT_MAX_ITEMS = 1_000_000

_ITEM_ELEMENT, _ITEM_STRING, _ITEM_NUMBER, _ITEM_BOOLEAN, _ITEM_DOCUMENT = 0, 1, 2, 3, 4


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


def _with_items(result: Any, document: Any) -> Any:
    """The whole result of the evaluation that just returned ``result`` on
    this thread: when the engine reports items beyond the elements, a list
    with elements, ``document`` for the document node, strings (other
    nodes, string values), floats and bools in return order; otherwise
    ``result`` itself."""
    count = ext.xquery_items()
    if count < 0:
        return result
    try:
        elements = iter(result if isinstance(result, list) else [])
        text = ctypes.c_void_p()
        length = ctypes.c_size_t()
        number = ctypes.c_double()
        out: list[Any] = []
        for index in range(count):
            kind = ext.xquery_item(index, ctypes.byref(text), ctypes.byref(length),
                                   ctypes.byref(number))
            if kind == _ITEM_ELEMENT:
                out.append(next(elements))
            elif kind == _ITEM_STRING:
                raw = ctypes.string_at(text.value, length.value) if length.value else b""
                out.append(raw.decode("utf-8"))
            elif kind == _ITEM_NUMBER:
                out.append(number.value)
            elif kind == _ITEM_BOOLEAN:
                out.append(bool(number.value))
            elif kind == _ITEM_DOCUMENT:
                out.append(document)
            else:
                raise XQueryError(f"the engine reported an unknown result item kind {kind}")
        return out
    finally:
        ext.xquery_items_clear()


class XQuery:
    """An XQuery (XPath 1.0 plus FLWOR) prepared once.

    ``XQuery(text)(doc)`` runs it on a document, ``(element)`` with that
    element as context; returns elements in return order, or a bool, float
    or str.

    Evaluation keeps no state in the query, so one ``XQuery`` may be
    evaluated from several threads at once; ``close`` must not race with an
    evaluation.
    """

    def __init__(self, text: str, *, max_items: int = DEFAULT_MAX_ITEMS) -> None:
        if not isinstance(text, str):
            raise TypeError(f"query text must be str, not {type(text).__name__}")
        if "\0" in text:
            raise ValueError("query text contains a NUL character")
        if isinstance(max_items, bool) or not isinstance(max_items, int):
            raise TypeError(f"max_items must be int, not {type(max_items).__name__}")
        if not 1 <= max_items <= 2**62:
            raise ValueError(f"max_items must be between 1 and 2**62, not {max_items}")
        self._lock = threading.Lock()
        self._handle: int | None = None
        self.text = text
        handle = ext.xquery_prepare(text.encode("utf-8"))
        if not handle:
            message, line, column = _engine_error()
            raise XQueryError(message, line, column, text)
        self._handle = handle
        self.max_items = max_items
        ext.xquery_configure(handle, max_items, 0)

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
        Returns the items in return order (elements, the string values of
        other nodes, floats, bools, strings), or the query's single boolean,
        number or string; raises :class:`XQueryError` when evaluation fails
        and :class:`KorvithError` when ``document`` is a closed Document.

        This is the address-level entry for code that manages engine
        documents itself; calling the query with a Document or an Element
        checks everything for you. For a :class:`Document`,
        ``document_address`` must be its own address, and the liveness
        check and the evaluation are one step.
        """
        from .document import Document
        handle = self._handle
        if handle is None:
            raise ValueError("operation on a closed XQuery")
        context = context_address or 0
        if isinstance(document, Document):
            if document.closed:
                raise KorvithError(CLOSED_MESSAGE)
            if document_address != document._address:
                raise ValueError("document_address is not the address of document")
            result = run("document", document, DOCUMENT, _korvithaccel.xquery_eval, handle, DOC,
                         context, OWNER)
        else:
            result = _korvithaccel.xquery_eval(handle, document_address, context, document)
        if result is None:
            message, _, _ = _engine_error()
            raise XQueryError(message, 0, 0, self.text)
        return _with_items(result, document)

    def __call__(self, node: Any) -> list[Any] | bool | float | str:
        check_node("node", node)
        handle = self._handle
        if handle is None:
            raise ValueError("operation on a closed XQuery")
        # The liveness check and the evaluation are one step.
        result = run("node", node, NODE_OR_DOCUMENT, _korvithaccel.xquery_eval, handle, DOC, NODE,
                     OWNER)
        if result is None:
            message, _, _ = _engine_error()
            raise XQueryError(message, 0, 0, self.text)
        return _with_items(result, owner_of(node))


# Shown (in reprs and help) under its public name.
XQuery.__module__ = "korvith"
