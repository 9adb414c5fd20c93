"""Loads libkorvith from the package directory and binds it to the module.

The engine is a plain shared library with a C ABI; ctypes finds its
functions by name (``korvith_<slot>``). The extension module receives the 80
bound functions as raw addresses, in bind order, through ``bind``.
"""

from __future__ import annotations

import ctypes
import os
import sys
from ctypes import POINTER, c_char_p, c_int, c_size_t, c_void_p

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


# Entry points that only the package calls (libkorvith/include/korvith/engine_ext.h).
EXTRAS: tuple[tuple[str, object, tuple[object, ...]], ...] = (
    ("last_error", c_int, (c_char_p, c_size_t, POINTER(c_int), POINTER(c_int))),
    ("xpath_compile", c_void_p, (c_char_p,)),
    ("xpath_compiled_free", None, (c_void_p,)),
    ("iterparse_open_file", c_void_p, (c_char_p, c_int, POINTER(c_int))),
    ("iterparse_open_buffer", c_void_p, (c_char_p, c_size_t, c_int, POINTER(c_int))),
    ("iterparse_release", None, (c_void_p, c_void_p)),
    ("iterparse_error", c_int, (c_void_p, c_char_p, c_size_t, POINTER(c_int), POINTER(c_int))),
    ("iterparse_document", c_void_p, (c_void_p,)),
    ("iterparse_free", None, (c_void_p,)),
    # Every node of an XPath node-set (korvith/xpath_nodes.py).
    ("xpath_last_other_nodes", c_size_t, ()),
    ("xpath_snapshot_eval", c_void_p, (c_void_p, c_void_p, c_void_p, c_void_p, c_void_p)),
    ("snapshot_type", c_int, (c_void_p,)),
    ("snapshot_boolean", c_int, (c_void_p,)),
    ("snapshot_number", ctypes.c_double, (c_void_p,)),
    ("snapshot_string", c_char_p, (c_void_p,)),
    ("snapshot_count", c_size_t, (c_void_p,)),
    ("snapshot_layout", c_size_t, (c_void_p, POINTER(c_int), POINTER(c_void_p), c_size_t)),
    ("snapshot_value", c_char_p, (c_void_p, c_size_t)),
    ("snapshot_name", c_char_p, (c_void_p, c_size_t)),
    ("snapshot_pack", c_size_t, (c_void_p, c_char_p, c_size_t)),
    ("snapshot_free", None, (c_void_p,)),
    # Every error of a parse (korvith/diagnostics.py).
    ("document_issue_count", c_size_t, (c_void_p,)),
    ("document_issue", c_int, (c_void_p, c_size_t, c_char_p, c_size_t, POINTER(c_int),
                               POINTER(c_int))),
    # iterparse events and pushed input, SAX pushed input.
    ("iterparse_set_events", c_int, (c_void_p, c_int)),
    ("iterparse_next_event", c_void_p, (c_void_p, POINTER(c_int))),
    ("iterparse_event_text", c_char_p, (c_void_p, c_int)),
    ("iterparse_open_push", c_void_p, (c_int, POINTER(c_int))),
    ("iterparse_push", c_int, (c_void_p, c_char_p, c_size_t, c_int)),
    ("iterparse_wants_input", c_int, (c_void_p,)),
    ("sax_open_push", c_void_p, (c_int, c_size_t)),
    ("sax_push", c_int, (c_void_p, c_char_p, c_size_t, c_int)),
    ("sax_wants_input", c_int, (c_void_p,)),
)

# Bits of the parse options ``flags`` field (and of iterparse's ``flags``).
PARSE_NOBLANKS = 0x01
PARSE_NOCDATA = 0x02
PARSE_HUGE = 0x04
PARSE_KEEP_ENTITIES = 0x08
PARSE_NSCLEAN = 0x10

# Codes of ``node_get_type``.
NODE_ELEMENT, NODE_TEXT, NODE_ATTRIBUTE, NODE_CDATA = 0, 1, 2, 3
NODE_COMMENT, NODE_PI, NODE_ENTITY_REF, NODE_DOCUMENT, NODE_OTHER = 4, 5, 6, 7, 8

_MESSAGE_CAP = 1024


def _declare_extras(library: ctypes.CDLL) -> None:
    for name, restype, argtypes in EXTRAS:
        fn = getattr(library, "korvith_" + name)
        fn.restype = restype
        fn.argtypes = list(argtypes)


lib = _load()
_declare_extras(lib)

# The same library through functions that keep the GIL for the call. Used
# for the calls that read or free a tree a Python object owns (plan
# evaluation, iterparse release and free): with the GIL released, another
# thread could close that document or iterator during the call and the
# engine would read freed memory. Every module call holds the GIL too, so
# closing can never overlap with one.
pylib = ctypes.PyDLL(_library_path())


def _message(fill) -> tuple[int, str, int, int]:  # type: ignore[no-untyped-def]
    buf = ctypes.create_string_buffer(_MESSAGE_CAP)
    line, column = c_int(0), c_int(0)
    code = fill(buf, _MESSAGE_CAP, ctypes.byref(line), ctypes.byref(column))
    return code, buf.value.decode("utf-8", "replace"), line.value, column.value


def last_error() -> tuple[int, str, int, int]:
    """(status, message, line, column) of this thread's most recent failed
    parse, compile or XPath evaluation; status 0 when it succeeded."""
    return _message(lib.korvith_last_error)


def xpath_compile(expression: str) -> int | None:
    """Compiles an XPath expression; the handle goes back through
    :func:`xpath_compiled_free`. None when it does not compile (see
    :func:`last_error`)."""
    return lib.korvith_xpath_compile(expression.encode("utf-8"))


def xpath_compiled_free(handle: int | None) -> None:
    if handle:
        lib.korvith_xpath_compiled_free(handle)


def iterparse_open_file(path: str | bytes, flags: int = 0) -> tuple[int | None, int]:
    """Opens an incremental parse of a file: (iterator handle or None, status)."""
    raw = os.fsencode(path)
    status = c_int(0)
    handle = lib.korvith_iterparse_open_file(raw, flags, ctypes.byref(status))
    return handle, status.value


def iterparse_open_buffer(data: bytes, flags: int = 0) -> tuple[int | None, int]:
    """Opens an incremental parse of bytes (copied by the engine)."""
    status = c_int(0)
    handle = lib.korvith_iterparse_open_buffer(data, len(data), flags, ctypes.byref(status))
    return handle, status.value


def iterparse_error(handle: int) -> tuple[int, str, int, int]:
    """(status, message, line, column) of the iterator's parse error; status 0 when none."""
    return _message(lambda *a: lib.korvith_iterparse_error(handle, *a))


def slot_addresses() -> list[int]:
    """The engine's 80 function addresses in bind order."""
    return [
        ctypes.cast(getattr(lib, "korvith_" + name), ctypes.c_void_p).value or 0
        for name, _, _ in SLOTS
    ]


def bind(error_class: type[BaseException]) -> None:
    _korvithaccel.bind(slot_addresses(), error_class)
