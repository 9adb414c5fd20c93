"""Every error of a parse, not only the first.

A document parsed with ``recover=True`` can carry several errors; the
engine keeps them (at most 1000) with the document, and
:attr:`korvith.Document.errors` lists them as :class:`~korvith.ParseError`
objects with ``message``, ``line``, ``column`` and ``status``.
"""

from __future__ import annotations

import ctypes
from typing import Any

from ._engine import ext
from ._liveness import DOC, DOCUMENT, run
from .errors import ParseError

_MESSAGE_CAP = 1024
_vp = ctypes.c_void_p
_INT_P = ctypes.POINTER(ctypes.c_int)


def document_errors(document: Any) -> list[ParseError]:
    """The errors reported while parsing ``document``, in order."""
    count_fn = ext.document_issue_count
    issue_fn = ext.document_issue
    buf = ctypes.create_string_buffer(_MESSAGE_CAP)
    line, column = ctypes.c_int(0), ctypes.c_int(0)
    line_ref, column_ref = ctypes.byref(line), ctypes.byref(column)
    out: list[ParseError] = []
    index = 0
    while True:
        # Each call keeps the interpreter and checks the document in the
        # same step: a document closed meanwhile raises instead.
        if index >= run("document", document, DOCUMENT, count_fn, DOC):
            return out
        code = run("document", document, DOCUMENT, issue_fn, DOC, index, buf, _MESSAGE_CAP,
                   line_ref, column_ref)
        message = buf.value.decode("utf-8", "replace") or f"error {code}"
        out.append(ParseError(message, line.value, column.value, code, document.filename))
        index += 1
