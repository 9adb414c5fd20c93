"""A scriptable stand-in for libkorvith.

Each of the 80 engine slots is a ctypes callback that logs its call and
delegates to a Python function the test installs (``engine.on(name, fn)``
or ``engine[name] = fn``); a slot without one returns 0 / null. Strings and
buffers handed to the module are kept alive by ``engine.cstr`` and
``engine.buffer`` until the engine is reset.

Tests assert exact call sequences with ``engine.calls()`` and ``engine.log``.
"""

from __future__ import annotations

import ctypes
from collections.abc import Callable, Iterable
from typing import Any

import korvith  # noqa: F401  (loads the module the way the package does)
from korvith import _korvithaccel as accel
from korvith._slots import SLOTS, SLOT_NAMES


class FakeError(Exception):
    """The error class the fake engine binds."""


class FakeEngine:
    def __init__(self) -> None:
        self.log: list[tuple[str, tuple[Any, ...]]] = []
        self.errors: list[BaseException] = []
        self._impl: dict[str, Callable[..., Any]] = {}
        self._keep: list[Any] = []
        self._callbacks = [self._make_callback(n, r, a) for n, r, a in SLOTS]
        self.null_slots: set[str] = set()

    # -- scripting -------------------------------------------------------
    def on(self, name: str, fn: Callable[..., Any] | None = None):
        if name not in SLOT_NAMES:
            raise KeyError(f"no engine slot named {name!r}")
        if fn is None:  # decorator form
            def deco(f: Callable[..., Any]) -> Callable[..., Any]:
                self._impl[name] = f
                return f
            return deco
        self._impl[name] = fn
        return fn

    __setitem__ = on

    def returns(self, name: str, value: Any) -> None:
        """Makes slot `name` return a constant."""
        self.on(name, lambda *args: value)

    def cstr(self, value: bytes | str | None) -> int | None:
        """Address of a NUL-terminated copy of `value` (None gives null)."""
        if value is None:
            return None
        if isinstance(value, str):
            value = value.encode("utf-8")
        buf = ctypes.create_string_buffer(value, len(value) + 1)
        self._keep.append(buf)
        return ctypes.addressof(buf)

    def buffer(self, data: bytes) -> int:
        """Address of a kept-alive copy of raw bytes (no terminator added)."""
        buf = ctypes.create_string_buffer(data, max(len(data), 1))
        self._keep.append(buf)
        return ctypes.addressof(buf)

    def keep(self, obj: Any) -> Any:
        self._keep.append(obj)
        return obj

    # -- binding ---------------------------------------------------------
    def addresses(self) -> list[int]:
        out = []
        for name, cb in zip(SLOT_NAMES, self._callbacks):
            out.append(0 if name in self.null_slots else ctypes.cast(cb, ctypes.c_void_p).value)
        return out

    def bind(self, error_class: type[BaseException] | None = FakeError) -> None:
        accel.bind(self.addresses(), error_class)

    # -- inspection ------------------------------------------------------
    def calls(self, *names: str) -> list[str]:
        """Slot names called so far (only those in `names`, when given)."""
        return [n for n, _ in self.log if not names or n in names]

    def args_of(self, name: str) -> list[tuple[Any, ...]]:
        return [a for n, a in self.log if n == name]

    def clear_log(self) -> None:
        self.log.clear()

    def _make_callback(self, name: str, restype: Any, argtypes: Iterable[Any]):
        proto = ctypes.CFUNCTYPE(restype, *argtypes)

        def call(*args: Any) -> Any:
            self.log.append((name, args))
            fn = self._impl.get(name)
            if fn is None:
                return None if restype is None else 0
            try:
                result = fn(*args)
            except BaseException as exc:  # surfaced by the fixture
                self.errors.append(exc)
                return None if restype is None else 0
            if restype is None:
                return None
            return 0 if result is None else result

        return proto(call)


def read_cstr(address: int | None) -> bytes | None:
    """The NUL-terminated bytes at `address` (None for null)."""
    if not address:
        return None
    return ctypes.string_at(address)


def read_struct(address: int | None, fmt: str) -> tuple[Any, ...] | None:
    """Unpacks a record at `address` with a struct format (None for null)."""
    import struct

    if not address:
        return None
    return struct.unpack(fmt, ctypes.string_at(address, struct.calcsize(fmt)))
