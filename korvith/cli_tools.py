"""Command-line subcommands for validation, canonical XML and XSLT, and the
``--html`` option of ``query``, ``extract`` and ``stats``.

``validate`` exits 0 when every file is valid, 1 when any is invalid or
cannot be read, 2 for usage errors (no schema, a schema that does not
compile). Every problem is printed as ``file:line:column: message``.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from typing import Any

import korvith
from korvith.diagnostics import ErrorEntry, SchemaError, XSLTError
from korvith.errors import ParseError


def register(sub: Any, query: argparse.ArgumentParser, extract: argparse.ArgumentParser,
             stats: argparse.ArgumentParser) -> None:
    """Adds the subcommands and options of this module to the parser."""
    for p in (query, extract, stats):
        p.add_argument("--html", action="store_true",
                       help="read the input as HTML (tag soup is repaired)")

    v = sub.add_parser("validate", help="validate files against a schema or DTD",
                       description="Validate each FILE; prints file:line:column: message "
                                   "per problem. Exit 0 when all are valid, 1 otherwise.")
    v.add_argument("files", nargs="+", metavar="FILE")
    kind = v.add_mutually_exclusive_group(required=True)
    kind.add_argument("--schema", metavar="S.xsd", help="W3C XML Schema")
    kind.add_argument("--relaxng", metavar="S.rng", help="RELAX NG schema (XML syntax)")
    kind.add_argument("--dtd", metavar="S.dtd", help="external DTD file")
    kind.add_argument("--internal-dtd", action="store_true",
                      help="each file's own <!DOCTYPE [...]> internal subset")
    v.add_argument("--allow-dir", action="append", default=[], metavar="DIR",
                   help="a directory the schema may include files from (repeatable)")
    v.add_argument("-q", "--quiet", action="store_true", help="no 'FILE: valid' lines")
    v.set_defaults(run=cmd_validate)

    c = sub.add_parser("c14n", help="write the canonical form of a file",
                       description="Write the canonical XML (C14N) of FILE to standard output.")
    c.add_argument("file", metavar="FILE")
    c.add_argument("--exclusive", action="store_true", help="exclusive canonicalisation")
    c.add_argument("--with-comments", action="store_true", help="keep comments")
    c.add_argument("--version", dest="c14n_version", choices=("1.0", "1.1"), default="1.0",
                   help="C14N version (default 1.0)")
    c.add_argument("--inclusive-prefix", action="append", default=None, metavar="PREFIX",
                   help="with --exclusive: a prefix treated inclusively (repeatable)")
    c.set_defaults(run=cmd_c14n)

    x = sub.add_parser("xslt", help="transform a file with an XSLT stylesheet",
                       description="Apply STYLE.xsl to FILE and write the result "
                                   "(as xsl:output says) to standard output.")
    x.add_argument("style", metavar="STYLE.xsl")
    x.add_argument("file", metavar="FILE")
    x.add_argument("-p", "--param", action="append", default=[], metavar="NAME=VALUE",
                   help="a string parameter (repeatable)")
    x.add_argument("-x", "--xpath-param", action="append", default=[], metavar="NAME=EXPR",
                   help="a parameter given as an XPath expression (repeatable)")
    x.add_argument("--allow-dir", action="append", default=[], metavar="DIR",
                   help="a directory includes and document() may read (repeatable)")
    x.add_argument("--documents", action="store_true", help="enable document()")
    x.add_argument("--html", action="store_true", help="read FILE as HTML")
    x.set_defaults(run=cmd_xslt)


def parse_input(data: bytes, html: bool, **options: Any) -> korvith.Document:
    """The document of a command's input: HTML or XML."""
    if html:
        return korvith.html.document_fromstring(data)
    return korvith.parse(data, **options)


def _cli() -> Any:
    from korvith import cli
    return cli


def _problem(label: str, entry: ErrorEntry) -> str:
    return f"{label}:{entry.line}:{entry.column}: {entry.message}"


def _validator(args: argparse.Namespace) -> Any:
    cli = _cli()
    if args.internal_dtd:
        return None
    try:
        if args.schema:
            return korvith.XMLSchema(args.schema, allow_dirs=args.allow_dir)
        if args.relaxng:
            return korvith.RelaxNG(args.relaxng, allow_dirs=args.allow_dir)
        return korvith.DTD(args.dtd, allow_dirs=args.allow_dir)
    except OSError as e:
        raise cli.UsageError(f"{e.filename}: {e.strerror}") from None
    except ValueError as e:
        raise cli.UsageError(str(e)) from None
    except SchemaError as e:
        name = args.schema or args.relaxng or args.dtd
        lines = [_problem(name, entry) for entry in e.error_log.filter_errors()]
        raise cli.UsageError("the schema does not compile\n" + "\n".join(lines)) from None


def cmd_validate(args: argparse.Namespace) -> int:
    cli = _cli()
    validator = _validator(args)
    status = 0
    for name in args.files:
        label = "<stdin>" if name == "-" else name
        try:
            doc, _ = cli._load(name)
        except cli.Failure as e:
            cli._error(str(e))
            status = 1
            continue
        with doc:
            try:
                if validator is None:
                    valid, log = korvith.validate_internal_dtd(doc)
                else:
                    valid, log = validator.validate(doc), validator.error_log
            except korvith.ValidationError as e:  # could not validate (no DTD, ...)
                valid, log = False, e.error_log
        for entry in log:
            sys.stdout.write(_problem(label, entry) + "\n")
        if valid and not args.quiet:
            sys.stdout.write(f"{label}: valid\n")
        if not valid:
            status = 1
    return status


def cmd_c14n(args: argparse.Namespace) -> int:
    cli = _cli()
    doc, _ = cli._load(args.file)
    with doc:
        try:
            data = korvith.canonicalize(doc, exclusive=args.exclusive,
                                        with_comments=args.with_comments,
                                        inclusive_ns_prefixes=args.inclusive_prefix,
                                        version=args.c14n_version)
        except ValueError as e:
            raise cli.UsageError(str(e)) from None
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()
    return 0


def _params(args: argparse.Namespace) -> dict[str, str]:
    cli = _cli()
    params: dict[str, str] = {}
    for name, value in cli._parse_pairs(args.param, "-p", "NAME=VALUE").items():
        params[name] = korvith.strparam(value)
    for name, value in cli._parse_pairs(args.xpath_param, "-x", "NAME=EXPR").items():
        params[name] = value
    return params


def cmd_xslt(args: argparse.Namespace) -> int:
    cli = _cli()
    params = _params(args)
    try:
        transform = korvith.XSLT(args.style, allow_dirs=args.allow_dir, documents=args.documents)
    except OSError as e:
        raise cli.UsageError(f"{e.filename}: {e.strerror}") from None
    except XSLTError as e:
        lines = [_problem(args.style, entry) for entry in e.error_log.filter_errors()]
        raise cli.UsageError("the stylesheet does not compile\n" + "\n".join(lines)) from None
    label = "<stdin>" if args.file == "-" else args.file
    data = cli._read_source(args.file)
    try:
        doc = parse_input(data, args.html)
    except ParseError as e:
        raise cli.Failure(cli._where(label, e)) from None
    with doc:
        try:
            result = transform(doc, **params)
        except ValueError as e:
            raise cli.UsageError(str(e)) from None
        except XSLTError as e:
            for entry in e.error_log.filter_errors():
                cli._error(_problem(args.style, entry))
            return 1
    with result:
        sys.stdout.buffer.write(bytes(result))
        sys.stdout.buffer.flush()
    return 0


def extract_html(args: argparse.Namespace, plan: Any, tag: str) -> int:
    """``extract --html``: every element named TAG of the page, in document order."""
    cli = _cli()
    data = cli._read_source(args.file)
    with korvith.html.document_fromstring(data) as doc:
        for record in _records(doc, tag, plan):
            cli._write_line(json.dumps(record, ensure_ascii=False, default=cli._json_default))
    return 0


def _records(doc: korvith.Document, tag: str, plan: Any) -> Iterator[dict[str, Any]]:
    for element in doc.iter(tag):
        yield korvith.extract(element, plan)
