"""The ``korvith`` command line (also ``python -m korvith``).

Subcommands: ``query``, ``extract``, ``fmt``, ``stats`` and ``demo``; see
docs/cli.md. Exit status: 0 on success, 1 when a file cannot be read or
parsed (or a query fails), 2 for usage errors (bad options, an XPath
expression that does not compile, an unreadable plan file). Errors go to
standard error as ``file:line:column: message``.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import stat
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any

import korvith
from korvith import cli_tools
from korvith import cli_tables
from korvith.errors import KorvithError, ParseError, XPathError

PROG = "korvith"


class UsageError(Exception):
    """A problem with the command line itself (exit status 2)."""


class Failure(Exception):
    """A problem with the input (exit status 1); already worded for users."""


# --------------------------------------------------------------- helpers

class Progress:
    """A one-line progress indicator on standard error, shown only when
    standard error is a terminal and the work takes more than a moment."""

    def __init__(self, total: int, label: str, stream: IO[str] | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = total > 1 and self.stream.isatty()
        self.total, self.label, self.done = total, label, 0
        self.start = time.monotonic()
        self.shown = False

    def step(self, what: str = "") -> None:
        self.done += 1
        if not self.enabled or time.monotonic() - self.start < 0.3:
            return
        text = f"\r{self.label} {self.done}/{self.total} {what}"[:78]
        self.stream.write(text.ljust(79))
        self.stream.flush()
        self.shown = True

    def finish(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * 79 + "\r")
            self.stream.flush()


# The most read whole from a device or named pipe (``/dev/zero`` would
# otherwise fill memory); files and standard input have no such limit.
DEVICE_READ_LIMIT = 256 * 1024 * 1024


def _read_source(name: str) -> bytes:
    try:
        if name == "-":
            return sys.stdin.buffer.read()
        with open(name, "rb") as f:
            if not _streamed(name):
                return f.read()
            data = f.read(DEVICE_READ_LIMIT + 1)
        if len(data) > DEVICE_READ_LIMIT:
            raise Failure(f"{name}: a device or pipe giving more than "
                          f"{DEVICE_READ_LIMIT // (1024 * 1024)} MB; save it to a file first")
        return data
    except OSError as e:
        raise Failure(f"{name}: {e.strerror or e}") from None
    except MemoryError:
        raise Failure(f"{name}: input too large to hold in memory") from None


def write_output(path: str, data: bytes) -> None:
    """Write ``data`` to the file ``-o``/``--output`` names (a usage error when
    it cannot be opened)."""
    try:
        with open(path, "wb") as f:
            f.write(data)
    except OSError as e:
        raise UsageError(f"--output {path}: {e.strerror or e}") from None


def _streamed(name: str) -> bool:
    """A device or pipe given by name (``/dev/zero``, a FIFO): parsed as it
    is read, so that endless or huge input stops at its first error instead
    of being read into memory first."""
    try:
        mode = os.stat(name).st_mode
    except (OSError, ValueError):
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


def _load(name: str, **options: Any) -> tuple[korvith.Document, int]:
    """Parse a file (``-``: standard input); returns the document and its size."""
    if name != "-" and not options.get("html") and _streamed(name):
        options.pop("html", None)
        try:
            doc = korvith.parse_file(name, **options)
        except ParseError as e:
            raise Failure(_where(name, e)) from None
        except OSError as e:
            raise Failure(f"{name}: {e.strerror or e}") from None
        return doc, 0
    if name == "-" and not options.get("html"):
        return _load_stdin(**options), 0
    data = _read_source(name)
    label = "<stdin>" if name == "-" else name
    try:
        doc = cli_tools.parse_input(data, options.pop("html", False), **options)
    except ParseError as e:
        raise Failure(_where(label, e)) from None
    doc.filename = label
    return doc, len(data)


# Standard input read by `-` stops with an error beyond this many bytes (an
# endless pipe of well-formed XML would otherwise grow the tree until memory
# runs out); KORVITH_MAX_STDIN sets another bound.
STDIN_LIMIT = 512 << 20


class _InputTooLarge(Exception):
    pass


class _BoundedStream:
    """A binary stream that refuses to give more than ``limit`` bytes."""

    def __init__(self, stream: IO[bytes], limit: int) -> None:
        self.stream = stream
        self.left = limit
        self.limit = limit

    def read(self, size: int = -1) -> bytes:
        chunk = self.stream.read(min(size, self.left + 1) if size >= 0 else self.left + 1)
        self.left -= len(chunk)
        if self.left < 0:
            raise _InputTooLarge(
                f"<stdin>: input larger than {self.limit} bytes; save it to a file and give "
                "its name, or set KORVITH_MAX_STDIN to a larger byte count")
        return chunk


def _stdin_limit() -> int:
    text = os.environ.get("KORVITH_MAX_STDIN", "")
    if not text:
        return STDIN_LIMIT
    try:
        limit = int(text)
    except ValueError:
        limit = -1
    if limit <= 0:
        raise UsageError(f"KORVITH_MAX_STDIN must be a positive byte count, not {text!r}")
    return limit


def _load_stdin(**options: Any) -> korvith.Document:
    """Standard input, parsed as it is read: endless or huge input stops at
    its first error, at a limit of the parser's or at the byte bound above,
    instead of filling memory."""
    options.pop("html", None)
    stream = _BoundedStream(sys.stdin.buffer, _stdin_limit())
    try:
        doc = korvith.parse(stream, **options)
    except ParseError as e:
        raise Failure(_where("<stdin>", e)) from None
    except _InputTooLarge as e:
        raise Failure(str(e)) from None
    except OSError as e:
        raise Failure(f"<stdin>: {e.strerror or e}") from None
    doc.filename = "<stdin>"
    return doc


def _where(label: str, e: ParseError) -> str:
    if e.line:
        return f"{label}:{e.line}:{e.column}: {e.message}"
    return f"{label}: {e.message}"


def _out() -> IO[bytes]:
    return sys.stdout.buffer


def _write_line(text: str | bytes) -> None:
    out = _out()
    out.write(text if isinstance(text, bytes) else text.encode("utf-8"))
    out.write(b"\n")


def _number(value: float) -> str:
    if value != value:
        return "NaN"
    if value in (float("inf"), float("-inf")):
        return "Infinity" if value > 0 else "-Infinity"
    return str(int(value)) if value == int(value) else repr(value)


def _parse_pairs(items: Sequence[str], what: str, form: str = "NAME=VALUE") -> dict[str, str]:
    pairs: dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise UsageError(f"{what} takes {form}, not {item!r}")
        pairs[key] = value
    return pairs


def _variables(items: Sequence[str]) -> dict[str, Any]:
    """``name=text`` binds a string, ``name:number=3.5`` a number and
    ``name:bool=true`` a boolean."""
    out: dict[str, Any] = {}
    for key, value in _parse_pairs(items, "--var").items():
        name, _, kind = key.partition(":")
        if kind in ("", "string", "str"):
            out[name] = value
        elif kind in ("number", "num"):
            try:
                out[name] = float(value)
            except ValueError:
                raise UsageError(f"--var {key}: {value!r} is not a number") from None
        elif kind == "bool":
            if value.lower() not in ("true", "false", "1", "0", "yes", "no"):
                raise UsageError(f"--var {key}: {value!r} is not true or false")
            out[name] = value.lower() in ("true", "1", "yes")
        else:
            raise UsageError(f"--var {key}: unknown type {kind!r} (string, number, bool)")
    return out


# --------------------------------------------------------------- query

def _element_json(el: korvith.Element) -> dict[str, Any]:
    return {"tag": el.tag, "text": "".join(el.itertext()), "attrib": dict(el.attrib),
            "line": el.sourceline}


def _query_value(value: Any, mode: str) -> Iterator[str | bytes]:
    if isinstance(value, list):
        if mode == "count":
            yield str(len(value))
            return
        for el in value:
            if not isinstance(el, korvith.Element):  # text, attributes, comments...
                yield _node_output(el, mode)
            elif mode == "xml":
                yield el.tobytes(with_tail=False)
            elif mode == "json":
                yield json.dumps(_element_json(el), ensure_ascii=False)
            else:
                yield "".join(el.itertext())
        return
    if mode == "json":
        yield json.dumps({"value": _json_number(value)}, ensure_ascii=False, allow_nan=False)
    elif isinstance(value, bool):
        yield "true" if value else "false"
    elif isinstance(value, float):
        yield _number(value)
    else:
        yield str(value)


def _check_query_order(files: Sequence[str], xpath: str) -> None:
    """XPATH comes last; catch the two ways of getting that wrong."""
    if not os.path.isfile(xpath):
        return
    usage = "usage: korvith query FILE... XPATH (the XPath comes last)"
    first = files[0]
    if first != "-" and not os.path.exists(first):
        raise UsageError(f"{first!r} is not a file and {xpath!r} is: the XPath comes after "
                         f"the files, as in: korvith query {xpath} '{first}'\n{usage}")
    raise UsageError(f"no XPath given ({xpath!r} is a file)\n{usage}")


def _is_match(value: Any) -> bool:
    # Node-sets match when not empty; numbers, strings and booleans are answers.
    return not isinstance(value, list) or len(value) > 0


def _prefix_lines(prefix: bytes, line: str | bytes) -> bytes:
    data = line if isinstance(line, bytes) else line.encode("utf-8")
    return b"\n".join(prefix + part for part in data.split(b"\n"))


def _json_number(value: Any) -> Any:
    # JSON has no Infinity or NaN: such numbers are written as strings.
    if isinstance(value, float) and (value != value or value in (float("inf"), float("-inf"))):
        return _number(value)
    return value


def _node_output(node: Any, mode: str) -> str | bytes:
    """One non-element node of a node-set: text, attribute, comment, PI or
    namespace node (prefix, uri), or the document node."""
    from korvith.output import escape_text
    if isinstance(node, korvith.Document):
        node = node.root
        if mode == "json":
            return json.dumps(_element_json(node), ensure_ascii=False)
        return node.tobytes() if mode == "xml" else "".join(node.itertext())
    if isinstance(node, tuple):
        prefix, uri = node
        if mode == "json":
            return json.dumps({"kind": "namespace", "prefix": prefix, "uri": uri},
                              ensure_ascii=False)
        attr = f"xmlns:{prefix}" if prefix else "xmlns"
        return f'{attr}="{escape_text(uri)}"' if mode == "xml" else uri
    kind = getattr(node, "kind", "text")
    if mode == "json":
        record: dict[str, Any] = {"value": str(node), "kind": kind}
        if getattr(node, "attrname", None):
            record["name"] = node.attrname
        if getattr(node, "target", None):
            record["target"] = node.target
        return json.dumps(record, ensure_ascii=False)
    if mode != "xml":
        return str(node)
    if kind == "comment":
        return f"<!--{node}-->"
    if kind == "pi":
        return f"<?{node.target} {node}?>" if str(node) else f"<?{node.target}?>"
    if kind == "attribute":
        return f'{node.attrname}="{escape_text(str(node)).replace(chr(34), "&quot;")}"'
    return escape_text(str(node))


def cmd_query(args: argparse.Namespace) -> int:
    _check_query_order(args.files, args.xpath)
    namespaces = _parse_pairs(args.namespace, "-n", "PREFIX=URI")
    variables = _variables(args.var)
    try:
        compiled = korvith.XPath(args.xpath, namespaces or None)
    except XPathError as e:
        raise UsageError(str(e)) from None
    status = 0
    matched = False
    many = len(args.files) > 1
    progress = Progress(len(args.files), "query")
    for name in args.files:
        progress.step(name)
        try:
            doc, _ = _load(name, html=args.html)
        except Failure as e:
            _error(str(e))
            status = 1
            continue
        with doc:
            try:
                value = compiled(doc, **variables)
            except XPathError as e:
                progress.finish()
                raise UsageError(str(e)) from None
            matched = matched or _is_match(value)
            for line in _query_value(value, args.output):
                if args.output == "json" and many:
                    record = json.loads(line)
                    record = {"file": doc.filename, **record}
                    line = json.dumps(record, ensure_ascii=False)
                elif many:
                    line = _prefix_lines(f"{doc.filename}:".encode(), line)
                _write_line(line)
    progress.finish()
    # As grep: 1 when nothing matched (and no other error said so already).
    return status or (0 if matched else 1)


# --------------------------------------------------------------- extract

def _load_plan(path: str) -> Any:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise UsageError(f"{path}: {e.strerror or e}") from None
    try:
        plan = json.loads(text)
    except json.JSONDecodeError as e:
        raise UsageError(f"{path}:{e.lineno}:{e.colno}: invalid JSON: {e.msg}") from None
    except RecursionError:
        raise UsageError(f"{path}: plan nested too deeply") from None
    if not isinstance(plan, dict):
        raise UsageError(f"{path}: a plan is a JSON object")
    if _depth(plan) > MAX_PLAN_DEPTH:
        raise UsageError(f"{path}: plan nested deeper than {MAX_PLAN_DEPTH} levels")
    return plan


MAX_PLAN_DEPTH = 100  # JSON levels of a plan file; real plans use a handful


def _depth(obj: Any) -> int:
    """How deeply JSON containers nest in ``obj`` (without recursion)."""
    deepest, todo = 0, [(obj, 1)]
    while todo:
        item, level = todo.pop()
        if isinstance(item, dict):
            item = list(item.values())
        if isinstance(item, list):
            deepest = max(deepest, level)
            todo.extend((child, level + 1) for child in item)
    return deepest


_LEAVES: dict[str, type] = {"str": str, "int": int, "float": float, "bool": bool}


def _leaf_type(spec: Any, where: str) -> type:
    if isinstance(spec, str) and spec in _LEAVES:
        return _LEAVES[spec]
    raise UsageError(f"{where}: expected one of str, int, float, bool, not {json.dumps(spec)}")


def _plans() -> Any:
    # The module, not the function that the package exports under its name.
    from importlib import import_module
    return import_module("korvith.extract")


def plan_from_json(obj: Any, where: str = "plan") -> Any:
    """Build an extraction plan from its JSON form (see docs/cli.md)::

        {"attributes": ["id"],
         "fields": {"title": "str", "year": "int", "tags": ["str"],
                    "author": {"fields": {"name": "str"}},
                    "reviews": [{"attributes": ["stars"], "fields": {...}}],
                    "keywords": {"tokens": "str"}, "chapters": {"wrapped": "str"},
                    "body": {"text": "str"}, "isbn": "located"}}
    """
    ex = _plans()
    if not isinstance(obj, dict):
        raise UsageError(f"{where}: a plan is a JSON object")
    unknown = set(obj) - {"attributes", "fields", "tag"}
    if unknown:
        raise UsageError(f"{where}: unknown key {sorted(unknown)[0]!r} "
                         "(a plan has \"attributes\", \"fields\" and, at the top, \"tag\")")
    attributes = obj.get("attributes", [])
    if not isinstance(attributes, list) or not all(isinstance(a, str) for a in attributes):
        raise UsageError(f"{where}: \"attributes\" is a list of names")
    fields = obj.get("fields", {})
    if not isinstance(fields, dict):
        raise UsageError(f"{where}: \"fields\" is an object of name: kind")
    for name in [*attributes, *fields]:
        if "\0" in name:
            raise UsageError(f"{where}: name {name!r} contains a NUL character")
    specs = {name: _field_from_json(spec, f"{where}: field {name!r}")
             for name, spec in fields.items()}
    try:
        return ex.Plan(specs, attributes=attributes)
    except (TypeError, ValueError) as e:
        raise UsageError(f"{where}: {e}") from None


def _field_from_json(spec: Any, where: str) -> Any:
    ex = _plans()
    if spec == "located":
        return ex.Located
    if isinstance(spec, str):
        return _leaf_type(spec, where)
    if isinstance(spec, list):
        if len(spec) != 1:
            raise UsageError(f"{where}: a list field holds exactly one kind, like [\"str\"]")
        item = spec[0]
        return [plan_from_json(item, where) if isinstance(item, dict)
                else _leaf_type(item, where)]
    if isinstance(spec, dict):
        kinds = {"tokens", "wrapped", "text"} & set(spec)
        if kinds and len(spec) == 1:
            kind = kinds.pop()
            inner = spec[kind]
            if kind == "tokens":
                return ex.Tokens(_leaf_type(inner, where))
            if kind == "text":
                return ex.Text(_leaf_type(inner, where))
            if isinstance(inner, dict):
                return ex.Wrapped(plan_from_json(inner, where))
            return ex.Wrapped(_leaf_type(inner, where))
        return plan_from_json(spec, where)
    raise UsageError(f"{where}: unsupported field kind {json.dumps(spec)}")


def cmd_extract(args: argparse.Namespace) -> int:
    plan_json = _load_plan(args.plan)
    plan = plan_from_json(plan_json, args.plan)
    tag = args.tag or plan_json.get("tag")
    if not tag or not isinstance(tag, str):
        raise UsageError(f"{args.plan}: no record tag: give --tag or a \"tag\" in the plan")
    if "\0" in tag:
        raise UsageError(f"record tag {tag!r} contains a NUL character")
    if cli_tables.wants_tables(args):
        return cli_tables.extract(args, plan, tag)
    if args.html:
        return cli_tools.extract_html(args, plan, tag)
    source: Any = args.file
    if args.file == "-":
        source = sys.stdin.buffer.read()
    elif not os.path.exists(args.file):
        raise Failure(f"{args.file}: No such file or directory")
    elif os.path.isdir(args.file):
        raise Failure(f"{args.file}: Is a directory")
    label = "<stdin>" if args.file == "-" else args.file
    try:
        for record in korvith.iterextract(source, tag, plan):
            _write_line(json.dumps(record, ensure_ascii=False, default=_json_default))
    except ParseError as e:
        raise Failure(_where(label, e)) from None
    return 0


def _json_default(value: Any) -> Any:
    if isinstance(value, (set, frozenset, tuple)):
        return list(value)
    if hasattr(value, "_asdict"):
        return value._asdict()
    return str(value)


# --------------------------------------------------------------- fmt

def cmd_fmt(args: argparse.Namespace) -> int:
    from korvith.document import MAX_INDENT
    if args.indent > MAX_INDENT:
        raise UsageError(f"--indent must be from 0 to {MAX_INDENT}, not {args.indent}")
    if args.encoding is not None:
        import codecs
        try:
            codecs.lookup(args.encoding)
        except LookupError:
            raise UsageError(f"--encoding: unknown encoding {args.encoding!r}") from None
    doc, _ = _load(args.file, remove_blank_text=args.indent > 0)
    with doc:
        try:
            data = doc.tobytes(indent=args.indent, declaration=args.declaration,
                               encoding=args.encoding)
        except (LookupError, ValueError) as e:
            raise UsageError(f"--encoding: {e}") from None
        except KorvithError as e:
            raise Failure(f"{doc.filename}: {e}") from None
    if args.output:
        write_output(args.output, data)
    else:
        out = _out()
        out.write(data)
        if not data.endswith(b"\n"):
            out.write(b"\n")
    return 0


# --------------------------------------------------------------- stats

def document_stats(doc: korvith.Document) -> dict[str, Any]:
    """Elements, maximum depth, distinct namespace URIs and attributes."""
    from korvith import _korvithaccel as accel
    elements = attributes = depth = 0
    namespaces: set[str] = set()
    stack = [(doc.root, 1)]
    while stack:
        el, level = stack.pop()
        elements += 1
        depth = max(depth, level)
        ns = el.namespace
        if ns:
            namespaces.add(ns)
        for pair in accel.attribute_pairs(el, True):
            attributes += 1
            if pair[3]:
                namespaces.add(pair[3])
        kids = accel.children(el)
        stack.extend((kid, level + 1) for kid in reversed(kids))
    return {"elements": elements, "depth": depth, "namespaces": sorted(namespaces),
            "attributes": attributes}


def cmd_stats(args: argparse.Namespace) -> int:
    status = 0
    progress = Progress(len(args.files), "stats")
    for name in args.files:
        progress.step(name)
        size = 0
        try:
            if name != "-" and not args.html and _streamed(name):
                # A device or pipe: parsed as read (endless input stops at
                # its first error); its size is not known.
                start = time.perf_counter()
                doc, size = _load(name)
            else:
                data = _read_source(name)
                size = len(data)
                start = time.perf_counter()
                doc = cli_tools.parse_input(data, args.html)
            seconds = time.perf_counter() - start
        except Failure as e:
            _error(str(e))
            status = 1
            continue
        except ParseError as e:
            _error(_where("<stdin>" if name == "-" else name, e))
            status = 1
            continue
        with doc:
            info = document_stats(doc)
        mb = size / 1e6
        info = {"file": "<stdin>" if name == "-" else name, "bytes": size, **info,
                "parse_seconds": round(seconds, 6),
                "mb_per_second": round(mb / seconds, 1) if seconds > 0 else None}
        if args.json:
            _write_line(json.dumps(info))
        else:
            _write_line(_stats_text(info))
    progress.finish()
    return status


def _stats_text(info: dict[str, Any]) -> str:
    ns = ", ".join(info["namespaces"]) or "-"
    return (f"{info['file']}:\n"
            f"  bytes       {info['bytes']}\n"
            f"  elements    {info['elements']}\n"
            f"  depth       {info['depth']}\n"
            f"  attributes  {info['attributes']}\n"
            f"  namespaces  {len(info['namespaces'])} ({ns})\n"
            f"  parse       {info['parse_seconds'] * 1000:.2f} ms"
            f" ({info['mb_per_second']} MB/s)")


# --------------------------------------------------------------- demo

SAMPLE = """<?xml version="1.0" encoding="UTF-8"?>
<catalog xmlns:dc="http://purl.org/dc/elements/1.1/">
  <book id="b1" category="fiction" price="12.50" stock="3">
    <dc:title>The Left Hand of Darkness</dc:title>
    <author>Ursula K. Le Guin</author>
    <year>1969</year>
    <tags>classic anthropology winter</tags>
  </book>
  <book id="b2" category="science" price="18.00" stock="0">
    <dc:title>The Selfish Gene</dc:title>
    <author>Richard Dawkins</author>
    <year>1976</year>
    <tags>biology evolution</tags>
  </book>
  <book id="b3" category="fiction" price="9.99" stock="12">
    <dc:title>Solaris</dc:title>
    <author>Stanisław Lem</author>
    <year>1961</year>
    <tags>ocean contact</tags>
  </book>
</catalog>
""".encode("utf-8")

DC = "http://purl.org/dc/elements/1.1/"


def _say(text: str = "") -> None:
    _write_line(text)


def demo_tour() -> None:
    """Parse, query, extract and serialize the embedded sample."""
    _say("== korvith tour (embedded sample catalog) ==")
    with korvith.parse(SAMPLE, remove_blank_text=True) as doc:
        root = doc.root
        _say(f"root: {root!r} with {len(root)} books")
        for book in root.iter("book"):
            title = book.findtext(f"{{{DC}}}title")
            _say(f"  {book.get('id')}: {title} ({book.findtext('year')}), "
                 f"{book.get_float('price'):.2f}")
        cheap = doc.xpath("//book[@price < $limit]/@id/..", limit=15)
        _say(f"xpath //book[@price < $limit] (limit=15): {[b.get('id') for b in cheap]}")
        titles = doc.xpath("//dc:title", namespaces={"dc": DC})
        _say(f"xpath //dc:title: {[t.text for t in titles]}")
        _say(f"xpath count(//book[@stock > 0]): {_number(doc.xpath('count(//book[@stock > 0])'))}")
        fiction = korvith.XPath("//book[@category = $c]")
        _say(f"compiled XPath, c='fiction': {[b.get('id') for b in fiction(doc, c='fiction')]}")
        _say(f"indexing: root['book']['@id'] = {root['book']['@id']!r}, "
             f"root[-1].findtext('author') = {root[-1].findtext('author')!r}")
        _demo_extract(doc)
        _say("serialized first book, indent=2:")
        _out().write(root[0].tobytes(indent=2))
        _say()
    _say("streaming with iterparse(tag='book'):")
    for book in korvith.iterparse(SAMPLE, tag="book"):
        _say(f"  {book.get('id')} at line {book.sourceline}")


def _demo_extract(doc: korvith.Document) -> None:
    try:
        plan = plan_from_json(DEMO_PLAN)
        records = [korvith.extract(book, plan) for book in doc.root.iter("book")]
    except (ImportError, UsageError, KorvithError) as e:
        _say(f"extract: unavailable in this build ({e})")
        return
    _say("extract with a plan (typed records):")
    for record in records:
        _say(f"  {json.dumps(record, ensure_ascii=False, default=_json_default)}")


DEMO_PLAN: dict[str, Any] = {
    "tag": "book",
    "attributes": ["id"],
    "fields": {
        "{http://purl.org/dc/elements/1.1/}title": "str",
        "year": "int",
        "tags": {"tokens": "str"},
    },
}


def generate_document(size_mb: float) -> bytes:
    """A synthetic store inventory of about ``size_mb`` megabytes."""
    target = int(size_mb * 1_000_000)
    parts = [b'<?xml version="1.0" encoding="UTF-8"?>\n<inventory xmlns:x="urn:x">\n']
    total, i = 0, 0
    categories = (b"books", b"music", b"garden", b"tools", b"toys")
    while total < target:
        cat = categories[i % 5]
        item = (b'  <item id="i%d" category="%s" price="%d.%02d" stock="%d">'
                b"<name>Item number %d</name><desc>A fine &amp; useful %s thing</desc>"
                b'<x:code>%08d</x:code><tags><t>a</t><t>b%d</t></tags></item>\n'
                % (i, cat, i % 97, i % 100, i % 7, i, cat, i * 7919 % 10**8, i % 13))
        parts.append(item)
        total += len(item)
        i += 1
    parts.append(b"</inventory>\n")
    return b"".join(parts)


def _best(fn: Callable[[], Any], repeat: int) -> float:
    best = float("inf")
    for _ in range(max(1, repeat)):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def _timing_tasks(data: bytes) -> dict[str, dict[str, Callable[[], Any]]]:
    import xml.etree.ElementTree as ET

    kdoc = korvith.parse(data)
    kroot = kdoc.root
    eroot = ET.fromstring(data)
    libs: dict[str, Any] = {"korvith": None, "ElementTree": ET}
    tasks: dict[str, dict[str, Callable[[], Any]]] = {
        "parse": {
            "korvith": lambda: korvith.parse(data).close(),
            "ElementTree": lambda: ET.fromstring(data),
        },
        "iter + attribute": {
            "korvith": lambda: sum(e.get_float("price") for e in kroot.iter("item")),
            "ElementTree": lambda: sum(float(e.get("price")) for e in eroot.iter("item")),
        },
        "findall with predicate": {
            "korvith": lambda: len(kroot.findall("item[@category='books']")),
            "ElementTree": lambda: len(eroot.findall("item[@category='books']")),
        },
        "serialize": {
            "korvith": lambda: kdoc.tobytes(),
            "ElementTree": lambda: ET.tostring(eroot),
        },
    }
    try:
        from lxml import etree as LX
    except ImportError:
        LX = None
    if LX is not None:
        libs["lxml"] = LX
        lroot = LX.fromstring(data)
        tasks["parse"]["lxml"] = lambda: LX.fromstring(data)
        tasks["iter + attribute"]["lxml"] = (
            lambda: sum(float(e.get("price")) for e in lroot.iter("item")))
        tasks["findall with predicate"]["lxml"] = (
            lambda: len(lroot.findall("item[@category='books']")))
        tasks["serialize"]["lxml"] = lambda: LX.tostring(lroot)
        tasks["xpath count"] = {
            "korvith": lambda: kdoc.xpath("count(//item[@stock > 3])"),
            "lxml": lambda: lroot.xpath("count(//item[@stock > 3])"),
        }
    tasks["_keep"] = {"": lambda: (kdoc, eroot)}
    return tasks


def demo_timing(size_mb: float, repeat: int, use_lxml: bool) -> None:
    data = generate_document(size_mb)
    _say()
    _say(f"== timing on a generated {len(data) / 1e6:.1f} MB document "
         f"(best of {repeat}; ratio = other time / korvith time) ==")
    tasks = _timing_tasks(data)
    tasks.pop("_keep")
    if not use_lxml:
        for runs in tasks.values():
            runs.pop("lxml", None)
        tasks.pop("xpath count", None)
    others = [lib for lib in ("ElementTree", "lxml") if any(lib in r for r in tasks.values())]
    header = f"{'task':<24}{'korvith':>12}" + "".join(f"{lib:>24}" for lib in others)
    _say(header)
    progress = Progress(sum(len(r) for r in tasks.values()), "timing")
    for task, runs in tasks.items():
        times = {}
        for lib, fn in runs.items():
            progress.step(f"{task}: {lib}")
            times[lib] = _best(fn, repeat)
        base = times["korvith"]
        row = f"{task:<24}{base * 1000:>9.1f} ms"
        for lib in others:
            if lib in times:
                ratio = times[lib] / base if base > 0 else float("inf")
                row += f"{times[lib] * 1000:>12.1f} ms {ratio:>6.2f}x"
            else:
                row += f"{'-':>24}"
        _say(row)
    progress.finish()
    if "lxml" not in others:
        _say("(lxml is not installed or was left out)")


def cmd_demo(args: argparse.Namespace) -> int:
    if args.size <= 0 or args.repeat < 1:
        raise UsageError("--size must be positive and --repeat at least 1")
    demo_tour()
    if not args.no_timing:
        demo_timing(args.size, args.repeat, not args.no_lxml)
    return 0


# --------------------------------------------------------------- parser

def _error(message: str) -> None:
    sys.stderr.write(f"{message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Fast XML queries, extraction, formatting and statistics.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {korvith.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    q = sub.add_parser("query", help="evaluate an XPath expression on files",
                       description="Evaluate XPATH on each FILE ('-' reads standard input). "
                                   "Exit status 1 when nothing matches.",
                       **_examples("korvith query shop.xml '//item/@id'",
                                   "korvith query a.xml b.xml 'count(//item)' -o json",
                                   "korvith query feed.xml '//a:title' -n a=http://www.w3.org/2005/Atom"))
    q.add_argument("files", nargs="+", metavar="FILE")
    q.add_argument("xpath", metavar="XPATH")
    q.add_argument("-n", "--namespace", action="append", default=[], metavar="PREFIX=URI",
                   help="bind a namespace prefix (repeatable)")
    q.add_argument("--var", action="append", default=[], metavar="NAME[:TYPE]=VALUE",
                   help="bind $NAME; TYPE is string (default), number or bool")
    q.add_argument("-o", "--output", choices=("text", "xml", "count", "json"), default="text",
                   help="text of each match, its XML, the number of matches, or JSON lines")
    q.set_defaults(run=cmd_query)

    e = sub.add_parser("extract", help="stream records out of a file as JSON lines",
                       description="Extract one JSON record per matching element.",
                       **_examples("korvith extract books.xml --plan book-plan.json",
                                   "korvith extract big.xml --plan plan.json --tag item"))
    e.add_argument("file", metavar="FILE")
    e.add_argument("--plan", required=True, metavar="PLAN.json",
                   help="the record shape as JSON: {\"tag\": ..., \"attributes\": [...], "
                        "\"fields\": {...}} (see docs/cli.md)")
    e.add_argument("--tag", metavar="TAG", help="record element tag (overrides the plan's)")
    e.set_defaults(run=cmd_extract)

    f = sub.add_parser("fmt", help="re-serialize a file",
                       description="Re-serialize FILE with indentation and encoding.",
                       **_examples("korvith fmt shop.xml --indent 4",
                                   "korvith fmt shop.xml --encoding latin-1 -o out.xml"))
    f.add_argument("file", metavar="FILE")
    f.add_argument("--indent", type=_non_negative, default=2, metavar="N",
                   help="spaces per level (0: keep the layout); default 2")
    f.add_argument("--declaration", action=argparse.BooleanOptionalAction, default=True,
                   help="write the <?xml ...?> declaration (default: yes)")
    f.add_argument("--encoding", default=None, help="output encoding (default UTF-8)")
    f.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    f.set_defaults(run=cmd_fmt)

    s = sub.add_parser("stats", help="count elements, depth, namespaces, attributes",
                       description="Structure statistics and parse speed per FILE.",
                       **_examples("korvith stats shop.xml", "korvith stats *.xml --json"))
    s.add_argument("files", nargs="+", metavar="FILE")
    s.add_argument("--json", action="store_true", help="one JSON object per file")
    s.set_defaults(run=cmd_stats)

    d = sub.add_parser("demo", help="a tour of korvith with a timing against ElementTree",
                       description="Parse, query, extract and serialize a sample document, "
                                   "then time korvith against ElementTree (and lxml).",
                       **_examples("korvith demo --no-timing", "korvith demo --size 16"))
    d.add_argument("--size", type=_size_mb, default=4.0, metavar="MB",
                   help="size of the generated timing document (default 4)")
    d.add_argument("--repeat", type=int, default=3, help="timing runs per task (best is kept)")
    d.add_argument("--no-lxml", action="store_true", help="leave lxml out of the timing")
    d.add_argument("--no-timing", action="store_true", help="only the tour")
    d.set_defaults(run=cmd_demo)
    cli_tools.register(sub, q, e, s)
    cli_tables.register(e)
    from .cli_edit import register as register_edit
    register_edit(sub)
    return parser


def _examples(*lines: str) -> dict[str, Any]:
    """Keywords for add_parser: an "examples:" epilog, kept as written."""
    return {"epilog": "examples:\n" + "\n".join(f"  {line}" for line in lines),
            "formatter_class": argparse.RawDescriptionHelpFormatter}


def _size_mb(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value <= 0 or value > 100_000:
        raise argparse.ArgumentTypeError(f"must be a positive number of MB up to 100000, "
                                         f"not {text!r}")
    return value


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except UsageError as e:
        parser.exit(2, f"{PROG} {args.command}: error: {e}\n")
    except Failure as e:
        _error(str(e))
        return 1
    except KorvithError as e:
        _error(f"{PROG} {args.command}: {e}")
        return 1
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    return 0
