"""HTML parsing into ordinary korvith documents.

>>> doc = korvith.html.fromstring(b"<p>Hello <b>web")
>>> doc.root.tag, [e.tag for e in doc.iter()]
('html', ['html', 'body', 'p', 'b'])

The parser is libxml2's HTML parser with recovery: tag soup is repaired
roughly as browsers do, tag and attribute names come out lower-case, and
the encoding comes from ``encoding=``, a byte order mark or the page's
``<meta charset>`` (else windows-1252 as browsers assume). It never touches
the network and loads nothing but the input. The result is a
:class:`korvith.Document`: ``iter``, ``find``, XPath, ``itertext``, plans
and the command line work on it as on XML.
"""

from __future__ import annotations

import ctypes
import os
from typing import Any

from .diagnostics import ext, new_document
from ._engine import parse_error
from .document import Document
from ._korvithaccel import Element

__all__ = ["fromstring", "parse", "document_fromstring", "text_content"]


def _encoding_argument(encoding: Any) -> bytes | None:
    if encoding is None:
        return None
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a str, not {type(encoding).__name__}")
    if not encoding or "\0" in encoding:
        raise ValueError(f"invalid encoding name {encoding!r}")
    return encoding.encode("ascii", "strict")


def _parse_bytes(data: bytes, encoding: bytes | None, filename: str | None) -> Document:
    status = ctypes.c_int(0)
    url = os.fsencode(filename) if filename is not None else None
    address = ext.html_parse(data, len(data), encoding, url, ctypes.byref(status))
    if not address:
        raise parse_error(status.value, filename, "no HTML content")
    return new_document(address, status.value, filename, size=len(data))


def document_fromstring(data: str | bytes | bytearray | memoryview, *,
                        encoding: str | None = None) -> Document:
    """Parse HTML text into a :class:`korvith.Document`.

    A str is parsed as Unicode text (its own ``<meta charset>`` is then
    ignored); bytes are decoded with ``encoding``, a byte order mark or the
    ``<meta>`` charset.
    """
    enc = _encoding_argument(encoding)
    if isinstance(data, str):
        if enc is not None:
            raise ValueError("encoding= applies to bytes input, not str")
        return _parse_bytes(data.encode("utf-8"), b"UTF-8", None)
    if isinstance(data, (bytes, bytearray, memoryview)):
        return _parse_bytes(bytes(data), enc, None)
    raise TypeError(f"can only parse str or bytes-like HTML, not {type(data).__name__}")


def fromstring(data: str | bytes | bytearray | memoryview, *,
               encoding: str | None = None) -> Element:
    """Parse HTML text and return the root element (``<html>``); it keeps
    its document alive."""
    return document_fromstring(data, encoding=encoding).root


def parse(source: Any, *, encoding: str | None = None) -> Document:
    """Parse HTML from a path, a file object (binary or text), bytes or str."""
    enc = _encoding_argument(encoding)
    if isinstance(source, (str, os.PathLike)) and not isinstance(source, str) or \
            isinstance(source, str) and "<" not in source:
        name = os.fspath(source)
        with open(name, "rb") as f:
            data = f.read()
        return _parse_bytes(data, enc, name)
    if isinstance(source, (str, bytes, bytearray, memoryview)):
        return document_fromstring(source, encoding=encoding)
    read = getattr(source, "read", None)
    if callable(read):
        content = read()
        name = getattr(source, "name", None)
        filename = name if isinstance(name, str) else None
        if isinstance(content, str):
            if enc is not None:
                raise ValueError("encoding= applies to binary files, not text files")
            return _parse_bytes(content.encode("utf-8"), b"UTF-8", filename)
        if isinstance(content, (bytes, bytearray)):
            return _parse_bytes(bytes(content), enc, filename)
        raise TypeError("read() must return bytes or str")
    raise TypeError(f"cannot parse HTML from {type(source).__name__}")


def text_content(node: Element | Document) -> str:
    """All text inside the element (or the document's root), in document
    order, without markup: like lxml.html's ``text_content()``."""
    if isinstance(node, Document):
        node = node.root
    if not isinstance(node, Element):
        raise TypeError(f"expected a korvith Element or Document, not {type(node).__name__}")
    result = node.xpath("string()")
    return result if isinstance(result, str) else ""
