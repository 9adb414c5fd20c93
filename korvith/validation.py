"""Validation against XML Schema, RELAX NG and DTDs.

>>> schema = korvith.XMLSchema("shop.xsd")
>>> schema.validate(doc)
False
>>> [(e.line, e.message) for e in schema.error_log]
[(3, "Element 'price': 'x' is not a valid value of the atomic type 'xs:decimal'.")]

Schemas read other files (xs:include, xs:import, RELAX NG include and
externalRef, DTD parameter entities) only from the schema's own directory
and the directories named in ``allow_dirs``; every other location, and
every network URL, makes compilation fail with a :class:`SchemaError` that
names it. Validation works on a copy, so the document is never changed.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable

from .diagnostics import (Diagnostics, ErrorLog, SchemaError, ValidationError,
                          dirs_argument, dirs_block, ext, source_bytes, summary, target)
from ._liveness import DOC, NODE, NODE_OR_DOCUMENT, run
from .document import Document
from .errors import KorvithError
from ._korvithaccel import Element

_XSD, _RELAXNG, _DTD = 1, 2, 3
_KIND_NAMES = {_XSD: "XML Schema", _RELAXNG: "RELAX NG schema", _DTD: "DTD"}


class _Validator:
    """Shared behaviour of the compiled schema classes."""

    _kind = 0

    def __init__(self, handle: int | None) -> None:
        self._handle = handle
        self._lock = threading.Lock()
        self._error_log = ErrorLog()

    @property
    def error_log(self) -> ErrorLog:
        """The problems found by the most recent validation."""
        return self._error_log

    def validate(self, node: Document | Element) -> bool:
        """True when the document (or the subtree of the element, as a
        document of its own) is valid; the problems go to ``error_log``."""
        target(node, "validate() argument")
        if self._kind and not self._handle:
            raise KorvithError("operation on a closed schema")
        with Diagnostics() as diag:
            # The liveness check and the engine call are one step.
            rc = run("validate() argument", node, NODE_OR_DOCUMENT, ext.schema_validate,
                     self._handle, DOC, NODE, diag.handle)
            log = diag.entries()
        self._error_log = log
        if rc < 0:
            raise ValidationError(summary(log, "validation could not run"), log)
        return rc == 1

    __call__ = validate

    def assert_valid(self, node: Document | Element) -> None:
        """Raises :class:`ValidationError` (with every problem in its
        ``error_log``) unless the document is valid."""
        if not self.validate(node):
            raise ValidationError(summary(self._error_log, "document is not valid"),
                                  self._error_log)

    def close(self) -> None:
        with self._lock:
            handle, self._handle = self._handle, None
        if handle:
            ext.schema_free(handle)

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        if handle:
            ext.schema_free(handle)


def _compile(kind: int, source: object, allow_dirs: Iterable[str | os.PathLike[str]] | None,
             what: str, data: bytes | None = None, filename: str | None = None) -> int:
    dirs = dirs_argument(allow_dirs, "allow_dirs")
    if data is None:
        data, filename = source_bytes(source, what)
    if filename is not None:
        dirs.insert(0, os.path.dirname(filename))
    base = os.fsencode(filename) if filename is not None else None
    block = dirs_block(dirs)
    with Diagnostics() as diag:
        handle = ext.schema_compile(kind, data, len(data), base, block, diag.handle)
        log = diag.entries()
    if not handle:
        raise SchemaError(summary(log, f"the {_KIND_NAMES[kind]} does not compile"), log)
    return handle


class XMLSchema(_Validator):
    """A compiled W3C XML Schema (XSD 1.0).

    ``source`` is a path, a binary file object, bytes, or a korvith
    Document/Element holding the schema. ``allow_dirs`` names directories,
    besides the schema's own, that includes and imports may read from.
    """

    _kind = _XSD

    def __init__(self, source: object, *,
                 allow_dirs: Iterable[str | os.PathLike[str]] | None = None) -> None:
        super().__init__(_compile(_XSD, source, allow_dirs, "XMLSchema source"))


class RelaxNG(_Validator):
    """A compiled RELAX NG schema (XML syntax); arguments as :class:`XMLSchema`."""

    _kind = _RELAXNG

    def __init__(self, source: object, *,
                 allow_dirs: Iterable[str | os.PathLike[str]] | None = None) -> None:
        super().__init__(_compile(_RELAXNG, source, allow_dirs, "RelaxNG source"))


class DTD(_Validator):
    """A compiled DTD.

    ``source`` is a path, a binary or text file object, DTD text as bytes,
    or DTD text as a str (a str that contains ``<!`` is DTD text, any other
    str a path). External parameter entities are read only from the DTD's
    own directory and ``allow_dirs``.
    """

    _kind = _DTD

    def __init__(self, source: object, *,
                 allow_dirs: Iterable[str | os.PathLike[str]] | None = None) -> None:
        if isinstance(source, str) and "<!" in source:
            handle = _compile(_DTD, None, allow_dirs, "DTD source", source.encode("utf-8"))
        elif isinstance(source, (Document, Element)):
            raise TypeError("DTD source must be a path, a file object or DTD text; "
                            "use validate_internal_dtd() for a document's own DTD")
        else:
            handle = _compile(_DTD, source, allow_dirs, "DTD source")
        super().__init__(handle)


class _InternalDTD(_Validator):
    pass


def validate_internal_dtd(node: Document | Element) -> tuple[bool, ErrorLog]:
    """Validates a document against its own internal DTD subset (its
    ``<!DOCTYPE root [...]>``): (valid, problems). An external DTD the
    document names is never loaded. Raises :class:`ValidationError` when
    the document has no DTD."""
    validator = _InternalDTD(None)
    valid = validator.validate(node)
    return valid, validator.error_log
