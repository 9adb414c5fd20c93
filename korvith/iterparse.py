"""Streaming parse: elements as their end tags arrive.

``for item in korvith.iterparse("big.xml", tag="item"): ...`` reads the
input in chunks and yields each ``<item>`` once it is complete. With a tag
filter, each yielded element is freed (with its subtree and the preceding
siblings already processed) when the loop moves on, so memory stays flat
however large the input. Take what you need from an element before the next
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
from . import errors as _errors
from ._engine import CLOSED_MESSAGE, ext, open_iterator, parse_error, raise_iterparse_error
from .document import parse_flags
from .element import _matcher
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


def _free(handle: int, registries: list[object]) -> None:
    if registries:
        _errors.note_poisoning("closed")
    for capsule in registries:
        _accel.invalidate(capsule)
    registries.clear()
    ext.iterparse_free(handle)


_EVENT_BITS = {"start": 0x01, "end": 0x02, "start-ns": 0x04, "end-ns": 0x08,
               "comment": 0x10, "pi": 0x20}
_EVENT_NAMES = {bit: name for name, bit in _EVENT_BITS.items()}


def _event_mask(events: Iterable[str]) -> int:
    if isinstance(events, str):
        raise TypeError("events must be a sequence of event names, not a str")
    mask = 0
    for name in events:
        bit = _EVENT_BITS.get(name)
        if bit is None:
            known = ", ".join(repr(n) for n in _EVENT_BITS)
            raise ValueError(f"unknown iterparse event {name!r} (known: {known})")
        mask |= bit
    return mask


# Scopes whose elements iterparse has released, while a wrapper holds them.
_RELEASED: weakref.WeakSet[_Scope] = weakref.WeakSet()
_errors.released_alive = lambda: len(_RELEASED) > 0


def _is_stream(source: Any) -> bool:
    return hasattr(source, "read") and not isinstance(
        source, (str, os.PathLike, bytes, bytearray, memoryview))


class _Scope:
    """Document object of the wrappers handed out by an iterator: its own
    registry, so that freeing an element or closing the iterator poisons
    every wrapper made from it."""

    __slots__ = ("_accel_registry", "_owner", "_address", "__weakref__")

    def __init__(self, owner: iterparse, address: int) -> None:
        self._accel_registry = _accel.new_registry()
        self._owner = owner
        self._address = address  # the iterator's document; it stays until the iterator is freed

    def _check(self) -> int:
        # No C call after the test: a thread switch here could let another
        # thread close the iterator between the test and the caller's use of
        # the address.
        if self._owner.closed:
            raise KorvithError(CLOSED_MESSAGE)
        return self._address

    @property
    def closed(self) -> bool:
        return self._owner.closed


class iterparse(Iterator[Any]):
    """Iterate over the elements of ``source`` as their end tags arrive.

    ``source``: a path, bytes, or a binary file object (read in blocks as
    the parse goes). ``tag``: a tag or list of tags (``"name"``,
    ``"{uri}name"``, ``"{*}name"``); None yields every element.
    ``events`` yields ``(event, value)`` pairs as ElementTree does, for any
    of ``"start"``, ``"end"`` (the element), ``"start-ns"`` (a
    ``(prefix, uri)`` pair, prefix ``""`` for a default namespace),
    ``"end-ns"`` (None), ``"comment"`` and ``"pi"`` (an
    :class:`~korvith.xpath_nodes.XPathString` with the text; a PI's
    ``target`` names it); the tag filter applies to start and end events.
    ``release`` frees each element yielded at its end event when the
    iteration moves on; it defaults to True with a tag filter and False
    without one. A released element raises :class:`KorvithError` saying so.
    """

    def __init__(self, source: Any, tag: str | Iterable[str] | None = None, *,
                 events: Iterable[str] | None = None, release: bool | None = None,
                 **options: bool) -> None:
        self._pairs = False
        self._event_mask = 0
        if events is not None:
            self._event_mask = _event_mask(events)
            self._pairs = True
            if self._event_mask == _EVENT_BITS["end"]:
                self._event_mask = 0  # plain end events: the element stream
        self._stream = source if _is_stream(source) else None
        tags = [tag] if isinstance(tag, str) else list(tag) if tag is not None else []
        self._tests = [_matcher(t) for t in tags]
        self._release = bool(tags) if release is None else bool(release)
        self._registries: list[object] = []
        # Held by every step that works on the engine iterator and by close:
        # a close() from another thread waits for the step to end, instead
        # of freeing the tree while the step makes a wrapper of one of its
        # elements (which then read freed memory).
        self._lock = threading.RLock()
        self._handle = _open(source, parse_flags(options))
        self._finalizer = weakref.finalize(self, _free, self._handle, self._registries)
        self._finalizer.atexit = False
        if self._event_mask:
            ext.iterparse_set_events(self._handle, self._event_mask)
        self._scope: _Scope | None = None
        self._previous = 0
        self._done = False

    # -- lifetime
    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def close(self) -> None:
        """Poison every element handed out, then free the parser and its tree."""
        with self._lock:
            self._done = True
            self._finalizer()

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

    # -- iteration
    def __iter__(self) -> iterparse:
        return self

    def _new_scope(self) -> _Scope:
        scope = _Scope(self, self._document_address())
        self._registries.append(scope._accel_registry)
        return scope

    def _drop_previous(self) -> None:
        if not self._previous:
            return
        scope = self._scope
        if scope is not None:
            _RELEASED.add(scope)
            _errors.note_poisoning("released")
            _accel.invalidate(scope._accel_registry)
            self._registries.remove(scope._accel_registry)
            self._scope = None
        ext.iterparse_release(self._handle, self._previous)
        self._previous = 0

    def __next__(self) -> Any:
        with self._lock:
            return self._step()

    def _step(self) -> Any:
        if self._done or self.closed:
            raise StopIteration
        if self._release:
            self._drop_previous()
        if self._event_mask:
            return self._event_step()
        while True:
            el = _accel.iterparse_next(self._handle, None)
            if el is None:
                if self._feed():
                    continue
                self._done = True
                raise_iterparse_error(self._handle)
                raise StopIteration
            if not self._tests or any(test(el) for test in self._tests):
                break
        if self._scope is None:
            self._scope = self._new_scope()
        address = el._raw
        if self._release:
            self._previous = address
        found = _accel.create(address, None, self._scope)
        return ("end", found) if self._pairs else found

    def _feed(self) -> bool:
        """Push the next block of a file object source, when the engine has
        parsed all input so far; False when there is nothing to push."""
        if self._stream is None:
            return False
        wants = ext.iterparse_wants_input
        if not wants(self._handle):
            return False
        from .sources import read_block
        block = read_block(self._stream)
        push = ext.iterparse_push
        push(self._handle, block, len(block), 0 if block else 1)
        return True

    def _event_step(self) -> Any:
        next_event = ext.iterparse_next_event
        kind = ctypes.c_int(0)
        while True:
            address = next_event(self._handle, ctypes.byref(kind))
            if kind.value == 0:
                if self._feed():
                    continue
                self._done = True
                raise_iterparse_error(self._handle)
                raise StopIteration
            if kind.value in (_EVENT_BITS["start"], _EVENT_BITS["end"]):
                found = self._wrap(address)
                if self._tests and not any(test(found) for test in self._tests):
                    continue
                if kind.value == _EVENT_BITS["end"] and self._release:
                    self._previous = address
                return (_EVENT_NAMES[kind.value], found)
            return (_EVENT_NAMES[kind.value], self._event_value(kind.value))

    def _wrap(self, address: int) -> Any:
        if self._scope is None:
            self._scope = self._new_scope()
        return _accel.create(address, None, self._scope)

    def _event_value(self, kind: int) -> Any:
        from .xpath_nodes import XPathString
        text = ext.iterparse_event_text
        first = (text(self._handle, 0) or b"").decode("utf-8")
        second = (text(self._handle, 1) or b"").decode("utf-8")
        if kind == _EVENT_BITS["start-ns"]:
            return (first, second)
        if kind == _EVENT_BITS["comment"]:
            return XPathString(first, "comment")
        if kind == _EVENT_BITS["pi"]:
            return XPathString(second, "pi", first)
        return None  # end-ns

    @property
    def root(self) -> Any:
        """The document's root element (complete once iteration has ended)."""
        with self._lock:
            if self._scope is None:
                self._scope = self._new_scope()
            return _accel.document_root(self._document_address(), self._scope)
