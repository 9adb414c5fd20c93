"""korvith: fast, safe XML parsing, querying and extraction on a C++ core.

>>> import korvith
>>> with korvith.parse(b"<shop><item price='3'>tea</item></shop>") as doc:
...     [item.text for item in doc.root.iter("item")]
['tea']
"""

from __future__ import annotations

from . import _engine
from ._korvithaccel import Element, SubtreeIterator
from .errors import KorvithError, ParseError, XPathError

_engine.bind(KorvithError)

from . import element as _element  # noqa: E402  (needs the bound module)
from .document import XML, Document, fromstring, parse, parse_file, parse_inplace  # noqa: E402
from .iterparse import iterparse  # noqa: E402
from .xpath import XPath  # noqa: E402
from .xquery import XQuery  # noqa: E402

_element.install()

from . import navigate as _navigate  # noqa: E402  (lxml-style navigation, strict getters)

_navigate.install()

from .xpath_nodes import XPathString  # noqa: E402  (non-element XPath results)

from . import editing as _editing  # noqa: E402
from .editing import PI, Attrs, Comment, ElementTree, ProcessingInstruction, SubElement  # noqa: E402

_editing.install()

from .output import tostring  # noqa: E402


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


__all__ = [
    "XML", "Document", "Element", "KorvithError", "Located", "ParseError", "Plan",
    "SaxHandler", "SubtreeIterator", "Text", "Tokens", "Wrapped", "XPath", "XPathError",
    "XQuery", "extract", "fromstring", "iterextract", "iterparse", "parse", "parse_file",
    "parse_inplace", "sax_parse", "tostring",
]
__all__ += ["Attrs", "Comment", "ElementTree", "PI", "ProcessingInstruction", "SubElement"]
__version__ = "0.1.0"

# Validation, HTML, canonical XML and XSLT.
from . import html  # noqa: E402
from .c14n import canonicalize, write_c14n  # noqa: E402
from .c14n import install as _install_c14n  # noqa: E402
from .diagnostics import ErrorEntry, ErrorLog, SchemaError, ValidationError, XSLTError  # noqa: E402
from .validation import DTD, RelaxNG, XMLSchema, validate_internal_dtd  # noqa: E402
from .xslt import XSLT, XSLTResult, strparam  # noqa: E402

_install_c14n()
__all__ += ["DTD", "ErrorEntry", "ErrorLog", "RelaxNG", "SchemaError", "ValidationError",
            "XMLSchema", "XSLT", "XSLTError", "XSLTResult", "canonicalize", "html", "strparam",
            "validate_internal_dtd", "write_c14n"]
__all__ += ["XPathString"]

# Arrow record batches and tables (pyarrow is imported on first use only).
if _extract_module is not None:
    from .tables import arrow_schema, extract_table, iter_batches  # noqa: E402
    __all__ += ["arrow_schema", "extract_table", "iter_batches"]

# XML records into pandas (through Arrow); pandas and pyarrow load on first use.
if _extract_module is not None:
    from .frames import read_xml  # noqa: E402
    __all__ += ["read_xml"]
