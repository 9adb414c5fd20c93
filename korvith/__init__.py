"""korvith: fast, safe XML parsing, querying and extraction on a C++ core.

>>> import korvith
>>> with korvith.parse(b"<shop><item price='3'>tea</item></shop>") as doc:
...     [item.text for item in doc.root.iter("item")]
['tea']
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import _engine
from ._korvithaccel import Element, SubtreeIterator
from .errors import KorvithError, ParseError, XPathError

_engine.bind(KorvithError)

from . import element as _element  # noqa: E402  (needs the bound module)
from .document import XML, Document, fromstring, parse, parse_file, parse_inplace  # noqa: E402
from .iterparse import iterparse  # noqa: E402
from .xpath import XPath  # noqa: E402

_element.install()

from . import editing as _editing  # noqa: E402
from .editing import PI, Attrs, Comment, ElementTree, ProcessingInstruction, SubElement  # noqa: E402

_editing.install()

if TYPE_CHECKING:
    from .xquery import XQuery


def tostring(node: Element | Document, indent: int = 0, declaration: bool = False,
             encoding: str | None = None) -> bytes | str:
    """Serialize an element or a document; ``encoding="unicode"`` gives str."""
    if encoding is not None and encoding.lower() == "unicode":
        return node.tobytes(indent=indent, declaration=False).decode("utf-8")
    return node.tobytes(indent=indent, declaration=declaration, encoding=encoding)


# Typed extraction and SAX live in their own modules; the package keeps
# importing where one of them is unavailable. Binding the functions after
# the import matters: importing the submodule `korvith.extract` would
# otherwise leave the module, not the function, as `korvith.extract`.
try:
    from . import extract as _extract_module
except ImportError:  # pragma: no cover - partial installs only
    _extract_module = None
if _extract_module is not None:
    from .extract import Located, Plan, Text, Tokens, Wrapped, iterextract  # noqa: E402
    extract = _extract_module.extract
try:
    from .sax import SaxHandler, sax_parse  # noqa: E402
except ImportError:  # pragma: no cover
    pass


def __getattr__(name: str) -> Any:
    if name == "XQuery":
        from .xpath import xquery_class
        globals()[name] = value = xquery_class()
        return value
    raise AttributeError(f"module 'korvith' has no attribute {name!r}")


__all__ = [
    "XML", "Document", "Element", "KorvithError", "Located", "ParseError", "Plan",
    "SaxHandler", "SubtreeIterator", "Text", "Tokens", "Wrapped", "XPath", "XPathError",
    "XQuery", "extract", "fromstring", "iterextract", "iterparse", "parse", "parse_file",
    "parse_inplace", "sax_parse", "tostring",
]
__all__ += ["Attrs", "Comment", "ElementTree", "PI", "ProcessingInstruction", "SubElement"]
__version__ = "0.1.0"
