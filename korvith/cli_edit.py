"""``korvith edit``: everyday edits of a file by XPath, applied in order.

    korvith edit FILE [-n P=URI] [--set-attr XPATH NAME VALUE]
                 [--delete-attr XPATH NAME] [--set-text XPATH TEXT]
                 [--rename XPATH TAG] [--delete XPATH] [-o OUT | --inplace]

Each action applies to every element its XPath selects, in the order the
actions are given on the command line; the result goes to standard output,
OUT, or back to FILE (``--inplace``).
"""

from __future__ import annotations

import argparse
import os
import stat
import tempfile
from typing import Any

import korvith
from korvith.errors import KorvithError, XPathError

# Option, number of values, metavars.
ACTIONS: dict[str, tuple[int, tuple[str, ...]]] = {
    "set-attr": (3, ("XPATH", "NAME", "VALUE")),
    "delete-attr": (2, ("XPATH", "NAME")),
    "set-text": (2, ("XPATH", "TEXT")),
    "rename": (2, ("XPATH", "TAG")),
    "delete": (1, ("XPATH",)),
}

HELP = {
    "set-attr": "set attribute NAME to VALUE on every match",
    "delete-attr": "remove attribute NAME from every match",
    "set-text": "replace the text of every match",
    "rename": "change the tag of every match (name or {uri}name)",
    "delete": "remove every match (with its tail text)",
}


class _Ordered(argparse.Action):
    """Collects every edit action, in command-line order, into ``edits``."""

    def __call__(self, parser: Any, namespace: Any, values: Any, option: Any = None) -> None:
        edits = list(getattr(namespace, "edits", None) or [])
        edits.append((self.dest, list(values)))
        namespace.edits = edits


def register(sub: Any) -> None:
    """Adds the ``edit`` subcommand to the CLI's subparsers."""
    p = sub.add_parser("edit", help="set or delete attributes, text and elements by XPath",
                       description="Apply edits, in order, to the elements each XPATH "
                                   "selects; write the result to stdout, OUT or FILE.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("-n", "--namespace", action="append", default=[], metavar="PREFIX=URI",
                   help="bind a namespace prefix for the XPaths (repeatable)")
    for name, (count, metavars) in ACTIONS.items():
        p.add_argument(f"--{name}", dest=name, nargs=count, metavar=metavars,
                       action=_Ordered, help=HELP[name])
    where = p.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    where.add_argument("--inplace", action="store_true", help="write the result back to FILE")
    p.set_defaults(run=cmd_edit, edits=None)


def cmd_edit(args: argparse.Namespace) -> int:
    from .cli import UsageError, _load, _out, _parse_pairs, write_output

    if not args.edits:
        raise UsageError("no edit given (see --help)")
    if args.inplace and args.file == "-":
        raise UsageError("--inplace needs a file, not standard input")
    namespaces = _parse_pairs(args.namespace, "--namespace", "PREFIX=URI")
    doc, _ = _load(args.file)
    with doc:
        for action, values in args.edits:
            _apply(doc, action, values, namespaces)
        data = doc.tobytes(declaration=_had_declaration(args.file))
    if args.inplace:
        _replace_file(args.file, data)
    elif args.output:
        write_output(args.output, data)
    else:
        _out().write(data)
    return 0


def _had_declaration(name: str) -> bool:
    if name == "-":
        return False
    with open(name, "rb") as f:
        return f.read(5) == b"<?xml"


def _select(doc: korvith.Document, xpath: str, namespaces: dict[str, str]) -> list[Any]:
    from .cli import UsageError

    try:
        found = doc.xpath(xpath, namespaces)
    except XPathError as e:
        raise UsageError(f"{xpath}: {e}") from None
    if not isinstance(found, list):
        raise UsageError(f"{xpath}: selects a {type(found).__name__}, not elements")
    return [el for el in found if isinstance(el, korvith.Element)]


def _apply(doc: korvith.Document, action: str, values: list[str],
           namespaces: dict[str, str]) -> None:
    from .cli import Failure

    matches = _select(doc, values[0], namespaces)
    try:
        for el in matches:
            if action == "set-attr":
                el.set(values[1], values[2])
            elif action == "delete-attr":
                el.attrs.pop(values[1], None)
            elif action == "set-text":
                el.text = values[1]
            elif action == "rename":
                el.tag = values[1]
            else:
                parent = el.getparent()
                if parent is None:
                    raise Failure(f"{doc.filename}: --delete {values[0]}: "
                                  f"cannot delete the root element")
                parent.remove(el)
    except (ValueError, TypeError, KorvithError) as e:
        raise Failure(f"{doc.filename}: --{action} {values[0]}: {e}") from None


def _replace_file(path: str, data: bytes) -> None:
    # Written next to the file and renamed over it: an interrupted run
    # leaves the original in place.
    folder = os.path.dirname(os.path.abspath(path))
    mode = stat.S_IMODE(os.stat(path).st_mode)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".korvith-edit-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise

