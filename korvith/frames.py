"""XML records straight into a pandas DataFrame, through Arrow.

    >>> df = korvith.read_xml("books.xml", "book", ["title", "@id"])
    >>> df = korvith.read_xml("books.xml", "book", {"title": str, "year": int})
    >>> df = korvith.read_xml("books.xml", "book", korvith.Plan(attributes=["id"], year=int))

The engine builds Arrow batches (``korvith.extract_table``); this module
turns the table into a DataFrame with dtypes that depend on the plan only,
never on the data, so every file (and every Dask partition) read with one
plan gets the same dtypes:

======================  ==================  ===========================
plan field              default             ``dtype_backend=``
                                            ``"numpy_nullable"``
======================  ==================  ===========================
``str`` (attributes)    ``object`` (None)   ``string``
``int``                 ``Int64`` (<NA>)    ``Int64``
``float``               ``float64`` (NaN)   ``Float64``
``bool``                ``boolean`` (<NA>)  ``boolean``
lists, records          ``object`` holding Python lists and dicts
======================  ==================  ===========================

``dtype_backend="pyarrow"`` gives ``pandas.ArrowDtype`` columns (no copy of
the Arrow buffers for flat columns).
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from .extract import Plan

if TYPE_CHECKING:
    import pandas
    import pyarrow

__all__ = ["as_plan", "column_converter", "empty_frame", "is_nested", "read_xml",
           "table_to_pandas"]

DTYPE_BACKENDS = (None, "numpy_nullable", "pyarrow")


def _pandas() -> Any:
    try:
        import pandas
    except ImportError:
        raise ImportError("korvith.read_xml needs pandas: install python3-pandas "
                          "(Debian) or `pip install pandas`") from None
    return pandas


def as_plan(plan_or_columns: Any, name: str = "plan_or_columns") -> Plan:
    """A Plan from a Plan, a list of column names or a dict name -> type.

    A column name reads the text of the first child element of that name;
    ``"@name"`` reads the attribute ``name`` (always ``str``). A dict maps
    each name to ``str``, ``int``, ``float`` or ``bool`` (or any other plan
    field kind: ``[str]``, ``korvith.Plan(...)``...).
    """
    if isinstance(plan_or_columns, Plan):
        return plan_or_columns
    if isinstance(plan_or_columns, Mapping):
        return _plan_from_pairs(list(plan_or_columns.items()), name)
    if isinstance(plan_or_columns, Sequence) and not isinstance(
            plan_or_columns, (str, bytes, bytearray)):
        return _plan_from_pairs([(column, str) for column in plan_or_columns], name)
    raise TypeError(f"{name} must be a korvith.Plan, a list of column names or a dict of "
                    f"name -> type, not {type(plan_or_columns).__name__}")


def _plan_from_pairs(pairs: list[tuple[Any, Any]], name: str) -> Plan:
    if not pairs:
        raise ValueError(f"{name} names no column")
    attributes: list[str] = []
    fields: dict[str, Any] = {}
    for column, kind in pairs:
        if not isinstance(column, str) or column in ("", "@"):
            raise TypeError(f"{name}: a column name is a non-empty str, not {column!r}")
        if column.startswith("@"):
            if kind is not str:
                raise TypeError(f"{name}: attribute {column!r} reads as str, not {kind!r}")
            attributes.append(column[1:])
        else:
            fields[column] = kind
    try:
        return Plan(fields, attributes=attributes)
    except (TypeError, ValueError) as e:
        raise type(e)(f"{name}: {e}") from None


def read_xml(source: Any, tag: str, plan_or_columns: Any, *, batch_size: int = 65536,
             errors: str = "raise", dtype_backend: str | None = None,
             **options: Any) -> pandas.DataFrame:
    """The records ``plan_or_columns`` describes, one row per element named
    ``tag`` of ``source`` (a path or bytes), as a ``pandas.DataFrame``.

    Rows are the records of ``korvith.iterextract(source, tag, plan)`` in the
    same order; columns are the plan's attributes, then its fields. See the
    module documentation for the dtypes. ``batch_size`` and ``errors`` go to
    ``korvith.extract_table``; ``options`` are the parse keywords of
    ``korvith.parse`` (``huge``...).
    """
    plan = as_plan(plan_or_columns)
    converter = column_converter(dtype_backend)
    from .tables import extract_table
    table = extract_table(source, tag, plan, batch_size=batch_size, errors=errors, **options)
    return table_to_pandas(table, converter)


def column_converter(dtype_backend: str | None) -> Callable[[Any], Any]:
    """The function turning an Arrow table into a DataFrame for
    ``dtype_backend`` (checked here, before any work is done)."""
    if dtype_backend not in DTYPE_BACKENDS:
        raise ValueError(f"dtype_backend must be None, 'numpy_nullable' or 'pyarrow', "
                         f"not {dtype_backend!r}")
    pd = _pandas()
    import pyarrow as pa

    if dtype_backend == "pyarrow":
        return lambda table: table.to_pandas(types_mapper=pd.ArrowDtype)
    nullable: dict[Any, Any] = {pa.int64(): pd.Int64Dtype(), pa.bool_(): pd.BooleanDtype()}
    if dtype_backend == "numpy_nullable":
        nullable[pa.float64()] = pd.Float64Dtype()
        nullable[pa.string()] = pd.StringDtype()
        nullable[pa.large_string()] = pd.StringDtype()

    def convert(table: pyarrow.Table) -> Any:
        nested = [i for i, field in enumerate(table.schema) if is_nested(field.type)]
        # One call for the flat columns: pyarrow converts them in parallel.
        frame = table.drop_columns([table.column_names[i] for i in nested]).to_pandas(
            types_mapper=nullable.get)
        for i in nested:
            # Python lists and dicts, equal to the values iterextract gives
            # (pyarrow alone would put NumPy arrays in the cells).
            frame.insert(i, table.column_names[i],
                         pd.Series(table.column(i).to_pylist(), dtype=object, index=frame.index))
        return frame
    return convert


def is_nested(kind: Any) -> bool:
    """Whether an Arrow type holds lists or records."""
    import pyarrow.types as t
    return bool(t.is_list(kind) or t.is_large_list(kind) or t.is_struct(kind)
                or t.is_map(kind) or t.is_fixed_size_list(kind))


def table_to_pandas(table: pyarrow.Table, converter: Callable[[Any], Any] | None = None
                    ) -> pandas.DataFrame:
    """``table`` as a DataFrame with korvith's dtypes (see the module)."""
    return (converter or column_converter(None))(table)


def empty_frame(schema: pyarrow.Schema, dtype_backend: str | None = None) -> pandas.DataFrame:
    """A DataFrame without rows with the columns and dtypes ``read_xml``
    gives for a plan of this Arrow schema."""
    return table_to_pandas(schema.empty_table(), column_converter(dtype_backend))
