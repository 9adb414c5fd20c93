"""Serialisation spelled as ElementTree and lxml spell it.

``korvith.tostring`` and ``Element.tobytes`` accept the peers' keywords:
``pretty_print`` (two spaces per level), ``xml_declaration``,
``method="xml"`` or ``"text"``, ``with_tail`` (an element's tail follows it,
as in both peers) and ``encoding`` (``"unicode"`` gives ``str``). An unknown
encoding raises :class:`LookupError` naming it.
"""

from __future__ import annotations

import codecs
from typing import Any

from . import _korvithaccel as _accel

PRETTY_INDENT = 2


def check_encoding(encoding: Any) -> str | None:
    """The encoding name, after checking that Python knows it."""
    if encoding is None:
        return None
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be str or None, not {type(encoding).__name__}")
    try:
        codecs.lookup(encoding)
    except LookupError:
        raise LookupError(f"unknown encoding: {encoding!r}") from None
    return encoding


_WIDE = frozenset({"utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-32-le", "utf-32-be"})


def check_output_encoding(encoding: Any) -> str | None:
    """``check_encoding``, and ValueError for UTF-16 and UTF-32: the
    serializer returns bytes with no NUL inside, which those encodings need."""
    encoding = check_encoding(encoding)
    if encoding is not None and codecs.lookup(encoding).name in _WIDE:
        raise ValueError(
            f"cannot serialize to {encoding!r}: UTF-16 and UTF-32 output holds NUL bytes, "
            "which this path cannot return; use encoding='unicode' and encode the str "
            "yourself (the text then carries no XML declaration)")
    return encoding


def serialization_failed(encoding: str | None) -> Exception:
    """The error for a serializer that returned nothing: with a valid
    document that means the engine does not know the encoding's name."""
    if encoding is None:
        from .errors import KorvithError
        return KorvithError("serialization to UTF-8 failed")
    hint = ""
    canonical = codecs.lookup(encoding).name
    if canonical.lower() != encoding.lower():
        hint = f"; Python calls it {canonical!r}, try that name"
    return LookupError(f"unknown encoding for XML output: {encoding!r} (Python has a codec of "
                       f"that name, the XML serializer does not){hint}")


def escape_text(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def encode_text(text: str, encoding: str | None) -> bytes:
    """Character data in ``encoding``; characters it lacks become references."""
    return text.encode(encoding or "utf-8", "xmlcharrefreplace")


def tail_bytes(element: Any, encoding: str | None) -> bytes:
    tail = element.tail
    return encode_text(escape_text(tail), encoding) if tail else b""


def text_content(node: Any, with_tail: bool) -> str:
    """What ``method="text"`` writes: every text of the subtree, in order."""
    element = node.root if not isinstance(node, _accel.Element) else node
    text = "".join(element.itertext())
    if with_tail and isinstance(node, _accel.Element):
        text += node.tail or ""
    return text


def unicode_encoding(encoding: object) -> bool:
    return isinstance(encoding, str) and encoding.lower() == "unicode"


def tostring(node: Any, indent: int = 0, declaration: bool = False,
             encoding: str | None = None, *, pretty_print: bool = False,
             xml_declaration: bool | None = None, method: str = "xml",
             with_tail: bool = True) -> bytes | str:
    from .document import Document
    from .editing import _Leaf
    if isinstance(node, _Leaf):  # a comment or processing instruction
        out = node.tobytes(encoding=None if unicode_encoding(encoding) else encoding)
        if with_tail and node.tail:
            out += tail_bytes(node, None if unicode_encoding(encoding) else encoding)
        return out.decode("utf-8") if unicode_encoding(encoding) else out
    if not isinstance(node, (_accel.Element, Document)):
        raise TypeError(f"tostring() needs an Element or a Document, not {type(node).__name__}")
    unicode = unicode_encoding(encoding)
    encoding = None if unicode else check_encoding(encoding)
    if method not in ("xml", "text"):
        raise ValueError(f"unknown method {method!r} (known: 'xml', 'text')")
    if method == "text":
        text = text_content(node, with_tail)
        return text if unicode else text.encode(encoding or "utf-8", "replace")
    if pretty_print and not indent:
        indent = PRETTY_INDENT
    if xml_declaration is not None:
        declaration = bool(xml_declaration)
    if unicode:
        declaration = False
    options: dict[str, Any] = {}
    if isinstance(node, _accel.Element):
        options["with_tail"] = with_tail
    out = node.tobytes(indent=indent, declaration=declaration, encoding=encoding, **options)
    if pretty_print and not out.endswith(b"\n"):
        out += b"\n"  # as lxml ends pretty output, after the tail
    return out.decode("utf-8") if unicode else out
