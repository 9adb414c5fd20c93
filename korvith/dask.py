"""XML records from many files as one Dask DataFrame.

    >>> import korvith.dask
    >>> df = korvith.dask.read_xml("dumps/*.xml", "item", {"name": str, "price": float})
    >>> df.groupby("name").price.mean().compute()

One partition per file, in sorted path order, each read on a worker by
``korvith.read_xml``: the same rows, order and dtypes as reading the files
one after the other in one process. The plan travels to the workers
pickled (each worker compiles its own copy). Importing korvith does not
import Dask; this module imports it on first use.
"""

from __future__ import annotations

import glob
import os
import pickle
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from . import frames

if TYPE_CHECKING:
    import pandas

__all__ = ["read_xml"]


def _dask_dataframe() -> Any:
    try:
        import dask.dataframe
    except ImportError as e:
        raise ImportError("korvith.dask needs Dask's DataFrame: install python3-dask and "
                          "python3-distributed (Debian) or `pip install 'dask[dataframe]' "
                          f"distributed` ({e})") from None
    return dask.dataframe


def _paths(paths_or_glob: Any) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fspath(paths_or_glob)
        if glob.has_magic(pattern):
            found = sorted(glob.glob(pattern))
            if not found:
                raise FileNotFoundError(f"no file matches {pattern!r}")
            return found
        paths = [pattern]
    elif isinstance(paths_or_glob, Sequence) and not isinstance(paths_or_glob, (bytes, bytearray)):
        paths = []
        for path in paths_or_glob:
            if not isinstance(path, (str, os.PathLike)):
                raise TypeError("paths_or_glob must be a path, a glob pattern or a list of "
                                f"paths, not a list holding {type(path).__name__}")
            paths.append(os.fspath(path))
        if not paths:
            raise ValueError("paths_or_glob names no file")
    else:
        raise TypeError("paths_or_glob must be a path, a glob pattern or a list of paths, "
                        f"not {type(paths_or_glob).__name__}")
    for path in paths:
        if os.path.isdir(path):
            raise IsADirectoryError(f"{path}: Is a directory")
        if not os.path.isfile(path):
            raise FileNotFoundError(f"{path}: No such file")
    return paths


def _read_partition(path: str, tag: str, plan: Any, dtype_backend: str | None,
                    options: dict[str, Any]) -> pandas.DataFrame:
    """One file as one partition (runs on a worker)."""
    return frames.read_xml(path, tag, plan, dtype_backend=dtype_backend, **options)


def read_xml(paths_or_glob: Any, tag: str, plan: Any, *, blocksize: int | None = None,
             dtype_backend: str | None = None, **options: Any) -> Any:
    """A ``dask.dataframe.DataFrame`` (its class depends on the Dask
    version, hence ``Any``) of the records ``plan`` describes in every file of
    ``paths_or_glob`` (a path, a glob pattern or a list of paths), one
    partition per file.

    ``plan`` is what ``korvith.read_xml`` takes (a Plan, a list of column
    names or a dict name -> type); ``options`` go to it (``batch_size``,
    ``errors``, parse keywords). Each partition keeps its own 0-based index.

    ``blocksize`` must stay None: a file is never split, as a byte offset
    inside XML cannot be shown to fall between two records without parsing
    what precedes it (CDATA sections, comments, nested records, namespace
    declarations and entities declared earlier all change its meaning).
    """
    if blocksize is not None:
        raise NotImplementedError("blocksize: korvith.dask reads one partition per file; "
                                  "split large inputs into several files")
    if not isinstance(tag, str) or not tag:
        raise TypeError("tag must be a non-empty str")
    checked = frames.as_plan(plan, "plan")
    from .tables import arrow_schema
    meta = frames.empty_frame(arrow_schema(checked), dtype_backend)
    paths = _paths(paths_or_glob)
    dd = _dask_dataframe()
    import dask
    from dask.base import tokenize

    # The plan is pickled into the graph; the token also covers each file's
    # size and modification time, so a changed file is never served from a
    # result computed for its older content.
    stats = [(p, os.stat(p).st_size, os.stat(p).st_mtime_ns) for p in paths]
    token = tokenize(stats, tag, pickle.dumps(checked), dtype_backend, sorted(options.items()))
    # Dask's "dataframe.convert-string" would cast every object column to
    # strings, list and record columns included ("['a', 'b']"): the
    # collection keeps read_xml's dtypes instead.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(_read_partition, paths, args=(tag, checked, dtype_backend, options),
                           meta=meta, label="korvith-read-xml", token=token,
                           enforce_metadata=False)
