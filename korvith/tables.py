"""Plan extraction straight into Arrow: record batches built in the engine.

The engine fills Arrow C Data Interface structs column by column from the
plan values of each record (no Python object per value); pyarrow imports
them without a copy. pyarrow is optional: without it these calls raise an
ImportError saying what to install. ::

    book = korvith.Plan(attributes=["id"], title=str, price=float, tags=[str])
    table = korvith.extract_table("books.xml", "book", book)
    for batch in korvith.iter_batches("big.xml", "book", book, batch_size=10_000):
        ...

Rows are the records ``iterextract`` yields, in the same order; columns are
the plan's attributes, then its fields. docs/api.md ("Arrow tables")
lists the types.
"""

from __future__ import annotations

import ctypes
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from ._engine import ext, raise_iterparse_error
from .document import parse_flags
from .extract import Plan, _check_plan, _open_iterator

if TYPE_CHECKING:
    import pyarrow

__all__ = ["arrow_schema", "extract_table", "iter_batches"]

_ERRORS_NULL = 1  # KORVITH_TABLE_ERRORS_NULL (libkorvith/include/korvith/tables.h)
_MESSAGE_CAP = 1024
_INSTALL = ("korvith's Arrow tables need pyarrow: pip install pyarrow "
            "(Debian: apt install python3-pyarrow)")


class _ArrowSchema(ctypes.Structure):
    """``struct ArrowSchema`` of the Arrow C Data Interface."""

    _fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p),
                ("metadata", ctypes.c_char_p), ("flags", ctypes.c_int64),
                ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p),
                ("private_data", ctypes.c_void_p)]


class _ArrowArray(ctypes.Structure):
    """``struct ArrowArray`` of the Arrow C Data Interface."""

    _fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64),
                ("offset", ctypes.c_int64), ("n_buffers", ctypes.c_int64),
                ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
                ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


_RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


def _release(struct: _ArrowSchema | _ArrowArray) -> None:
    """Frees what a filled struct still owns (pyarrow clears ``release``
    when it takes a struct over)."""
    if struct.release:
        _RELEASE(struct.release)(ctypes.addressof(struct))


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as error:
        raise ImportError(_INSTALL) from error
    return pyarrow


def _check_arguments(tag: Any, plan: Any, batch_size: Any, errors: Any) -> None:
    if not isinstance(tag, str) or not tag:
        raise TypeError("tag must be a non-empty str")
    if "\0" in tag:
        raise ValueError(f"malformed tag {tag!r}")
    _check_plan(plan)
    if isinstance(batch_size, bool) or not isinstance(batch_size, int):
        raise TypeError(f"batch_size must be an int, not {type(batch_size).__name__}")
    if not 1 <= batch_size <= sys.maxsize:
        raise ValueError(f"batch_size must be from 1 to {sys.maxsize}, not {batch_size}")
    if errors not in ("raise", "null"):
        raise ValueError(f"errors must be 'raise' or 'null', not {errors!r}")


def _import_schema(pa: Any, plan: Plan) -> pyarrow.Schema:
    handle = plan.compiled().handle
    struct = _ArrowSchema()
    error = ctypes.create_string_buffer(_MESSAGE_CAP)
    if ext.table_schema(handle, ctypes.addressof(struct), error, len(error)) != 0:
        raise TypeError("plan has no Arrow type: " + error.value.decode("utf-8", "replace"))
    try:
        return pa.Schema._import_from_c(ctypes.addressof(struct))
    finally:
        _release(struct)


def arrow_schema(plan: Plan) -> pyarrow.Schema:
    """The schema of the batches ``plan`` extracts: its attributes (utf8),
    then its fields, typed as docs/api.md says. TypeError names a field
    that Arrow cannot type (a callback type, a recursive plan)."""
    pa = _pyarrow()
    _check_plan(plan)
    return _import_schema(pa, plan)


def iter_batches(source: Any, tag: str, plan: Plan, *, batch_size: int = 65536,
                 errors: str = "raise", **options: bool) -> Iterator[pyarrow.RecordBatch]:
    """Yield ``pyarrow.RecordBatch`` es of the records named ``tag`` in
    ``source`` (a path or bytes, as for ``iterextract``), at most
    ``batch_size`` rows each, reading in chunks so memory stays flat.

    A text that does not convert to its column's type raises ValueError
    naming the field, the text and its line (``errors="raise"``), or
    becomes a null (``errors="null"``). A parse error raises ParseError
    after the batches before it; so does a conversion error its ValueError.
    Arguments are checked at the call; the source is opened on the first
    ``next``.
    """
    return _Request(source, tag, plan, batch_size, errors, options).batches()


def extract_table(source: Any, tag: str, plan: Plan, *, batch_size: int = 65536,
                  errors: str = "raise", **options: bool) -> pyarrow.Table:
    """Every record named ``tag`` in ``source`` as one ``pyarrow.Table``
    (the batches of :func:`iter_batches`, unchanged). An input without a
    match gives a table with 0 rows and the plan's schema."""
    request = _Request(source, tag, plan, batch_size, errors, options)
    return request.pa.Table.from_batches(list(request.batches()), schema=request.schema)


class _Request:
    """The checked arguments of one extraction and the schema of its batches."""

    def __init__(self, source: Any, tag: Any, plan: Any, batch_size: Any, errors: Any,
                 options: dict[str, bool]) -> None:
        self.pa = _pyarrow()
        _check_arguments(tag, plan, batch_size, errors)
        self.parse_flags = parse_flags(options)
        self.schema = _import_schema(self.pa, plan)
        self.source, self.tag, self.plan, self.batch_size = source, tag, plan, batch_size
        self.table_flags = _ERRORS_NULL if errors == "null" else 0

    def batches(self) -> Iterator[pyarrow.RecordBatch]:
        iterator = _open_iterator(self.source, self.parse_flags)
        error = ctypes.create_string_buffer(_MESSAGE_CAP)
        stream = ext.table_stream_new(self.plan.compiled().handle, iterator,
                                      self.tag.encode("utf-8"), self.batch_size,
                                      self.table_flags, error, len(error))
        if not stream:
            ext.iterparse_free(iterator)
            raise ValueError(error.value.decode("utf-8", "replace"))
        import_batch, schema = self.pa.RecordBatch._import_from_c, self.schema
        try:
            while True:
                array = _ArrowArray()
                status = ext.table_stream_next(stream, ctypes.addressof(array))
                if status != 1:
                    break
                try:
                    batch = import_batch(ctypes.addressof(array), schema)
                finally:
                    _release(array)
                yield batch
            if status == -2:
                raise MemoryError("out of memory while building an Arrow batch")
            if status < 0:
                ext.table_stream_error(stream, error, len(error))
                raise ValueError(error.value.decode("utf-8", "replace"))
            raise_iterparse_error(iterator)
        finally:
            ext.table_stream_free(stream)
            ext.iterparse_free(iterator)
