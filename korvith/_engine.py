"""Loads libkorvith from the package directory and binds it to the module.

The engine is a plain shared library with a C ABI; ctypes finds its
functions by name (``korvith_<slot>``). The extension module receives the 80
bound functions as raw addresses, in bind order, through ``bind``.

Every other export the package calls is declared once, in :data:`EXPORTS`,
and reached through :data:`ext` (``_engine.ext.plan_compile(...)``).
"""

from __future__ import annotations

import ctypes
import os
import sys
from ctypes import POINTER, c_char_p, c_int, c_size_t, c_void_p
from types import SimpleNamespace
from typing import Any

from . import _korvithaccel
from ._slots import SLOTS
from .errors import ParseError

_LIB_NAMES = {"win32": "korvith.dll", "darwin": "libkorvith.dylib"}


def _library_path() -> str:
    name = _LIB_NAMES.get(sys.platform, "libkorvith.so")
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), name)


def _declare(library: ctypes.CDLL, name: str, restype: object,
             argtypes: tuple[object, ...]) -> Any:
    fn = getattr(library, "korvith_" + name)
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


def _load() -> ctypes.CDLL:
    path = _library_path()
    if not os.path.exists(path):
        raise ImportError(f"korvith: engine library not found at {path}; is the package built?")
    lib = ctypes.CDLL(path)
    for name, restype, argtypes in SLOTS:
        _declare(lib, name, restype, argtypes)
    return lib


_vp = c_void_p
_INT_P = POINTER(c_int)
_KEEP = True   # the call keeps the GIL (see `pylib`)
_FREE = False  # the call releases the GIL

# Every engine export the package calls itself, outside the bound table:
# (name, result type, parameter types, keeps the GIL). Declared in
# libkorvith/include/korvith/engine_ext.h, plan.h and xquery.h.
EXPORTS: tuple[tuple[str, object, tuple[object, ...], bool], ...] = (
    ("last_error", c_int, (c_char_p, c_size_t, _INT_P, _INT_P), _FREE),
    ("parse_string_ex", _vp, (c_char_p, c_size_t, _vp, _INT_P), _FREE),
    # Opens and reads the file itself: touches no Python object.
    ("parse_file_ex", _vp, (c_char_p, _vp, _INT_P), _FREE),
    ("xpath_compile", _vp, (c_char_p,), _FREE),
    ("xpath_compiled_free", None, (_vp,), _FREE),
    # The iterator and its tree belong to a Python object that another
    # thread could close (and free) during a call; opening makes a new one.
    ("iterparse_open_file", _vp, (c_char_p, c_int, _INT_P), _FREE),
    ("iterparse_open_buffer", _vp, (c_char_p, c_size_t, c_int, _INT_P), _FREE),
    ("iterparse_release", None, (_vp, _vp), _KEEP),
    ("iterparse_error", c_int, (_vp, c_char_p, c_size_t, _INT_P, _INT_P), _KEEP),
    ("iterparse_document", _vp, (_vp,), _KEEP),
    ("iterparse_free", None, (_vp,), _KEEP),
    ("plan_compile", _vp, (c_char_p, c_size_t, c_char_p, c_size_t), _FREE),
    ("plan_free", None, (_vp,), _FREE),
    # Evaluation reads the user's document: no other thread may close it
    # during the call.
    ("plan_eval", _vp, (_vp, _vp), _KEEP),
    ("plan_result_root", _vp, (_vp,), _FREE),
    ("plan_result_free", None, (_vp,), _FREE),
    ("plan_stream_new", _vp, (_vp, _vp, c_char_p), _FREE),
    ("plan_stream_next", _vp, (_vp,), _FREE),
    ("plan_stream_free", None, (_vp,), _FREE),
    ("sax_open_file", _vp, (c_char_p, c_int, c_size_t), _FREE),
    ("sax_open_buffer", _vp, (c_char_p, c_size_t, c_int, c_size_t), _FREE),
    ("sax_step", c_int, (_vp,), _FREE),
    ("sax_free", None, (_vp,), _FREE),
    ("xquery_prepare", _vp, (c_char_p,), _FREE),
    ("xquery_free", None, (_vp,), _FREE),
    # Prepared-query settings, and the items of a result that holds more
    # than elements (per thread, read right after the evaluation).
    ("xquery_configure", c_int, (_vp, c_size_t, c_int), _FREE),
    ("xquery_items", ctypes.c_long, (), _FREE),
    ("xquery_item", c_int, (c_size_t, POINTER(_vp), POINTER(c_size_t),
                            POINTER(ctypes.c_double)), _FREE),
    ("xquery_items_clear", None, (), _FREE),
    # Validation, HTML, canonical XML and XSLT (korvith/diagnostics.py and
    # the modules beside it). Validation, canonicalisation and transforms
    # read the caller's document.
    ("diag_new", _vp, (), _FREE),
    ("diag_free", None, (_vp,), _FREE),
    ("diag_count", c_size_t, (_vp,), _FREE),
    ("diag_entry", c_int, (_vp, c_size_t, _INT_P, _INT_P, POINTER(c_char_p),
                           POINTER(c_char_p), POINTER(c_char_p)), _FREE),
    ("buffer_free", None, (_vp,), _FREE),
    ("schema_compile", _vp, (c_int, c_char_p, c_size_t, c_char_p, c_char_p, _vp), _FREE),
    ("schema_validate", c_int, (_vp, _vp, _vp, _vp), _KEEP),
    ("schema_free", None, (_vp,), _FREE),
    ("html_parse", _vp, (c_char_p, c_size_t, c_char_p, c_char_p, _INT_P), _FREE),
    ("c14n", ctypes.c_longlong, (_vp, _vp, c_int, c_int, c_char_p, POINTER(_vp)), _KEEP),
    ("xslt_compile", _vp, (c_char_p, c_size_t, c_char_p, c_char_p, _vp), _FREE),
    ("xslt_apply", _vp, (_vp, _vp, _vp, POINTER(c_char_p), c_int, c_int, _vp, POINTER(_vp),
                         POINTER(c_size_t)), _KEEP),
    ("xslt_free", None, (_vp,), _FREE),
    # Every node of an XPath node-set (korvith/xpath_nodes.py): evaluation
    # reads the document; a snapshot is the engine's own copy.
    ("xpath_last_other_nodes", c_size_t, (), _FREE),
    ("xpath_snapshot_eval", _vp, (_vp, _vp, _vp, _vp, _vp), _KEEP),
    ("snapshot_type", c_int, (_vp,), _FREE),
    ("snapshot_boolean", c_int, (_vp,), _FREE),
    ("snapshot_number", ctypes.c_double, (_vp,), _FREE),
    ("snapshot_string", c_char_p, (_vp,), _FREE),
    ("snapshot_count", c_size_t, (_vp,), _FREE),
    ("snapshot_layout", c_size_t, (_vp, _INT_P, POINTER(_vp), c_size_t), _FREE),
    ("snapshot_value", c_char_p, (_vp, c_size_t), _FREE),
    ("snapshot_name", c_char_p, (_vp, c_size_t), _FREE),
    ("snapshot_pack", c_size_t, (_vp, c_char_p, c_size_t), _FREE),
    ("snapshot_free", None, (_vp,), _FREE),
    # Every error of a parse (korvith/parse_errors.py): reads the document.
    ("document_issue_count", c_size_t, (_vp,), _KEEP),
    ("document_issue", c_int, (_vp, c_size_t, c_char_p, c_size_t, _INT_P, _INT_P), _KEEP),
    # iterparse events and pushed input (the iterator belongs to a Python
    # object), SAX pushed input.
    ("iterparse_set_events", c_int, (_vp, c_int), _KEEP),
    ("iterparse_next_event", _vp, (_vp, _INT_P), _KEEP),
    ("iterparse_event_text", c_char_p, (_vp, c_int), _KEEP),
    ("iterparse_open_push", _vp, (c_int, _INT_P), _FREE),
    ("iterparse_push", c_int, (_vp, c_char_p, c_size_t, c_int), _KEEP),
    ("iterparse_wants_input", c_int, (_vp,), _KEEP),
    ("sax_open_push", _vp, (c_int, c_size_t), _FREE),
    ("sax_push", c_int, (_vp, c_char_p, c_size_t, c_int), _FREE),
    ("sax_wants_input", c_int, (_vp,), _FREE),
    # Building and editing trees (korvith/editing.py): each call reads or
    # changes a tree that a Python object owns.
    ("edit_new_element", _vp, (_vp, c_char_p, c_char_p, POINTER(c_char_p), POINTER(c_char_p),
                               c_size_t), _KEEP),
    ("edit_new_node", _vp, (_vp, c_int, c_char_p, c_char_p), _KEEP),
    ("edit_document_of", _vp, (_vp,), _KEEP),
    ("edit_node_content", c_char_p, (_vp,), _KEEP),
    ("edit_set_content", c_int, (_vp, c_char_p), _KEEP),
    ("edit_set_tag", c_int, (_vp, c_char_p, c_char_p), _KEEP),
    ("edit_set_attribute", c_int, (_vp, c_char_p, c_char_p, c_char_p), _KEEP),
    ("edit_remove_attribute", c_int, (_vp, c_char_p, c_char_p), _KEEP),
    ("edit_set_text", c_int, (_vp, c_char_p), _KEEP),
    ("edit_set_tail", c_int, (_vp, c_char_p), _KEEP),
    ("edit_attach", c_int, (_vp, _vp, c_int), _KEEP),
    ("edit_detach", c_int, (_vp,), _KEEP),
    ("edit_clear", c_int, (_vp, c_int), _KEEP),
    ("edit_copy", _vp, (_vp,), _KEEP),
    ("edit_subtree", c_size_t, (_vp, POINTER(_vp), c_size_t), _KEEP),
    ("edit_is_ancestor", c_int, (_vp, _vp), _KEEP),
    # Arrow record batches (korvith/tables.py): a table stream reads its own
    # iterator, as plan_stream_next does; the batches it fills are the
    # caller's.
    ("table_schema", c_int, (_vp, _vp, c_char_p, c_size_t), _FREE),
    ("table_stream_new", _vp, (_vp, _vp, c_char_p, c_size_t, c_int, c_char_p, c_size_t), _FREE),
    ("table_stream_next", c_int, (_vp, _vp), _FREE),
    ("table_stream_error", c_int, (_vp, c_char_p, c_size_t), _FREE),
    ("table_stream_free", None, (_vp,), _FREE),
    # The address of the static plan table the edit module evaluates and
    # converts through (korvith/extract.py binds it once).
    ("plan_direct_table", _vp, (), _FREE),
    # Filtered iterparse steps (korvith/iterparse.py): they free parts of
    # the iterator's tree.
    ("iterparse_filter", c_int, (_vp, c_char_p, c_size_t, c_int), _KEEP),
    ("iterparse_step", _vp, (_vp, _vp), _KEEP),
    ("iterparse_step_event", _vp, (_vp, _vp, _INT_P), _KEEP),
    # Parsing with a named input encoding, and from a reader the package
    # passes (a ctypes callback, which takes the GIL for itself): the engine
    # touches no Python object while it parses.
    ("parse_memory_enc", _vp, (c_char_p, c_size_t, _vp, c_char_p, _INT_P), _FREE),
    ("parse_file_enc", _vp, (c_char_p, _vp, c_char_p, _INT_P), _FREE),
    ("parse_reader", _vp, (_vp, _vp, _vp, c_char_p, _INT_P), _FREE),
    ("encoding_known", c_int, (c_char_p,), _FREE),
    # Searches by tag (korvith/find.h): korvith._korvithedit calls them
    # through these addresses, reading a tree that a Python object owns.
    ("walk_next", _vp, (_vp, _vp, _vp, c_size_t), _KEEP),
    ("child_next", _vp, (_vp, _vp, _vp, c_size_t), _KEEP),
    ("path_next", _vp, (_vp, _vp, _vp, c_size_t), _KEEP),
    # Whether the last XPath evaluation on this thread took the direct
    # evaluator (korvith/xpath_fast.h): reads a thread-local flag only.
    ("xpath_last_fast", c_int, (), _FREE),
)

# Codes and records mirrored from libkorvith/include/korvith/abi.h
# (tests/engine/test_abi.py checks them against it).

# Bits of the parse options ``flags`` field (and of iterparse's ``flags``).
PARSE_NOBLANKS = 0x01
PARSE_NOCDATA = 0x02
PARSE_HUGE = 0x04
PARSE_KEEP_ENTITIES = 0x08
PARSE_NSCLEAN = 0x10

# Tags of the module's flat variable lists (name, tag, value).
VARIABLE_BOOLEAN, VARIABLE_NUMBER, VARIABLE_STRING = 0, 1, 2

# Value the module writes into the wrappers of a closed document, and the
# message of the error their use raises.
POISON = (1 << 64) - 1
CLOSED_MESSAGE = "operation on a closed document"

_MESSAGE_CAP = 1024


class ParseOptions(ctypes.Structure):
    """The parse options record of ``korvith_parse_string_ex``
    (``korvith_parse_options``)."""

    _fields_ = [("flags", ctypes.c_int32), ("strict_mode", ctypes.c_int32),
                ("max_depth", ctypes.c_int32), ("recover", ctypes.c_int32)]


class SerializeOptions(ctypes.Structure):
    """The options record of the serialisation entries (``korvith_serialize_options``)."""

    _fields_ = [("indent", ctypes.c_int32), ("xml_declaration", ctypes.c_int32),
                ("encoding", ctypes.c_char_p)]


lib = _load()

# The same library through functions that keep the GIL for the call. Used
# for the calls that read or free a tree a Python object owns (plan
# evaluation, iterparse release and free): with the GIL released, another
# thread could close that document or iterator during the call and the
# engine would read freed memory. Every module call holds the GIL too, so
# closing can never overlap with one.
pylib = ctypes.PyDLL(_library_path())


def _exports() -> SimpleNamespace:
    found = {}
    for name, restype, argtypes, keep in EXPORTS:
        plain = _declare(lib, name, restype, argtypes)
        found[name] = _declare(pylib, name, restype, argtypes) if keep else plain
    return SimpleNamespace(**found)


ext: Any = _exports()


def address_of(fn: Any) -> int:
    """The address of an engine entry, for the native modules that call it
    directly."""
    return int(ctypes.cast(fn, ctypes.c_void_p).value or 0)


def _message(fill) -> tuple[int, str, int, int]:  # type: ignore[no-untyped-def]
    buf = ctypes.create_string_buffer(_MESSAGE_CAP)
    line, column = c_int(0), c_int(0)
    code = fill(buf, _MESSAGE_CAP, ctypes.byref(line), ctypes.byref(column))
    return code, buf.value.decode("utf-8", "replace"), line.value, column.value


def last_error() -> tuple[int, str, int, int]:
    """(status, message, line, column) of this thread's most recent failed
    parse, compile or XPath evaluation; status 0 when it succeeded."""
    return _message(ext.last_error)


def last_failure() -> tuple[str, int, int] | None:
    """The engine's most recent parse/compile/evaluation failure on this
    thread, as (message, line, column); None when the last one succeeded."""
    status, message, line, column = last_error()
    if not status:
        return None
    return message.strip() or f"error {status}", line, column


def parse_error(status: int, filename: str | None = None,
                default: str = "document is not well-formed") -> ParseError:
    """The ParseError for a failed parse, from this thread's last error."""
    err = last_failure()
    if err is None:
        return ParseError(default, 0, 0, status, filename)
    message, line, column = err
    return ParseError(message, line, column, status, filename)


def xpath_compile(expression: str) -> int | None:
    """Compiles an XPath expression; the handle goes back through
    :func:`xpath_compiled_free`. None when it does not compile (see
    :func:`last_error`)."""
    return ext.xpath_compile(expression.encode("utf-8"))  # type: ignore[no-any-return]


def xpath_compiled_free(handle: int | None) -> None:
    if handle:
        ext.xpath_compiled_free(handle)


def iterparse_open_file(path: str | bytes, flags: int = 0) -> tuple[int | None, int]:
    """Opens an incremental parse of a file: (iterator handle or None, status)."""
    raw = os.fsencode(path)
    status = c_int(0)
    handle = ext.iterparse_open_file(raw, flags, ctypes.byref(status))
    return handle, status.value


def iterparse_open_buffer(data: bytes, flags: int = 0) -> tuple[int | None, int]:
    """Opens an incremental parse of bytes (copied by the engine)."""
    status = c_int(0)
    handle = ext.iterparse_open_buffer(data, len(data), flags, ctypes.byref(status))
    return handle, status.value


def check_input_path(path: str) -> None:
    """Raises what opening ``path`` for reading would: ValueError for an
    embedded NUL, FileNotFoundError, IsADirectoryError."""
    if "\0" in path:
        raise ValueError("embedded NUL character in path")
    if os.path.isdir(path):
        raise IsADirectoryError(21, "Is a directory", path)
    if not os.path.exists(path):
        raise FileNotFoundError(2, "No such file or directory", path)


def open_iterator(path: str | None, data: bytes | None, flags: int,
                  filename: str | None = None) -> int:
    """An incremental parse of the file at ``path``, or else of ``data``.

    Raises FileNotFoundError for a missing file and :class:`ParseError`
    when the parse cannot start. ``filename`` names the input in the error.
    """
    if path is not None:
        check_input_path(path)
        handle, status = iterparse_open_file(path, flags)
        filename = path
    else:
        handle, status = iterparse_open_buffer(data or b"", flags)
    if not handle:
        raise parse_error(status, filename, "cannot start parsing")
    return handle


def iterparse_error(handle: int) -> tuple[int, str, int, int]:
    """(status, message, line, column) of the iterator's parse error; status 0 when none."""
    return _message(lambda *a: ext.iterparse_error(handle, *a))


def raise_iterparse_error(handle: int) -> None:
    """Raises the iterator's parse error as :class:`ParseError`, if it has one."""
    status, message, line, column = iterparse_error(handle)
    if status:
        raise ParseError(message.strip() or f"error {status}", line, column, status)


def slot_addresses() -> list[int]:
    """The engine's 80 function addresses in bind order."""
    return [
        ctypes.cast(getattr(lib, "korvith_" + name), ctypes.c_void_p).value or 0
        for name, _, _ in SLOTS
    ]


def bind(error_class: type[BaseException]) -> None:
    _korvithaccel.bind(slot_addresses(), error_class)
