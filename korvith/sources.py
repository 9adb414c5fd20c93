"""What ``korvith.parse(source)`` accepts, as ElementTree and lxml do.

A ``str`` or path-like is a file name; an object with ``read`` is a file
object (binary, or text without an encoding declaration); bytes, bytearray
and memoryview are XML data. XML text in a ``str`` goes to
``korvith.fromstring`` (or ``XML``); ``parse`` refuses it with an error that
says so, since a file of that name cannot exist.
"""

from __future__ import annotations

import ctypes
import os
from typing import Any

from . import _engine
from . import _korvithaccel as _accel
from .document import (Document, _as_bytes, _encoding_arg, _finish, _max_depth, parse_file,
                       parse_flags)

# Bytes read per call from a file object.
READ_CHUNK = 1 << 20


def is_source(data: Any) -> bool:
    """True for what ``parse`` treats as a file rather than XML data."""
    return isinstance(data, (str, os.PathLike)) or (
        not isinstance(data, (bytes, bytearray, memoryview)) and hasattr(data, "read"))


def read_block(stream: Any, size: int = READ_CHUNK) -> bytes:
    """The next block of a file object as bytes; b"" at its end."""
    chunk = stream.read(size)
    if not chunk:
        return b""
    if isinstance(chunk, str):
        chunk = _as_bytes(chunk)
    if not isinstance(chunk, (bytes, bytearray, memoryview)):
        raise TypeError(f"read() of the source returned {type(chunk).__name__}, not bytes")
    return bytes(chunk)


def read_all(stream: Any) -> bytes:
    """The whole content of a file object, read in chunks."""
    parts: list[bytes] = []
    while True:
        chunk = stream.read(READ_CHUNK)
        if not chunk:
            break
        if isinstance(chunk, str):
            chunk = _as_bytes(chunk)
        if not isinstance(chunk, (bytes, bytearray, memoryview)):
            raise TypeError(f"read() of the source returned {type(chunk).__name__}, "
                            "not bytes")
        parts.append(bytes(chunk))
    return b"".join(parts)


def _looks_like_xml(text: str) -> bool:
    return text.lstrip().startswith("<")


def parse_source(source: Any, *, recover: bool, max_depth: int, encoding: str | None = None,
                 **options: bool) -> Document:
    if isinstance(source, str) and _looks_like_xml(source) and not os.path.exists(source):
        raise FileNotFoundError(
            2, "korvith.parse() takes a file name, a path or a file object; for XML text "
               "use korvith.fromstring() or pass bytes", source[:40] + "...")
    if isinstance(source, (str, os.PathLike)):
        return parse_file(source, recover=recover, max_depth=max_depth, encoding=encoding,
                          **options)
    doc = parse_stream(source, recover=recover, max_depth=max_depth, encoding=encoding,
                       **options)
    name = getattr(source, "name", None)
    if isinstance(name, str):
        doc.filename = name
    return doc


# The engine's reader: fills up to `cap` bytes at `buf`, returns the count
# (0 at the end, -1 on failure).
_READ_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)


class _StreamReader:
    """Feeds a file object to the engine as it parses.

    The engine parses with the interpreter released and calls back here
    (ctypes takes the interpreter for the callback) whenever it needs more
    input, so the stream is never held in memory whole and reading stops at
    the first error that decides the parse, or at a limit of the engine's.
    An exception from the stream ends the parse and is raised afterwards.
    """

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        self.block = b""
        self.offset = 0
        self.total = 0  # bytes handed to the engine
        self.error: BaseException | None = None

    def __call__(self, _context: object, buf: int, cap: int) -> int:
        try:
            if self.offset >= len(self.block):
                self.block = read_block(self.stream)
                self.offset = 0
                if not self.block:
                    return 0
            count = min(cap, len(self.block) - self.offset)
            ctypes.memmove(buf, self.block[self.offset:self.offset + count], count)
            self.offset += count
            self.total += count
            return count
        except BaseException as exc:  # raised by parse_stream once the engine returns
            self.error = exc
            return -1


def parse_stream(stream: Any, *, recover: bool = False, max_depth: int = 0,
                 encoding: str | None = None, **options: bool) -> Document:
    """Parse what a file object's ``read`` gives, streamed through the
    engine (bounded by its limits, as a file is)."""
    flags = parse_flags(options)
    depth = _max_depth(max_depth)
    encoding_arg = _encoding_arg(encoding)
    reader = _StreamReader(stream)
    callback = _READ_FN(reader)
    opts = _engine.ParseOptions(flags, -1, depth, 1 if recover else 0)
    status = ctypes.c_int(0)
    address = _engine.ext.parse_reader(callback, None, ctypes.byref(opts), encoding_arg,
                                       ctypes.byref(status))
    if reader.error is not None:
        if address:
            _accel.close_document(address)
        raise reader.error
    if not address:
        return _finish((None, None, status.value))
    return _finish((address, _accel.new_registry(), status.value), size=reader.total)
