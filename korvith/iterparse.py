"""Streaming parse: elements as their end tags arrive.

``for item in korvith.iterparse("big.xml", tag="item"): ...`` reads the
input in chunks and yields each ``<item>`` once it is complete. The engine
applies the tag filter. With a tag filter, each yielded element is freed
(with its subtree and everything complete before it, but not its
ancestors) when the loop moves on, and so is each element the filter
passes over that no matching element encloses: memory stays flat however
large the input, whichever tag is asked for. Take what you need from an element before the next
iteration: a wrapper kept beyond raises :class:`KorvithError` when used,
as does every element of the iterator once it is closed. Nothing is freed
early when ``release=False`` (the default without a tag filter), and then
the whole tree stays reachable, through :attr:`iterparse.root` too.
"""

from __future__ import annotations

import ctypes
import os
import threading
import weakref
from collections.abc import Iterable, Iterator
from typing import Any

from . import _korvithaccel as _accel
from . import _korvithedit as _edit
from . import errors as _errors
from ._engine import (CLOSED_MESSAGE, address_of, ext, open_iterator, parse_error,
                      raise_iterparse_error)
from .document import parse_flags
from .xpath import split_tag
from .errors import KorvithError


def _open(source: Any, flags: int) -> int:
    if _is_stream(source):
        # A file object is read block by block as the parse goes (see
        # iterparse._feed), never whole.
        status = ctypes.c_int(0)
        handle = ext.iterparse_open_push(flags, ctypes.byref(status))
        if not handle:
            name = getattr(source, "name", None)
            raise parse_error(status.value, name if isinstance(name, str) else None,
                              "cannot start parsing")
        return handle
    if isinstance(source, (str, os.PathLike)):
        return open_iterator(os.fspath(source), None, flags)
    data = source.read() if hasattr(source, "read") else source
    if isinstance(data, str):
        data = data.encode("utf-8")
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError("iterparse source must be a path, bytes or a binary file object")
    filename = getattr(source, "name", None) if hasattr(source, "read") else None
    return open_iterator(None, bytes(data), flags,
                         filename if isinstance(filename, str) else None)


_EVENT_BITS = {"start": 0x01, "end": 0x02, "start-ns": 0x04, "end-ns": 0x08,
               "comment": 0x10, "pi": 0x20}


def _event_mask(events: Iterable[str]) -> int:
    if isinstance(events, (str, bytes, bytearray)) or not isinstance(events, Iterable):
        raise TypeError("events must be a sequence of event names (str), "
                        f"not {type(events).__name__}")
    mask = 0
    for name in events:
        bit = _EVENT_BITS.get(name)
        if bit is None:
            known = ", ".join(repr(n) for n in _EVENT_BITS)
            raise ValueError(f"unknown iterparse event {name!r} (known: {known})")
        mask |= bit
    return mask


# Scopes whose elements iterparse releases, while a wrapper holds them.
_RELEASED: weakref.WeakSet[_Scope] = weakref.WeakSet()
_errors.released_alive = lambda: len(_RELEASED) > 0

# The engine's filtered steps, its event texts and the iterator's free,
# called by the cursors of korvith._korvithedit without a round trip
# through Python.
_STEP_ADDRESS: int = address_of(ext.iterparse_step)
_STEP_EVENT_ADDRESS: int = address_of(ext.iterparse_step_event)
_EVENT_TEXT_ADDRESS: int = address_of(ext.iterparse_event_text)
_FREE_ADDRESS: int = address_of(ext.iterparse_free)


def _is_stream(source: Any) -> bool:
    return hasattr(source, "read") and not isinstance(
        source, (str, os.PathLike, bytes, bytearray, memoryview))


def _tag_list(tag: Any) -> list[str]:
    """``tag`` as a list: None, one tag or an iterable of tags."""
    if tag is None:
        return []
    if isinstance(tag, str):
        return [tag]
    if isinstance(tag, (bytes, bytearray)) or not isinstance(tag, Iterable):
        raise TypeError(f"tag must be a str or a sequence of str, not {type(tag).__name__}")
    return list(tag)


def _filter_bytes(tags: list[str]) -> bytes:
    """The tags as the engine's filter takes them, NUL-separated; each is
    checked as every tag argument is (TypeError, ValueError)."""
    for tag in tags:
        split_tag(tag)
    return b"\0".join(tag.encode("utf-8", "surrogatepass") for tag in tags)


class _Scope:
    """Document object of the wrappers handed out by an iterator: its
    registry is the iterator's, so that moving on or closing the iterator
    poisons every wrapper made from it."""

    __slots__ = ("_accel_registry", "_owner", "_address", "__weakref__")

    def __init__(self, owner: iterparse, registry: object) -> None:
        self._accel_registry = registry
        self._owner = owner
        self._address = 0  # the iterator's document, known once parsing began

    def _check(self) -> int:
        # No C call after the test once the address is known: a thread
        # switch there could let another thread close the iterator between
        # the test and the caller's use of the address.
        if self._address:
            if self._owner.closed:
                raise KorvithError(CLOSED_MESSAGE)
            return self._address
        self._address = self._owner._document_address()
        return self._address

    @property
    def closed(self) -> bool:
        return self._owner.closed


class iterparse(_edit.IterparseCursor, Iterator[Any]):
    """Iterate over the elements of ``source`` as their end tags arrive.

    ``source``: a path, bytes, or a binary file object (read in blocks as
    the parse goes). ``tag``: a tag or list of tags (``"name"``,
    ``"{uri}name"``, ``"{*}name"``, ``"{uri}*"``, ``"*"``); None yields
    every element.
    ``events`` yields ``(event, value)`` pairs as ElementTree does, for any
    of ``"start"``, ``"end"`` (the element), ``"start-ns"`` (a
    ``(prefix, uri)`` pair, prefix ``""`` for a default namespace),
    ``"end-ns"`` (None), ``"comment"`` and ``"pi"`` (an
    :class:`~korvith.xpath_nodes.XPathString` with the text; a PI's
    ``target`` names it); the tag filter applies to start and end events.
    ``release`` frees each element yielded at its end event when the
    iteration moves on, with everything complete before it (its ancestors
    stay), and each element the tag filter passes over that no matching
    element encloses; it defaults to True with a tag filter and False
    without one. A released element raises :class:`KorvithError` saying so.
    """

    def __init__(self, source: Any, tag: str | Iterable[str] | None = None, *,
                 events: Iterable[str] | None = None, release: bool | None = None,
                 **options: bool) -> None:
        if "_handle" in self.__dict__:
            # The C cursor is started once; a second __init__ would leave it
            # stepping one engine iterator while the feed reads another.
            raise RuntimeError("iterparse is already initialised")
        self._pairs = False
        self._event_mask = 0
        if events is not None:
            self._event_mask = _event_mask(events)
            self._pairs = True
            if self._event_mask == _EVENT_BITS["end"]:
                self._event_mask = 0  # plain end events: the element stream
        self._stream = source if _is_stream(source) else None
        tags = _tag_list(tag)
        tag_filter = _filter_bytes(tags)
        self._release = bool(tags) if release is None else bool(release)
        # Held by every Python step that works on the engine iterator (the
        # feed, the finish, the document's address) and by close: a close()
        # from another thread waits for such a step to end. The element and
        # event steps run in C (the cursor) and need no lock: they call
        # nothing that could close the iterator between their check and the
        # engine call, nor between the engine call and making the wrapper
        # or copying the event's texts; after each call that can run Python
        # code they check again.
        self._lock = threading.RLock()
        flags = parse_flags(options)
        handle = _open(source, flags)
        self._handle = handle
        registry = _accel.new_registry()
        self._registries: list[object] = [registry]
        self._scope = _Scope(self, registry)
        if self._release:
            _RELEASED.add(self._scope)
        # Without end events nothing would ever be released: the engine
        # reports them anyway and the step releases each element at its end
        # without yielding it.
        self._hidden_end = self._release and bool(self._event_mask) and \
            not self._event_mask & _EVENT_BITS["end"]
        # The cursor (this object's C base, whose next() is each step) owns
        # the engine iterator from here on: closing it (or collecting it)
        # poisons the wrappers and frees the iterator.
        try:
            self._start_cursor(handle, registry)
        except BaseException:
            ext.iterparse_free(handle)
            raise
        if self._event_mask:
            ext.iterparse_set_events(handle, self._event_mask | (
                _EVENT_BITS["end"] if self._hidden_end else 0))
        if ext.iterparse_filter(handle, tag_filter, len(tag_filter), int(self._release)) != 0:
            _edit.IterparseCursor.close(self)
            raise ValueError(f"invalid tag filter {tag!r}")

    def _start_cursor(self, handle: int, registry: object) -> None:
        feed = self._feed if self._stream is not None else None
        if not self._event_mask:
            self._start(_STEP_ADDRESS, _FREE_ADDRESS, handle, self._scope, registry, feed,
                        self._finish, _errors, self._pairs, self._release)
            return
        from .xpath_nodes import XPathString
        self._start_events(_STEP_EVENT_ADDRESS, _EVENT_TEXT_ADDRESS, _FREE_ADDRESS, handle,
                           self._scope, registry, feed, self._finish, _errors, XPathString,
                           self._release, self._hidden_end)

    # -- lifetime (``closed`` comes from the cursor: True once closed)
    def close(self) -> None:
        """Poison every element handed out, then free the parser and its tree."""
        with self._lock:
            if not self.closed:
                _errors.note_poisoning("closed")
            _edit.IterparseCursor.close(self)

    def __enter__(self) -> iterparse:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _document_address(self) -> int:
        with self._lock:
            if self.closed:
                raise KorvithError(CLOSED_MESSAGE)
            address = ext.iterparse_document(self._handle)
        if not address:
            raise KorvithError("no document yet")
        return address

    # -- iteration: iter() and next() are the cursor's, in C

    def _feed(self) -> bool:
        """Push the next block of a file object source, when the engine has
        parsed all input so far; False when there is nothing to push."""
        with self._lock:
            if self._stream is None or self.closed:
                return False
            if not ext.iterparse_wants_input(self._handle):
                return False
            from .sources import read_block
            block = read_block(self._stream)
            if self.closed:  # closed by the file object's read()
                return False
            ext.iterparse_push(self._handle, block, len(block), 0 if block else 1)
            return True

    def _finish(self) -> None:
        """The end of the stream: raises its parse error, if any."""
        with self._lock:
            if not self.closed:
                raise_iterparse_error(self._handle)

    @property
    def root(self) -> Any:
        """The document's root element (complete once iteration has ended)."""
        with self._lock:
            return _accel.document_root(self._document_address(), self._scope)
