"""``korvith extract --format jsonl|csv|parquet [-o OUT]``: records as tables.

JSON lines stay the default and come from ``iterextract`` as before. CSV
and Parquet come from the engine's Arrow batches (``korvith.iter_batches``),
written batch by batch, so memory stays flat for any input size. An output
file is written beside its final name and renamed into place once the
whole input has been read: a parse error never leaves a truncated file
under the name asked for.

In CSV, a null is an empty unquoted cell, an empty string an empty quoted
one (``""``), and a list or record value is its JSON text (``["a","b"]``,
``{"x":1}``), as CSV has no nesting.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import IO, Any

import korvith
from korvith.errors import ParseError
from korvith.frames import is_nested

FORMATS = ("jsonl", "csv", "parquet")


def register(extract: argparse.ArgumentParser) -> None:
    """Adds ``--format`` and ``-o`` to the ``extract`` subcommand."""
    extract.add_argument("--format", choices=FORMATS, default="jsonl",
                         help="jsonl (default: one JSON object per line), csv (a header "
                              "line; lists and records as JSON text) or parquet (needs "
                              "pyarrow and -o)")
    extract.add_argument("-o", "--output", metavar="OUT",
                         help="write to OUT instead of standard output (replaced only "
                              "once every record is written)")
    extract.add_argument("--batch-size", type=_positive, default=65536, metavar="N",
                         help="records per Arrow batch for csv and parquet (default 65536)")
    extract.add_argument("--errors", choices=("raise", "null"), default="raise",
                         help="csv and parquet: a text that does not convert to its "
                              "field's type fails the run (raise, default) or is null")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def wants_tables(args: argparse.Namespace) -> bool:
    """Whether ``extract`` runs here rather than in its JSON-lines loop."""
    return args.format != "jsonl" or args.output is not None


def extract(args: argparse.Namespace, plan: Any, tag: str) -> int:
    """Runs ``extract`` with ``--format`` or ``-o``."""
    cli = _cli()
    if args.html:
        if args.format != "jsonl":
            raise cli.UsageError("--format csv and parquet read XML, not --html input")
        return _to_file(args.output, lambda out: _html_lines(args, plan, tag, out), cli)
    if args.format == "parquet" and args.output is None:
        raise cli.UsageError("--format parquet writes a file: give -o OUT")
    source, label = _source(args.file, cli)
    if args.format == "jsonl":
        writer: Callable[[IO[bytes]], None] = lambda out: _jsonl(source, tag, plan, out)
    else:
        _need_pyarrow(args.format, cli)
        from .tables import arrow_schema, iter_batches
        try:
            schema = arrow_schema(plan)
        except (TypeError, ValueError) as e:
            raise cli.UsageError(f"{args.plan}: --format {args.format}: {e}") from None
        batches = iter_batches(source, tag, plan, batch_size=args.batch_size,
                               errors=args.errors)
        if args.format == "csv":
            writer = lambda out: write_csv(batches, schema, out)
        else:
            writer = lambda out: write_parquet(batches, schema, out)
    try:
        return _to_file(args.output, writer, cli)
    except ParseError as e:
        raise cli.Failure(cli._where(label, e)) from None
    except ValueError as e:  # a text that does not convert, with --errors raise
        raise cli.Failure(f"{label}: {e}") from None


def _cli() -> Any:
    from korvith import cli
    return cli


def _source(name: str, cli: Any) -> tuple[Any, str]:
    """What ``iterextract`` reads for FILE (``-``: standard input, read
    whole as ``extract`` always has), and its name in messages."""
    if name == "-":
        return sys.stdin.buffer.read(), "<stdin>"
    if not os.path.exists(name):
        raise cli.Failure(f"{name}: No such file or directory")
    if os.path.isdir(name):
        raise cli.Failure(f"{name}: Is a directory")
    return name, name


def _need_pyarrow(fmt: str, cli: Any) -> None:
    try:
        import pyarrow  # noqa: F401
        import pyarrow.csv  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise cli.UsageError(f"--format {fmt} needs pyarrow: install python3-pyarrow "
                             "(Debian) or `pip install pyarrow`") from None


def _to_file(path: str | None, write: Callable[[IO[bytes]], None], cli: Any) -> int:
    """Runs ``write`` on standard output, or on a temporary file beside
    ``path`` that replaces ``path`` once ``write`` returns."""
    if path is None:
        write(sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return 0
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".korvith-", suffix=".part", dir=directory)
    except OSError as e:
        raise cli.UsageError(f"--output {path}: {e.strerror or e}") from None
    try:
        os.fchmod(fd, 0o666 & ~_umask())  # as open() would create it
        with os.fdopen(fd, "wb") as out:
            write(out)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    return 0


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _jsonl(source: Any, tag: str, plan: Any, out: IO[bytes]) -> None:
    cli = _cli()
    for record in korvith.iterextract(source, tag, plan):
        out.write(json.dumps(record, ensure_ascii=False, default=cli._json_default)
                  .encode("utf-8") + b"\n")


def _html_lines(args: argparse.Namespace, plan: Any, tag: str, out: IO[bytes]) -> None:
    cli = _cli()
    data = cli._read_source(args.file)
    with korvith.html.document_fromstring(data) as doc:
        for element in doc.iter(tag):
            record = korvith.extract(element, plan)
            out.write(json.dumps(record, ensure_ascii=False, default=cli._json_default)
                      .encode("utf-8") + b"\n")


def write_parquet(batches: Iterator[Any], schema: Any, out: IO[bytes]) -> None:
    """Writes every batch as it comes, one row group each (a file without
    rows still has the columns)."""
    import pyarrow.parquet as pq
    with pq.ParquetWriter(out, schema) as writer:
        for batch in batches:
            writer.write_batch(batch)


def write_csv(batches: Iterator[Any], schema: Any, out: IO[bytes]) -> None:
    """Writes a header line, then every batch as it comes; nested values
    become their JSON text."""
    import pyarrow as pa
    import pyarrow.csv as pcsv
    nested = [i for i, field in enumerate(schema) if is_nested(field.type)]
    flat_schema = schema
    for i in nested:
        flat_schema = flat_schema.set(i, pa.field(schema.field(i).name, pa.string()))
    with pcsv.CSVWriter(out, flat_schema) as writer:
        for batch in batches:
            for i in nested:
                batch = batch.set_column(i, flat_schema.field(i), _as_json(batch.column(i)))
            writer.write_batch(batch)


def _as_json(column: Any) -> Any:
    import pyarrow as pa
    texts = [None if value is None else json.dumps(value, ensure_ascii=False,
                                                   separators=(",", ":"))
             for value in column.to_pylist()]
    return pa.array(texts, pa.string())
