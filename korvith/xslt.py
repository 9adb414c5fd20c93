"""XSLT 1.0 transforms (libxslt, with the EXSLT functions).

>>> transform = korvith.XSLT(korvith.parse_file("style.xsl"))
>>> result = transform(doc, title=korvith.XSLT.strparam("It's here"))
>>> result.root.tag, str(result)[:20]

Secure by default: a transform never writes files, creates directories or
uses the network. ``xsl:include`` and ``xsl:import`` read only files in the
stylesheet's own directory and the directories in ``allow_dirs``;
``document()`` is refused unless ``documents=True``, and then reads only
those same directories. A refused access raises :class:`XSLTError` naming
what was refused. Template recursion is bounded by ``max_depth``.
"""

from __future__ import annotations

import ctypes
import os
from collections.abc import Iterable
from typing import Any

from . import _korvithaccel as _accel
from ._korvithaccel import Element
from .diagnostics import (Diagnostics, ErrorLog, XSLTError, dirs_argument, dirs_block,
                          ext, source_bytes, summary, take_buffer, target)
from ._liveness import DOC, NODE, NODE_OR_DOCUMENT, run
from .document import Document
from .errors import KorvithError

DEFAULT_MAX_DEPTH = 1000
_NAME_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.:")


class XSLTResult(Document):
    """A transform's result: a :class:`korvith.Document` that also keeps
    the serialisation ``xsl:output`` asks for (``bytes(result)``,
    ``str(result)``); for ``method="text"`` that is the whole result."""

    __slots__ = ("output",)
    output: bytes

    def __bytes__(self) -> bytes:
        return self.output

    def __str__(self) -> str:
        return self.output.decode("utf-8", "replace")


class _StrParam(str):
    """A parameter value already quoted as an XPath string literal."""


def strparam(value: str) -> str:
    """Quotes a string so that it reaches the stylesheet as that string
    (stylesheet parameters are otherwise XPath expressions)."""
    if not isinstance(value, str):
        raise TypeError(f"strparam() takes a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError("embedded NUL character in a stylesheet parameter")
    if "'" not in value:
        return _StrParam(f"'{value}'")
    if '"' not in value:
        return _StrParam(f'"{value}"')
    parts = value.split("'")
    joined = ", \"'\", ".join(f"'{p}'" for p in parts)
    return _StrParam(f"concat({joined})")


def _params(params: dict[str, Any]) -> Any:
    flat: list[bytes | None] = []
    for name, value in params.items():
        if not name or not set(name) <= _NAME_CHARS:
            raise ValueError(f"invalid stylesheet parameter name {name!r}")
        if isinstance(value, bool):
            expr = "true()" if value else "false()"
        elif isinstance(value, (int, float)):
            expr = repr(float(value)) if isinstance(value, float) else str(value)
        elif isinstance(value, str):
            expr = value
        else:
            raise TypeError(f"stylesheet parameter {name!r} must be an XPath expression (str), "
                            f"a number or a bool, not {type(value).__name__}; use "
                            "XSLT.strparam() for string values")
        if "\0" in expr:
            raise ValueError(f"embedded NUL character in stylesheet parameter {name!r}")
        flat.append(name.encode("utf-8"))
        flat.append(expr.encode("utf-8"))
    flat.append(None)
    return (ctypes.c_char_p * len(flat))(*flat)


def _max_depth(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= 100000:
        raise ValueError(f"max_depth must be an int from 1 to 100000, not {value!r}")
    return value


class XSLT:
    """A compiled XSLT 1.0 stylesheet; call it on a document to transform it.

    ``stylesheet`` is a korvith Document/Element, a path, a binary file
    object or bytes. ``allow_dirs`` names directories (besides the
    stylesheet's own) that includes, imports and ``document()`` may read;
    ``documents`` enables ``document()``; ``max_depth`` bounds nested
    template calls.
    """

    strparam = staticmethod(strparam)

    def __init__(self, stylesheet: object, *,
                 allow_dirs: Iterable[str | os.PathLike[str]] | None = None,
                 documents: bool = False, max_depth: int = DEFAULT_MAX_DEPTH) -> None:
        self._handle: int | None = None
        self.documents = bool(documents)
        self.max_depth = _max_depth(max_depth)
        dirs = dirs_argument(allow_dirs, "allow_dirs")
        data, filename = source_bytes(stylesheet, "XSLT stylesheet")
        if filename is not None:
            dirs.insert(0, os.path.dirname(filename))
        base = os.fsencode(filename) if filename is not None else None
        block = dirs_block(dirs)
        self._error_log = ErrorLog()
        with Diagnostics() as diag:
            handle = ext.xslt_compile(data, len(data), base, block, diag.handle)
            log = diag.entries()
        if not handle:
            raise XSLTError(summary(log, "the stylesheet does not compile"), log)
        self._handle = handle
        self._error_log = log

    @property
    def error_log(self) -> ErrorLog:
        """Messages of the most recent transform (``xsl:message`` included)."""
        return self._error_log

    def __call__(self, node: Document | Element, **params: Any) -> XSLTResult:
        """Transform a copy of the document (or of the element's subtree);
        keyword arguments are stylesheet parameters (XPath expressions;
        wrap strings in :meth:`strparam`)."""
        array = _params(params)
        target(node, "XSLT input")
        if not self._handle:
            raise KorvithError("operation on a closed stylesheet")
        out = ctypes.c_void_p()
        length = ctypes.c_size_t(0)
        handle, documents, depth = self._handle, int(self.documents), self.max_depth
        with Diagnostics() as diag:
            # The liveness check and the engine call are one step.
            result_address = run(
                "XSLT input", node, NODE_OR_DOCUMENT, ext.xslt_apply, handle, DOC, NODE, array,
                documents, depth, diag.handle, ctypes.byref(out), ctypes.byref(length))
            log = diag.entries()
        self._error_log = log
        output = take_buffer(out.value, length.value)
        if not result_address:
            raise XSLTError(summary(log, "the transform failed"), log)
        # The result keeps the stylesheet alive: libxslt's result trees may
        # share strings with it.
        result = XSLTResult._adopt(result_address, _accel.new_registry(), 0, keepalive=self)
        result.output = output
        return result

    def close(self) -> None:
        handle, self._handle = self._handle, None
        if handle:
            ext.xslt_free(handle)

    def __del__(self) -> None:
        self.close()

