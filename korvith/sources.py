"""What ``korvith.parse(source)`` accepts, as ElementTree and lxml do.

A ``str`` or path-like is a file name; an object with ``read`` is a file
object (binary, or text without an encoding declaration); bytes, bytearray
and memoryview are XML data. XML text in a ``str`` goes to
``korvith.fromstring`` (or ``XML``); ``parse`` refuses it with an error that
says so, since a file of that name cannot exist.
"""

from __future__ import annotations

import os
from typing import Any

from .document import Document, _as_bytes, parse_file

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


def parse_source(source: Any, *, recover: bool, max_depth: int, **options: bool) -> Document:
    from .document import parse
    if isinstance(source, str) and _looks_like_xml(source) and not os.path.exists(source):
        raise FileNotFoundError(
            2, "korvith.parse() takes a file name, a path or a file object; for XML text "
               "use korvith.fromstring() or pass bytes", source[:40] + "...")
    if isinstance(source, (str, os.PathLike)):
        return parse_file(source, recover=recover, max_depth=max_depth, **options)
    data = read_all(source)
    doc = parse(data, recover=recover, max_depth=max_depth, **options)
    name = getattr(source, "name", None)
    if isinstance(name, str):
        doc.filename = name
    return doc
