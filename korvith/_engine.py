"""Loads libkorvith from the package directory and binds it to the module.

The engine is a plain shared library with a C ABI; ctypes finds its
functions by name (``korvith_<slot>``). The extension module receives the 80
bound functions as raw addresses, in bind order, through ``bind``.
"""

from __future__ import annotations

import ctypes
import os
import sys

from . import _korvithaccel
from ._slots import SLOTS

_LIB_NAMES = {"win32": "korvith.dll", "darwin": "libkorvith.dylib"}


def _library_path() -> str:
    name = _LIB_NAMES.get(sys.platform, "libkorvith.so")
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), name)


def _load() -> ctypes.CDLL:
    path = _library_path()
    if not os.path.exists(path):
        raise ImportError(f"korvith: engine library not found at {path}; is the package built?")
    lib = ctypes.CDLL(path)
    for name, restype, argtypes in SLOTS:
        fn = getattr(lib, "korvith_" + name)
        fn.restype = restype
        fn.argtypes = list(argtypes)
    return lib


lib = _load()


def slot_addresses() -> list[int]:
    """The engine's 80 function addresses in bind order."""
    return [
        ctypes.cast(getattr(lib, "korvith_" + name), ctypes.c_void_p).value or 0
        for name, _, _ in SLOTS
    ]


def bind(error_class: type[BaseException]) -> None:
    _korvithaccel.bind(slot_addresses(), error_class)
