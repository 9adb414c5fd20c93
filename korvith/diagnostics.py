"""Errors of validation, schema and stylesheet compilation and transforms,
and the engine's per-call diagnostics lists behind them.

Every engine call that can report several problems gets a fresh list, so
errors of one call never show up in the next.
"""

from __future__ import annotations

import ctypes
import os
from collections.abc import Iterable, Iterator
from ctypes import POINTER, c_char_p, c_int, c_size_t, c_void_p
from dataclasses import dataclass
from typing import Any

from . import _engine
from . import _korvithaccel as _accel
from ._engine import CLOSED_MESSAGE, POISON
from .document import Document
from .errors import KorvithError

LEVELS = {1: "warning", 2: "error", 3: "fatal"}

# This feature's engine entry points, declared in _engine.EXPORTS.
ext = _engine.ext


@dataclass(frozen=True)
class ErrorEntry:
    """One problem found by a validation, compile or transform call.

    ``line`` and ``column`` are 1-based (0 when unknown), ``path`` the
    element's path such as ``/shop/item[2]`` (empty when unknown),
    ``filename`` the file the problem is in (empty when unknown), ``level``
    ``"warning"``, ``"error"`` or ``"fatal"``.
    """

    message: str
    line: int = 0
    column: int = 0
    path: str = ""
    filename: str = ""
    level: str = "error"

    def __str__(self) -> str:
        where = f"{self.filename or '<input>'}:{self.line}:{self.column}"
        return f"{where}: {self.message}"


class ErrorLog(tuple[ErrorEntry, ...]):
    """The problems one call found, in the order found."""

    @property
    def last_error(self) -> ErrorEntry | None:
        return self[-1] if self else None

    def filter_errors(self) -> list[ErrorEntry]:
        """Errors and fatal errors, without warnings."""
        return [e for e in self if e.level != "warning"]

    def __str__(self) -> str:
        return "\n".join(str(e) for e in self)


class ValidationError(KorvithError):
    """A document is not valid; ``error_log`` lists every problem."""

    def __init__(self, message: str, error_log: Iterable[ErrorEntry] = ()) -> None:
        self.error_log = ErrorLog(error_log)
        super().__init__(message)


class SchemaError(KorvithError):
    """A schema (XML Schema, RELAX NG or DTD) does not compile, or refers
    to a file or network location it may not load; ``error_log`` says why."""

    def __init__(self, message: str, error_log: Iterable[ErrorEntry] = ()) -> None:
        self.error_log = ErrorLog(error_log)
        super().__init__(message)


class XSLTError(KorvithError):
    """A stylesheet does not compile, or a transform fails or was refused
    an access; ``error_log`` says why."""

    def __init__(self, message: str, error_log: Iterable[ErrorEntry] = ()) -> None:
        self.error_log = ErrorLog(error_log)
        super().__init__(message)


class Diagnostics:
    """An engine diagnostics list for exactly one call (a context manager)."""

    __slots__ = ("handle",)

    def __init__(self) -> None:
        self.handle: int | None = ext.diag_new()
        if not self.handle:
            raise MemoryError("cannot allocate a diagnostics list")

    def __enter__(self) -> Diagnostics:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.handle:
            ext.diag_free(self.handle)
            self.handle = None

    def entries(self) -> ErrorLog:
        return ErrorLog(self._iter())

    def _iter(self) -> Iterator[ErrorEntry]:
        line, column = c_int(0), c_int(0)
        message, path, file = c_char_p(), c_char_p(), c_char_p()
        for i in range(ext.diag_count(self.handle)):
            level = ext.diag_entry(self.handle, i, ctypes.byref(line),
                                           ctypes.byref(column), ctypes.byref(message),
                                           ctypes.byref(path), ctypes.byref(file))
            yield ErrorEntry(_text(message.value), line.value, column.value, _text(path.value),
                             _text(file.value), LEVELS.get(level, "error"))


def _text(raw: bytes | None) -> str:
    return raw.decode("utf-8", "replace") if raw else ""


def summary(log: ErrorLog, default: str) -> str:
    """The message of an exception: the first error (or ``default``)."""
    errors = log.filter_errors()
    if not errors:
        return default
    first = errors[0]
    more = f" (and {len(errors) - 1} more)" if len(errors) > 1 else ""
    where = f"line {first.line}: " if first.line else ""
    return f"{where}{first.message}{more}"


_RAW = _accel.Element.__dict__["_raw"]
_DOCUMENT = _accel.Element.__dict__["_document"]


def address(document: Document) -> int:
    """The document's engine address through Document's own method (a
    subclass cannot substitute another); raises for a closed document."""
    return Document._check(document)


def target(node: object, what: str = "node") -> tuple[Document, int]:
    """(document, element address or 0) for a Document or an Element.

    Checks real types only; the caller reads the document's address with
    :func:`address` (which raises for a closed one) right before the
    engine call.
    """
    if isinstance(node, Document):
        return node, 0
    if isinstance(node, _accel.Element):
        # Through the base type's descriptors: a subclass cannot substitute
        # another address or document.
        raw = _RAW.__get__(node)
        document = _DOCUMENT.__get__(node)
        if raw == POISON:
            raise KorvithError(CLOSED_MESSAGE)
        if raw is None or not isinstance(document, Document):
            raise KorvithError("element has no engine node")
        return document, raw
    raise TypeError(f"{what} must be a korvith Document or Element, not {type(node).__name__}")


def dirs_argument(dirs: Iterable[str | os.PathLike[str]] | None, name: str) -> list[str]:
    """Directories given by the caller, as absolute paths."""
    if dirs is None:
        return []
    if isinstance(dirs, (str, bytes, os.PathLike)):
        dirs = [dirs]  # type: ignore[list-item]
    if not isinstance(dirs, Iterable):
        raise TypeError(f"{name} must be a directory path or a list of them, "
                        f"not {type(dirs).__name__}")
    out = []
    for d in dirs:
        if not isinstance(d, (str, os.PathLike)):
            raise TypeError(f"{name} must list directory paths, not {type(d).__name__}")
        path = os.path.abspath(os.fspath(d))
        if not os.path.isdir(path):
            raise ValueError(f"{name}: {path!r} is not a directory")
        out.append(path)
    return out


def dirs_block(dirs: list[str]) -> bytes | None:
    """The engine's form of a directory list: NUL-separated, NUL-ended."""
    if not dirs:
        return None
    encoded = [os.fsencode(d) for d in dirs]
    if any(b"\0" in d for d in encoded):
        raise ValueError("embedded NUL character in a directory path")
    return b"\0".join(encoded) + b"\0\0"


def source_bytes(source: object, what: str) -> tuple[bytes, str | None]:
    """The text of a schema or stylesheet and its file name: from a path,
    a binary file object, bytes, or a korvith Document or Element."""
    if isinstance(source, (Document, _accel.Element)):
        document, _ = target(source, what)
        data = source.tobytes()
        return data, document.filename
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source), None
    if isinstance(source, (str, os.PathLike)):
        path = os.path.abspath(os.fspath(source))
        with open(path, "rb") as f:
            return f.read(), path
    read = getattr(source, "read", None)
    if callable(read):
        data = read()
        if isinstance(data, str):
            data = data.encode("utf-8")
        if not isinstance(data, bytes):
            raise TypeError(f"{what}: read() must return bytes or str")
        name = getattr(source, "name", None)
        return data, os.path.abspath(name) if isinstance(name, str) and os.path.isfile(name) else None
    raise TypeError(f"{what} must be a path, a file object, bytes or a korvith Document, "
                    f"not {type(source).__name__}")


def take_buffer(address: int | None, length: int) -> bytes:
    """Copies an engine buffer and frees it."""
    if not address:
        return b""
    try:
        return ctypes.string_at(address, length)
    finally:
        ext.buffer_free(address)


def new_document(address: int, status: int = 0, filename: str | None = None,
                 size: int = 0) -> Document:
    """A Document that owns an engine document address; `size` is the bytes
    it was parsed from (a big document is freed with the interpreter
    released)."""
    return Document._adopt(address, _accel.new_registry(), status, filename=filename, size=size)
