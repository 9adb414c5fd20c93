"""Serialisation spelled as ElementTree and lxml spell it.

``korvith.tostring`` and ``Element.tobytes`` accept the peers' keywords:
``pretty_print`` (two spaces per level), ``xml_declaration``,
``method="xml"`` or ``"text"``, ``with_tail`` (an element's tail follows it,
as in both peers) and ``encoding`` (``"unicode"`` gives ``str``). An unknown
encoding raises :class:`LookupError` naming it.
"""

from __future__ import annotations

import codecs
from typing import TYPE_CHECKING, Any, Literal, overload

from . import _korvithaccel as _accel
from ._liveness import ELEMENT, NODE, run

if TYPE_CHECKING:
    from .document import Document
    from ._korvithaccel import Element

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


_NODE_TYPES: tuple[type, type] | None = None


def _node_types() -> tuple[type, type]:
    """The comment/PI base class and Document, looked up once: the modules
    that define them import this one."""
    global _NODE_TYPES
    if _NODE_TYPES is None:
        from .document import Document
        from .editing import _Leaf
        _NODE_TYPES = (_Leaf, Document)
    return _NODE_TYPES


def element_bytes(element: Any, indent: int, declaration: bool, encoding: str | None,
                  with_tail: bool) -> bytes:
    """An element's serialization, its tail after it when asked. The
    arguments are converted already: the liveness check and the call follow
    in one step."""
    out = run("element", element, ELEMENT, _accel.serialize_elem_opts, NODE, indent,
              int(declaration), encoding)
    if out is None:
        raise serialization_failed(encoding)
    return out + tail_bytes(element, encoding) if with_tail else out


@overload
def tostring(node: Element | Document, indent: int, declaration: bool,
             encoding: Literal["unicode"], *, pretty_print: bool = False,
             xml_declaration: bool | None = None, method: str = "xml",
             with_tail: bool = True) -> str: ...
@overload
def tostring(node: Element | Document, indent: int = 0, declaration: bool = False, *,
             encoding: Literal["unicode"], pretty_print: bool = False,
             xml_declaration: bool | None = None, method: str = "xml",
             with_tail: bool = True) -> str: ...
@overload
def tostring(node: Element | Document, indent: int = 0, declaration: bool = False,
             encoding: str | None = None, *, pretty_print: bool = False,
             xml_declaration: bool | None = None, method: str = "xml",
             with_tail: bool = True) -> bytes: ...
def tostring(node: Any, indent: int = 0, declaration: bool = False,
             encoding: str | None = None, *, pretty_print: bool = False,
             xml_declaration: bool | None = None, method: str = "xml",
             with_tail: bool = True) -> bytes | str:
    """Serialize an element or a document; ``encoding="unicode"`` gives str.

    Also takes the peers' spellings: ``pretty_print``, ``xml_declaration``,
    ``method="text"`` and ``with_tail`` (see korvith.output)."""
    if (type(node) is _accel.Element and encoding is None and type(indent) is int
            and indent == 0 and declaration is False and pretty_print is False
            and xml_declaration is None and type(method) is str and method == "xml"
            and (with_tail is True or with_tail is False)):
        # The usual call: nothing to convert.
        return element_bytes(node, 0, False, None, with_tail)
    _Leaf, Document = _node_types()
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
