"""Canonical XML: C14N 1.0, exclusive C14N 1.0 and C14N 1.1.

>>> korvith.canonicalize(korvith.parse(b'<a b="1"  a="2"/>'))
b'<a a="2" b="1"></a>'

These are the W3C algorithms libxml2 implements (and lxml's
``tostring(method="c14n")``); ElementTree's ``canonicalize`` is C14N 2.0,
a different algorithm that korvith does not offer.
"""

from __future__ import annotations

import ctypes
import os
from collections.abc import Iterable
from typing import IO

from ._korvithaccel import Element
from .diagnostics import ext, take_buffer, target
from ._engine import last_error
from ._liveness import DOC, NODE, NODE_OR_DOCUMENT, run
from .document import Document
from .errors import KorvithError

_MODES = {"1.0": 0, "exclusive": 1, "1.1": 2}


def _prefixes(value: Iterable[str] | None) -> bytes | None:
    if value is None:
        return None
    if isinstance(value, (str, bytes)):
        raise TypeError("inclusive_ns_prefixes must be a list of prefixes, not a single string")
    if not isinstance(value, Iterable):
        raise TypeError("inclusive_ns_prefixes must be a list of prefixes, "
                        f"not {type(value).__name__}")
    out = []
    for p in value:
        if not isinstance(p, str):
            raise TypeError(f"inclusive_ns_prefixes must hold str, not {type(p).__name__}")
        if not p or any(c.isspace() for c in p) or "\0" in p:
            raise ValueError(f"invalid namespace prefix {p!r}")
        out.append(p)
    return " ".join(out).encode("utf-8") if out else None


def canonicalize(node: Document | Element, *, exclusive: bool = False,
                 with_comments: bool = False, inclusive_ns_prefixes: Iterable[str] | None = None,
                 version: str = "1.0") -> bytes:
    """The canonical form of a document, or of an element's subtree, as bytes.

    ``exclusive=True`` selects exclusive C14N (``inclusive_ns_prefixes``
    lists prefixes still treated inclusively; ``"#default"`` is the default
    namespace). ``version="1.1"`` selects C14N 1.1 (not with exclusive).
    ``with_comments`` keeps comments. For an element, the namespaces in
    scope at it are rendered on it, as in lxml.
    """
    if version not in ("1.0", "1.1"):
        raise ValueError(f"version must be '1.0' or '1.1', not {version!r}")
    exclusive = bool(exclusive)
    if exclusive and version == "1.1":
        raise ValueError("exclusive canonicalisation exists only for version 1.0")
    prefixes = _prefixes(inclusive_ns_prefixes)
    if prefixes is not None and not exclusive:
        raise ValueError("inclusive_ns_prefixes applies only with exclusive=True")
    mode = _MODES["exclusive"] if exclusive else _MODES[version]
    comments = 1 if with_comments else 0
    target(node, "canonicalize() argument")
    out = ctypes.c_void_p()
    # The liveness check and the engine call (which keeps the GIL, so no
    # thread can close the document during it) are one step.
    n = run("canonicalize() argument", node, NODE_OR_DOCUMENT, ext.c14n, DOC, NODE, mode,
            comments, prefixes, ctypes.byref(out))
    if n < 0:
        err = last_error()
        raise KorvithError(err[0] if err else "the document cannot be canonicalised")
    return take_buffer(out.value, n)


def write_c14n(node: Document | Element, file: str | os.PathLike[str] | IO[bytes], *,
               exclusive: bool = False, with_comments: bool = False,
               inclusive_ns_prefixes: Iterable[str] | None = None, version: str = "1.0") -> None:
    """Writes the canonical form to a path or a binary file object."""
    if not isinstance(file, (str, os.PathLike)) and not callable(getattr(file, "write", None)):
        raise TypeError("file must be a path or a binary file object, "
                        f"not {type(file).__name__}")
    data = canonicalize(node, exclusive=exclusive, with_comments=with_comments,
                        inclusive_ns_prefixes=inclusive_ns_prefixes, version=version)
    if isinstance(file, (str, os.PathLike)):
        with open(file, "wb") as f:
            f.write(data)
    else:
        file.write(data)


def install() -> None:
    """Adds ``write_c14n`` and ``canonicalize`` methods to Document."""
    Document.write_c14n = write_c14n  # type: ignore[attr-defined]
    Document.canonicalize = canonicalize  # type: ignore[attr-defined]
