"""Documents: parsing entry points and the lifetime of an engine document.

A :class:`Document` owns one engine document and the registry capsule that
lists every live :class:`~korvith.Element` wrapper of it. Closing the
document first poisons those wrappers (``invalidate``), then frees the
engine document: a wrapper used afterwards raises
:class:`~korvith.KorvithError` instead of reading freed memory. A document
nobody closes is released when it becomes garbage, which cannot happen while
one of its elements is alive, since every element holds its document. The
release itself is native (``korvith._korvithedit.DocumentBase``): it runs
exactly once, and frees a big document without holding the interpreter.
"""

from __future__ import annotations

import ctypes
import os
import re
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any, Callable

from . import _engine
from . import _korvithaccel as _accel
from . import _korvithedit as _native
from . import _liveness
from ._engine import address_of
from ._liveness import DOC, DOCUMENT, ELEMENT
from . import errors as _errors
from .errors import KorvithError, ParseError
from .output import check_output_encoding, serialization_failed
from .xpath import evaluate
from .xquery import XQuery

if TYPE_CHECKING:
    from ._korvithaccel import Element

# Parse flag bits, by readable keyword name. The bit values are the
# engine's; `parse_flags` turns keywords into the flags word.
PARSE_FLAGS: dict[str, int] = {
    "remove_blank_text": _engine.PARSE_NOBLANKS,  # drop ignorable whitespace-only text
    "no_cdata": _engine.PARSE_NOCDATA,            # CDATA sections become plain text
    "huge": _engine.PARSE_HUGE,                   # lift the engine's size and depth limits
    "keep_entities": _engine.PARSE_KEEP_ENTITIES,  # keep internal entity references as nodes
    "ns_clean": _engine.PARSE_NSCLEAN,            # drop redundant namespace declarations
    "remove_comments": 0x200,                     # drop comments; text around them merges
    "remove_pis": 0x400,                          # drop processing instructions likewise
}

# Keywords that are on by default: passing False sets the engine bit.
PARSE_FLAGS_ON_BY_DEFAULT: dict[str, int] = {
    # attribute defaults from <!ATTLIST> in the internal subset
    "attribute_defaults": 0x100,
}


def parse_flags(options: Mapping[str, bool]) -> int:
    """The engine flags word for keyword options such as ``huge=True``."""
    flags = 0
    for name, on in options.items():
        if name in PARSE_FLAGS_ON_BY_DEFAULT:
            if not on:
                flags |= PARSE_FLAGS_ON_BY_DEFAULT[name]
            continue
        bit = PARSE_FLAGS.get(name)
        if bit is None:
            known = ", ".join(sorted([*PARSE_FLAGS, *PARSE_FLAGS_ON_BY_DEFAULT]))
            raise TypeError(f"unknown parse option {name!r} (known: {known})")
        if on:
            flags |= bit
    return flags


# --------------------------------------------------------------- documents

# The base type (korvith/native_edit/src/document.cpp) holds the engine
# address, the registry capsule and what the engine document reads from,
# and releases the document exactly once: on close(), on leaving a `with`
# block, or when the document is garbage, whichever comes first. Garbage
# only once no element of it is alive (each holds its document), so nothing
# can reach the freed memory.
_ADDRESS = _native.DocumentBase.__dict__["_address"]


class Document(_native.DocumentBase):
    """A parsed XML document.

    Use it as a context manager, or call :meth:`close`, to free the engine
    document at a known point; elements of a closed document raise
    :class:`KorvithError` when used.
    """

    __slots__ = ()

    def __init__(self, *args: object, **kwargs: object) -> None:
        # A document is only ever made around an engine document the
        # package parsed itself (`_adopt`): an address from anywhere else
        # would be read as a tree.
        raise TypeError("korvith.Document cannot be created directly; use korvith.parse(), "
                        "parse_file() or fromstring()")

    # -- lifetime (`closed`, `__enter__` and `__exit__` come from the base)
    def close(self) -> None:
        """Poison every element of the document, then free it. Idempotent."""
        # Marks the document closed for every checked call first, and
        # excludes them while it poisons the elements (see korvith._liveness).
        _liveness.close(self)

    def _check(self) -> int:
        # Through the base type's descriptor: a subclass cannot substitute
        # another address.
        address: int = _ADDRESS.__get__(self)
        if not address:
            raise KorvithError(_engine.CLOSED_MESSAGE)
        return address

    # -- content
    @property
    def root(self) -> Element:
        """The root element."""
        # The type and liveness checks and the engine call in one C call.
        return _document_root(self)

    @property
    def recovered(self) -> bool:
        """True when the parser had to repair the input (``recover=True``)."""
        return self.status != 0

    @property
    def errors(self) -> list[ParseError]:
        """Every error the parser reported (a recovered document may have
        several), in order, each with ``message``, ``line`` and ``column``."""
        from .parse_errors import document_errors
        return document_errors(self)

    def xpath(self, expr: str, namespaces: Mapping[str, str] | None = None,
              **variables: Any) -> Any:
        """Evaluate an XPath 1.0 expression with the document as context.

        Returns a list of elements for node-sets, else a bool, float or str.
        ``$name`` in the expression refers to the keyword argument ``name``.
        """
        return evaluate(expr, self, namespaces, variables)

    def xquery(self, query: Any, context: Element | None = None, *,
               max_items: int | None = None) -> Any:
        """Run an XQuery (text or a :class:`korvith.XQuery`) on the document,
        or with ``context`` as the context element. ``max_items`` raises the
        bound on intermediate results of query text (docs/xquery.md)."""
        if context is not None:
            _liveness.check_node("context", context, ELEMENT)
        if not isinstance(query, (str, XQuery)):
            raise TypeError(f"query must be str or XQuery, not {type(query).__name__}")
        self._check()
        target = context if context is not None else self
        if isinstance(query, XQuery):
            if max_items is not None:
                raise ValueError("max_items applies to query text; a prepared XQuery has its own")
            return query(target)
        if max_items is not None:
            with XQuery(query, max_items=max_items) as prepared:
                return prepared(target)
        with XQuery(query) as prepared:
            return prepared(target)

    def tobytes(self, indent: int = 0, declaration: bool = False,
                encoding: str | None = None) -> bytes:
        """Serialize the whole document.

        ``indent`` is spaces per level (0 keeps the text as it is),
        ``declaration`` writes ``<?xml ...?>``, ``encoding`` names the output
        encoding (UTF-8 when None).
        """
        indent = _indent(indent)
        encoding = check_output_encoding(encoding)
        declaration = bool(declaration)
        # Every argument is converted: the liveness check and the call follow
        # in one step.
        out = _liveness.run("document", self, DOCUMENT, _accel.serialize_doc_opts, DOC, indent,
                            int(declaration), encoding)
        if out is None:
            raise serialization_failed(encoding)
        return out

    # -- ElementTree-style conveniences, answered by the root element
    def getroot(self) -> Element:
        return self.root

    def iter(self, tag: str | None = None, *tags: str) -> Iterator[Element]:
        return self.root.iter(tag, *tags)

    def find(self, path: str, namespaces: Mapping[str, str] | None = None) -> Element | None:
        return self.root.find(_doc_path(path), namespaces)

    def findall(self, path: str, namespaces: Mapping[str, str] | None = None) -> list[Element]:
        return self.root.findall(_doc_path(path), namespaces)

    def findtext(self, path: str, default: str | None = None,
                 namespaces: Mapping[str, str] | None = None) -> str | None:
        return self.root.findtext(_doc_path(path), default, namespaces)

    def __repr__(self) -> str:
        where = f" {self.filename!r}" if self.filename else ""
        state = "closed" if self.closed else f"at 0x{self._address:x}"
        return f"<korvith.Document{where} {state}>"


def _doc_path(path: str) -> str:
    # ElementTree lets a tree answer "/x" and "//x" from its root.
    if not isinstance(path, str):
        raise TypeError(f"path must be str, not {type(path).__name__}")
    return "." + path if path.startswith("/") else path


# The engine indents with at most this many spaces per level.
MAX_INDENT = 60


def _indent(indent: int) -> int:
    if isinstance(indent, bool) or not isinstance(indent, int) or not 0 <= indent <= MAX_INDENT:
        raise ValueError(f"indent must be an int from 0 to {MAX_INDENT}, not {indent!r}")
    return indent


def _max_depth(max_depth: Any) -> int:
    # The engine takes a signed 32-bit count: a larger value would wrap
    # around (2**32 would silently mean "no limit"), a negative one is refused.
    if isinstance(max_depth, bool) or not isinstance(max_depth, int) \
            or not 0 <= max_depth <= 0x7FFFFFFF:
        raise ValueError(f"max_depth must be an int from 0 to 2147483647, not {max_depth!r}")
    return max_depth


# --------------------------------------------------------------- parsing

_DECL_ENCODING = re.compile(r"^\s*<\?xml[^>]*\bencoding\s*=", re.ASCII)


def _as_bytes(data: Any) -> bytes | bytearray | memoryview:
    if isinstance(data, str):
        if _DECL_ENCODING.match(data):
            raise ValueError("str input with an encoding declaration is not supported; "
                             "pass bytes instead")
        return data.encode("utf-8")
    if isinstance(data, (bytes, bytearray, memoryview)):
        return data
    raise TypeError(f"can only parse str or bytes-like data, not {type(data).__name__}")


def _encoding_arg(encoding: Any) -> bytes | None:
    """The ``encoding=`` keyword as the engine takes it (None: what the input
    declares or starts with, else UTF-8)."""
    if encoding is None:
        return None
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a str or None, not {type(encoding).__name__}")
    if not encoding or not encoding.isascii() or "\0" in encoding:
        raise ValueError(f"encoding must name an encoding, not {encoding!r}")
    return _engine_encoding(encoding)


def _engine_encoding(name: str) -> bytes:
    # The engine's names for an encoding are not always Python's
    # ("latin-1" is "ISO-8859-1" there): try Python's canonical spelling
    # too. An encoding neither knows stays as given; the parse then fails
    # naming it.
    import codecs
    candidates = [name]
    try:
        canonical = codecs.lookup(name).name
    except LookupError:
        canonical = name
    candidates += [canonical, canonical.replace("_", "-"), name.replace("_", "-")]
    for candidate in candidates:
        encoded = candidate.encode("ascii")
        if _engine.ext.encoding_known(encoded):
            return encoded
    return name.encode("ascii")


def _data_bytes(data: Any, encoding: bytes | None) -> bytes:
    # The engine reads the bytes with the interpreter released: an
    # immutable bytes object cannot change under it (a bytearray could).
    if type(data) is bytes:
        return data
    if isinstance(data, str) and encoding is not None:
        raise ValueError("encoding= applies to bytes input; a str is already decoded")
    return bytes(_as_bytes(data))


def _finish(result: tuple[Any, Any, int], filename: str | None = None,
            keepalive: object = None, size: int = 0) -> Document:
    # `size`: the bytes parsed (-1 for a file); a big document is freed with
    # the interpreter released.
    address, registry, status = result
    if address is None:
        raise _engine.parse_error(status, filename)
    return Document._adopt(address, registry, status, filename=filename, keepalive=keepalive,
                           size=size)


_parse_memory_enc = _engine.ext.parse_memory_enc


def _parse_ex(data: bytes, recover: bool, flags: int, max_depth: int,
              encoding: bytes | None = None) -> tuple[Any, Any, int]:
    # The engine parses with the interpreter released (the call touches no
    # Python object; ctypes keeps `data` alive for it), so other threads run
    # meanwhile; the finished document is then handed to the module.
    # No options record means the defaults (no flags, no recovery).
    opts = None
    if recover or flags or max_depth:
        opts = ctypes.byref(_engine.ParseOptions(flags, -1, max_depth, 1 if recover else 0))
    status = ctypes.c_int(0)  # passed by reference (the parameter is int*)
    address = _parse_memory_enc(data, len(data), opts, encoding, status)
    if not address:
        return None, None, status.value
    return address, _accel.new_registry(), status.value


# Bytes up to this size are parsed with the interpreter held, through the
# module's own parse (one C call that also makes the registry): such a parse
# takes microseconds, less than releasing and retaking the interpreter
# costs, so other threads lose nothing. Larger input is parsed with the
# interpreter released.
HELD_PARSE_LIMIT = 16 << 10


# The engine's strict parse, as the module's own `parse` makes it: input
# not valid in its encoding is an error, as on the released path (never the
# Latin-1 fallback of parse_with_encoding). One C call makes the Document
# (and, for fromstring, its root element).
_parse_small: Callable[[bytes, bool], Document] = _native.parse_small
_fromstring_small: Callable[[bytes, bool], Element] = _native.fromstring_small


def _parse_data(data: Any, recover: bool, max_depth: int, encoding: Any,
                options: Mapping[str, bool]) -> Document:
    if type(data) is bytes and len(data) <= HELD_PARSE_LIMIT and encoding is None \
            and not options and type(max_depth) is int and max_depth == 0:
        return _parse_small(data, recover)  # the common case, one C call
    encoded = _encoding_arg(encoding)
    raw = _data_bytes(data, encoded)
    flags = parse_flags(options) if options else 0
    # (An int 0, the default, needs no check: a small saving per document.)
    if type(max_depth) is not int or max_depth != 0:
        max_depth = _max_depth(max_depth)
    return _finish(_parse_ex(raw, recover, flags, max_depth, encoded), size=len(raw))


def parse(data: Any, *, recover: bool = False, max_depth: int = 0,
          encoding: str | None = None, **options: bool) -> Document:
    """Parse a file (a file name, a path-like or a file object) or XML data
    (bytes, bytearray, memoryview), as ElementTree and lxml do; XML text
    in a str goes to :func:`fromstring`.

    ``recover=True`` repairs malformed input as far as possible instead of
    raising :class:`ParseError`. ``max_depth`` (0: the engine's default)
    bounds element nesting. ``encoding`` names the input's encoding and
    wins over its declaration; without it the declared or detected
    encoding (else UTF-8) applies. Bytes that are not valid in that
    encoding raise :class:`ParseError`: nothing is re-read in another
    encoding. Flag keywords (``remove_blank_text``, ``no_cdata``, ``huge``,
    ``keep_entities``, ``ns_clean``) switch engine options.
    """
    if type(data) is not bytes:
        from .sources import is_source, parse_source
        if is_source(data):
            return parse_source(data, recover=recover, max_depth=max_depth,
                                encoding=encoding, **options)
    return _parse_data(data, recover, max_depth, encoding, options)


# Engine statuses for a file that cannot be opened, as the OSError the
# built-in open() raises for the same cause.
_OPEN_ERRORS: dict[int, tuple[type[OSError], int, str]] = {
    1524: (FileNotFoundError, 2, "No such file or directory"),
    1501: (PermissionError, 13, "Permission denied"),
    1517: (IsADirectoryError, 21, "Is a directory"),
}


def _open_error(status: int, name: str) -> OSError | None:
    known = _OPEN_ERRORS.get(status)
    if known is None:
        return None
    cls, errno_, text = known
    return cls(errno_, text, name)


def _file_failed(status: int, name: str) -> Exception:
    """The exception for a file parse that made no document: the OSError
    open() raises for a file that cannot be opened, else the ParseError."""
    error = _open_error(status, name)
    if error is not None:
        return error
    return _engine.parse_error(status, name)


def _parse_file_ex(encoded: bytes, recover: bool, flags: int,
                   max_depth: int, encoding: bytes | None = None) -> tuple[Any, Any, int]:
    # The engine opens the file and reads it in chunks as it parses, so the
    # file is never held in memory whole and reading stops at the first
    # fatal error. The call touches no Python object: it runs without the
    # GIL, so other threads (one feeding a FIFO, say) keep running.
    opts = None  # the defaults
    if recover or flags or max_depth:
        opts = ctypes.byref(_engine.ParseOptions(flags, -1, max_depth, 1 if recover else 0))
    status = ctypes.c_int(0)  # passed by reference (the parameter is int*)
    address = _engine.ext.parse_file_enc(encoded, opts, encoding, status)
    if not address:
        return None, None, status.value
    return address, _accel.new_registry(), status.value


def parse_file(path: str | os.PathLike[str], *, recover: bool = False, max_depth: int = 0,
               encoding: str | None = None, **options: bool) -> Document:
    """Parse the XML file at ``path`` (raises FileNotFoundError,
    IsADirectoryError, PermissionError, ParseError). ``encoding`` as for
    :func:`parse`."""
    if recover is False and encoding is None and not options and type(max_depth) is int \
            and max_depth == 0:
        # The defaults: the same checks and the parse in one C call.
        return _parse_path(path)
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a str, bytes or os.PathLike, not {type(path).__name__}")
    name = os.fspath(path)
    flags = parse_flags(options)
    max_depth = _max_depth(max_depth)
    encoding_arg = _encoding_arg(encoding)
    encoded = os.fsencode(name)
    if b"\0" in encoded:
        raise ValueError("embedded NUL character in path")
    result = _parse_file_ex(encoded, recover, flags, max_depth, encoding_arg)
    if result[0] is None:
        raise _file_failed(result[2], name)
    return _finish(result, filename=name, size=-1)


def parse_inplace(buffer: bytearray | memoryview, *, recover: bool = False,
                  **options: bool) -> Document:
    """Parse a writable buffer without copying it.

    The engine may write into the buffer. The document keeps the buffer
    alive, and keeps it from being resized, until it is closed.
    """
    try:
        view = memoryview(buffer)
    except TypeError:
        raise TypeError("buffer must be a writable buffer (bytearray or writable memoryview), "
                        f"not {type(buffer).__name__}") from None
    if view.readonly:
        raise TypeError("parse_inplace needs a writable buffer (bytearray or writable memoryview)")
    if not view.c_contiguous:
        raise ValueError("parse_inplace needs a contiguous buffer")
    view = view.cast("B")
    if view.nbytes == 0:
        raise ParseError("empty document", 0, 0, 0)
    # The ctypes array holds a buffer export: while the document keeps it,
    # the bytearray cannot be resized under the engine.
    pinned = (ctypes.c_char * view.nbytes).from_buffer(view)
    flags = parse_flags(options)
    result = _accel.parse_inplace(ctypes.addressof(pinned), view.nbytes, recover, flags)
    return _finish(result, keepalive=(pinned, view, buffer), size=view.nbytes)


def fromstring(data: Any, *, recover: bool = False, max_depth: int = 0,
               encoding: str | None = None, **options: bool) -> Element:
    """Parse XML data (bytes, or text in a str) and return the root element;
    it keeps its document alive. Keywords as for :func:`parse`."""
    # A str here is XML text, never a file name.
    if type(data) is bytes and len(data) <= HELD_PARSE_LIMIT and encoding is None \
            and not options and type(max_depth) is int and max_depth == 0:
        # The common case, one C call: nobody else has the new document
        # yet, so it cannot be closed before its root is read.
        return _fromstring_small(data, recover)
    return _parse_data(data, recover, max_depth, encoding, options).root


XML = fromstring


_native.document_bind(Document, address_of(_engine.lib.korvith_parse_string_fn),
                      address_of(_engine.ext.parse_string_ex),
                      address_of(_engine.ext.parse_file_enc),
                      address_of(_engine.lib.korvith_document_free),
                      address_of(_engine.lib.korvith_document_root), _accel, _errors,
                      _engine.parse_error, _file_failed, os.PathLike,
                      "document has no root element", _engine.CLOSED_MESSAGE)
_document_root: Callable[[Document], Element] = _native.document_root
_parse_path: Callable[[Any], Document] = _native.parse_path
