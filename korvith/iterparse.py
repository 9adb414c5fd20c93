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

import os
import threading
import weakref
from collections.abc import Iterable, Iterator
from typing import Any

from . import _korvithaccel as _accel
from ._engine import CLOSED_MESSAGE, ext, open_iterator, raise_iterparse_error
from .document import parse_flags
from .element import _matcher
from .errors import KorvithError


def _open(source: Any, flags: int) -> int:
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
    for capsule in registries:
        _accel.invalidate(capsule)
    registries.clear()
    ext.iterparse_free(handle)


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

    ``source``: a path, bytes, or a binary file object (read whole).
    ``tag``: a tag or list of tags (``"name"``, ``"{uri}name"``,
    ``"{*}name"``); None yields every element. ``events=("end",)`` yields
    ``("end", element)`` pairs as ElementTree and lxml do. ``release``
    frees each yielded element when the iteration moves on; it defaults to
    True with a tag filter and False without one.
    """

    def __init__(self, source: Any, tag: str | Iterable[str] | None = None, *,
                 events: Iterable[str] | None = None, release: bool | None = None,
                 **options: bool) -> None:
        self._pairs = False
        if events is not None:
            wanted = tuple(events)
            if wanted != ("end",):
                raise ValueError(f"only ('end',) events are supported, not {wanted!r}")
            self._pairs = True
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
        while True:
            el = _accel.iterparse_next(self._handle, None)
            if el is None:
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

    @property
    def root(self) -> Any:
        """The document's root element (complete once iteration has ended)."""
        with self._lock:
            if self._scope is None:
                self._scope = self._new_scope()
            return _accel.document_root(self._document_address(), self._scope)
