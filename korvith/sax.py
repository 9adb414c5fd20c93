"""SAX: replay the events of a parse into a handler object.

``sax_parse(source, handler)`` parses a file or a buffer in chunks and calls
the handler's methods in document order:

=============================  ==========================================
``start_document()``           ``end_document()``
``start_element(name, attrs)`` name as ``"{uri}local"`` or ``"local"``;
                               ``attrs`` a new dict, names likewise
``end_element(name)``          ``characters(text)`` (adjacent runs joined
                               within a chunk)
``comment(text)``              ``cdata(text)``
``processing_instruction(target, data)``
``start_prefix_mapping(prefix, uri)``  before the element that declares it
                               (prefix ``""`` for a default namespace)
``end_prefix_mapping(prefix)`` after that element's ``end_element``
``error(message, line, column)``  a parse error; events stop after a
                               fatal one
=============================  ==========================================

A handler must have every method listed above (checked before the
parse starts: TypeError names the first one missing); an attribute set to
None silences that event (except ``start_element``,
``processing_instruction``, ``start_prefix_mapping`` and ``error``).
Subclass :class:`SaxHandler` for no-op defaults and an ``error`` that raises
:class:`ParseError`. Memory stays flat: only one chunk's events are held at
a time. Network access and external entities are never used.
"""

from __future__ import annotations

import os
from typing import Any

from . import _korvithaccel as _accel
from ._engine import PARSE_HUGE, check_input_path, ext
from .errors import ParseError

__all__ = ["SaxHandler", "sax_parse"]

DEFAULT_CHUNK = 1 << 20


class SaxHandler:
    """Base handler: every event does nothing, and ``error`` raises."""

    def start_document(self) -> None: ...
    def end_document(self) -> None: ...
    def start_element(self, name: str, attrs: dict[str, str]) -> None: ...
    def end_element(self, name: str) -> None: ...
    def characters(self, text: str) -> None: ...
    def comment(self, text: str) -> None: ...
    def cdata(self, text: str) -> None: ...
    def processing_instruction(self, target: str, data: str) -> None: ...
    def start_prefix_mapping(self, prefix: str, uri: str) -> None: ...
    def end_prefix_mapping(self, prefix: str) -> None: ...

    def error(self, message: str, line: int, column: int) -> None:
        raise ParseError(message, line, column)


EVENTS = ("start_document", "end_document", "start_element", "end_element", "characters",
          "comment", "cdata", "processing_instruction", "start_prefix_mapping",
          "end_prefix_mapping", "error")
_REQUIRED = frozenset({"start_element", "processing_instruction", "start_prefix_mapping",
                       "error"})


def _check_handler(handler: Any) -> None:
    for name in EVENTS:
        method = getattr(handler, name, None)
        if method is None and name not in _REQUIRED and hasattr(handler, name):
            continue
        if not callable(method):
            got = "is missing" if method is None else f"is {type(method).__name__}"
            raise TypeError(
                f"SAX handler {type(handler).__name__} needs a callable {name}() ({name} {got}); "
                "a handler has all of " + ", ".join(EVENTS) +
                " (subclass korvith.SaxHandler for no-op defaults)")


def _open(source: Any, flags: int, chunk: int) -> tuple[int, Any]:
    """The engine recorder for ``source`` and the object to keep alive."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(os.fspath(source))
        check_input_path(path)
        handle = ext.sax_open_file(os.fsencode(path), flags, chunk)
        keep: Any = None
    elif hasattr(source, "read") and not isinstance(source, (bytes, bytearray, memoryview)):
        # Read in blocks as the parse goes (see _feed): a compressed or
        # network stream never sits in memory whole.
        opener = ext.sax_open_push
        handle = opener(flags, chunk)
        keep = _Stream(source, chunk)
    else:
        data = source
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError("sax_parse source must be a path, bytes or a binary file object")
        # The engine reads the buffer in place for the whole parse: hold an
        # immutable copy of anything that could change under it.
        keep = data if isinstance(data, bytes) else bytes(data)
        handle = ext.sax_open_buffer(keep, len(keep), flags, chunk)
    if not handle:
        raise OSError(f"cannot start a SAX parse of {source!r:.80}")
    return handle, keep


class _Stream:
    """A file object read block by block into a push recording."""

    def __init__(self, stream: Any, size: int) -> None:
        self.stream = stream
        self.size = size
        self.block = b""  # the engine reads it until the next push

    def feed(self, handle: int) -> None:
        from .sources import read_block
        self.block = read_block(self.stream, self.size)
        push = ext.sax_push
        if push(handle, self.block, len(self.block), 0 if self.block else 1):
            raise OSError("the SAX parse refused more input")


def sax_parse(source: Any, handler: Any, *, chunk_size: int = DEFAULT_CHUNK, huge: bool = False,
              **options: bool) -> None:
    """Parse ``source`` (a path, bytes or a binary file object, read in
    blocks as the parse goes) and call ``handler``'s methods for its events, ``chunk_size`` bytes of
    input at a time. ``huge`` lifts the parser's size limits. An exception
    raised by a handler method stops the parse and propagates. Other
    keywords are the parse keywords of ``korvith.parse`` that apply to
    events (``attribute_defaults``, ``remove_comments``, ``remove_pis``)."""
    _check_handler(handler)
    if chunk_size <= 0:
        raise ValueError("chunk_size must be positive")
    flags = PARSE_HUGE if huge else 0
    if options:
        from .document import parse_flags
        flags |= parse_flags(options)
    handle, keep = _open(source, flags, chunk_size)
    step = ext.sax_step
    free = ext.sax_free
    drain = _accel.sax_drain
    wants_input = ext.sax_wants_input
    try:
        while True:
            if isinstance(keep, _Stream) and wants_input(handle):
                keep.feed(handle)
                continue
            more = step(handle)
            if more < 0:
                raise OSError(f"read error during a SAX parse of {source!r:.80}")
            drain(handle, handler)
            if more == 0:
                break
    finally:
        free(handle)
        del keep
