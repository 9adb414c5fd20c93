"""korvith: fast, safe XML parsing, querying and extraction on a C++ core.

>>> import korvith
>>> with korvith.parse(b"<shop><item price='3'>tea</item></shop>") as doc:
...     [item.text for item in doc.root.iter("item")]
['tea']
"""

from __future__ import annotations

from typing import Any

from . import _engine
from ._korvithaccel import Element, SubtreeIterator
from .errors import KorvithError, ParseError, XPathError

_engine.bind(KorvithError)

from . import element as _element  # noqa: E402  (needs the bound module)
from .document import XML, Document, fromstring, parse, parse_file, parse_inplace  # noqa: E402
from .iterparse import iterparse  # noqa: E402
from .xpath import XPath  # noqa: E402

_element.install()


def tostring(node: Element | Document, indent: int = 0, declaration: bool = False,
             encoding: str | None = None) -> bytes | str:
    """Serialize an element or a document; ``encoding="unicode"`` gives str."""
    if encoding is not None and encoding.lower() == "unicode":
        return node.tobytes(indent=indent, declaration=False).decode("utf-8")
    return node.tobytes(indent=indent, declaration=declaration, encoding=encoding)


# Pieces built on the plan and SAX engines and on XQuery load on first use,
# so the package imports even where one of them is unavailable.
_LAZY = {
    "extract": ("extract", "extract"),
    "iterextract": ("extract", "iterextract"),
    "sax_parse": ("sax", "sax_parse"),
    "XQuery": ("xquery", "XQuery"),
}


def __getattr__(name: str) -> Any:
    where = _LAZY.get(name)
    if where is None:
        raise AttributeError(f"module 'korvith' has no attribute {name!r}")
    from importlib import import_module
    value = getattr(import_module(f".{where[0]}", __name__), where[1])
    globals()[name] = value
    return value


__all__ = [
    "XML", "Document", "Element", "KorvithError", "ParseError", "SubtreeIterator", "XPath",
    "XPathError", "XQuery", "extract", "fromstring", "iterextract", "iterparse", "parse",
    "parse_file", "parse_inplace", "sax_parse", "tostring",
]
__version__ = "0.1.0"
