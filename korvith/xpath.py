"""Compiled XPath expressions and ElementTree path translation.

Every XPath evaluation goes through an expression compiled once by the
engine (``korvith_xpath_compile``); :func:`evaluate` keeps the most recently
used ones, so ``doc.xpath("//item")`` in a loop compiles once. Namespace
prefixes and ``$variables`` are bound per call, not per compilation.

ElementTree paths (``find``, ``findall``, ``findtext``) are translated into
XPath here, except the plain chains of child names (``"a/b/c"``), which the
element methods answer with the engine's direct child lookups.
"""

from __future__ import annotations

import re
import threading
import weakref
from collections import OrderedDict
from collections.abc import Mapping
from dataclasses import dataclass
from functools import lru_cache
from typing import Any

from . import _korvithaccel as _accel
from ._engine import ext, last_failure
from ._engine import VARIABLE_BOOLEAN, VARIABLE_NUMBER, VARIABLE_STRING
from ._liveness import DOC, NODE, NODE_OR_DOCUMENT, OWNER, check_node, run
from ._find import path_search
from .errors import KorvithError, XPathError
from .xpath_nodes import dropped_nodes, evaluate_snapshot

_STRING = re.compile(r"'[^']*'|\"[^\"]*\"")
_PREFIX = re.compile(r"(?<![\w.$-])([A-Za-z_][\w.-]*):(?!:)(?=[A-Za-z_*])")
_VARIABLE = re.compile(r"\$([A-Za-z_][\w.-]*(?::[A-Za-z_][\w.-]*)?)")
_ALWAYS_BOUND = frozenset({"xml"})


def check_namespaces(namespaces: Any) -> None:
    """TypeError unless ``namespaces`` is None or a mapping of prefixes to URIs."""
    if namespaces is not None and not isinstance(namespaces, Mapping):
        raise TypeError("namespaces must be a mapping of prefix to URI (a dict), "
                        f"not {type(namespaces).__name__}")


def _flat_bindings(namespaces: Mapping[str, str] | None) -> list[str] | None:
    check_namespaces(namespaces)
    if not namespaces:
        return None
    flat: list[str] = []
    for prefix, uri in namespaces.items():
        if not prefix:
            raise ValueError("XPath has no default namespace: bind the URI to a prefix "
                             "and use prefix:name in the expression")
        if not isinstance(prefix, str) or not isinstance(uri, str):
            raise TypeError("namespace prefixes and URIs must be str")
        if "\0" in prefix or "\0" in uri:
            # the engine takes C strings: a NUL would cut the text short
            raise ValueError(f"NUL character in namespace binding {prefix!r}: {uri!r}")
        flat += (prefix, uri)
    return flat


def _flat_variables(variables: Mapping[str, Any]) -> list[Any] | None:
    if not variables:
        return None
    flat: list[Any] = []
    for name, value in variables.items():
        if "\0" in name:
            raise ValueError(f"XPath variable name {name!r} contains a NUL character")
        if isinstance(value, bool):
            flat += (name, VARIABLE_BOOLEAN, value)
        elif isinstance(value, (int, float)):
            flat += (name, VARIABLE_NUMBER, float(value))
        elif isinstance(value, str):
            if "\0" in value:
                # the engine takes C strings: a NUL would cut the value short
                raise ValueError(f"XPath variable {name!r} contains a NUL character")
            flat += (name, VARIABLE_STRING, value)
        else:
            raise TypeError(f"XPath variable {name!r} must be bool, int, float or str, "
                            f"not {type(value).__name__}")
    return flat


def _names(expr: str) -> tuple[frozenset[str], frozenset[str]]:
    """The namespace prefixes and the variable names an expression uses."""
    bare = _STRING.sub("''", expr)
    return frozenset(_PREFIX.findall(bare)) - _ALWAYS_BOUND, frozenset(_VARIABLE.findall(bare))


def _check_names(expr: str, names: tuple[frozenset[str], frozenset[str]],
                 namespaces: Mapping[str, str] | None, variables: Mapping[str, Any]) -> None:
    """Report unbound prefixes and variables by name, before evaluating."""
    prefixes, wanted = names
    bound = namespaces or {}
    for prefix in sorted(prefixes):
        if prefix not in bound:
            raise XPathError(f"undefined namespace prefix {prefix!r}", expr)
    for name in sorted(wanted):
        if name not in variables:
            raise XPathError(f"undefined variable ${name}", expr)


class XPath:
    """An XPath 1.0 expression compiled once, evaluated many times.

    >>> find_items = XPath("//item[@price > $min]")
    >>> find_items(doc, min=10)      # doctest: +SKIP

    Call it with a :class:`Document` (context: the document) or an
    :class:`Element` (context: that element) and keyword variables.
    """

    __slots__ = ("path", "namespaces", "_handle", "_bindings", "_names", "_finalizer",
                 "_other_nodes", "__weakref__")

    def __init__(self, path: str, namespaces: Mapping[str, str] | None = None) -> None:
        if not isinstance(path, str):
            raise TypeError(f"XPath expression must be str, not {type(path).__name__}")
        check_namespaces(namespaces)
        self.path = path
        self.namespaces = dict(namespaces) if namespaces else None
        self._bindings = _flat_bindings(self.namespaces)
        self._names = _names(path)
        if "\0" in path:
            raise XPathError("NUL character in expression", path)
        handle = ext.xpath_compile(path.encode("utf-8")) if path.strip() else None
        if not handle:
            err = last_failure()
            raise XPathError(err[0] if err else "invalid expression", path)
        self._handle: int = handle
        # Set once a node-set held nodes other than elements: from then on
        # one evaluation that keeps every node answers.
        self._other_nodes = False
        self._finalizer = weakref.finalize(self, ext.xpath_compiled_free, handle)
        self._finalizer.atexit = False

    def __call__(self, node: Any, **variables: Any) -> Any:
        return self.evaluate(node, None, variables)

    def evaluate(self, node: Any, namespaces: Mapping[str, str] | None,
                 variables: Mapping[str, Any]) -> Any:
        """Evaluates with ``node`` (a Document or an Element) as context;
        ``namespaces`` replaces the compiled bindings when not None."""
        check_node("node", node)
        bindings = self._bindings if namespaces is None else _flat_bindings(namespaces)
        bound_ns = self.namespaces if namespaces is None else namespaces
        _check_names(self.path, self._names, bound_ns, variables)
        flat = _flat_variables(variables)
        if self._other_nodes:
            return evaluate_snapshot(self._handle, self.path, node, bindings, flat)
        # Every argument is converted: the liveness check and the call follow
        # in one step.
        result = run("node", node, NODE_OR_DOCUMENT, _accel.compiled_eval, self._handle, DOC,
                     NODE, OWNER, bindings, flat)
        if result is None:
            err = last_failure()
            raise XPathError(err[0] if err else "evaluation failed", self.path)
        if isinstance(result, list) and dropped_nodes():
            # The module keeps elements only: evaluate again for every node.
            self._other_nodes = True
            return evaluate_snapshot(self._handle, self.path, node, bindings, flat)
        return result

    def __repr__(self) -> str:
        return f"XPath({self.path!r})"


_CACHE_SIZE = 256
_cache: OrderedDict[str, XPath] = OrderedDict()
_cache_lock = threading.Lock()


def compiled(expr: str) -> XPath:
    """The compiled form of ``expr``, from a small most-recently-used cache."""
    if not isinstance(expr, str):
        raise TypeError(f"XPath expression must be str, not {type(expr).__name__}")
    with _cache_lock:
        found = _cache.get(expr)
        if found is not None:
            _cache.move_to_end(expr)
            return found
    made = XPath(expr)
    with _cache_lock:
        _cache[expr] = made
        if len(_cache) > _CACHE_SIZE:
            _cache.popitem(last=False)
    return made


def evaluate(expr: str, node: Any, namespaces: Mapping[str, str] | None,
             variables: Mapping[str, Any]) -> Any:
    """Evaluates ``expr`` with a Document or an Element as context."""
    return compiled(expr).evaluate(node, namespaces or {}, variables)


# --------------------------------------------------------------- ElementTree paths

def split_tag(tag: str) -> tuple[str | None, str]:
    """``"{uri}local"`` -> (uri, local); ``"local"`` and ``"{}local"`` ->
    (None, local); ``"{*}local"`` -> ("*", local)."""
    if not isinstance(tag, str):
        raise TypeError(f"tag must be str, not {type(tag).__name__}")
    if "\0" in tag:
        # names reach the engine as C strings: "b\0x" would match <b>
        raise ValueError(f"invalid tag {tag!r}")
    if tag.startswith("{"):
        end = tag.find("}")
        if end < 0 or end == len(tag) - 1:
            raise ValueError(f"invalid tag {tag!r}")
        return (tag[1:end] or None), tag[end + 1:]
    if not tag:
        raise ValueError("empty tag")
    return None, tag


@dataclass(frozen=True)
class CompiledPath:
    """An ElementTree path: plain child-name ``steps`` when it is a simple
    chain (else None), and its XPath form with the bindings it needs.
    ``search`` is (axis, compiled tests) when the engine's tag walk answers
    the path (see korvith._find), else None."""
    steps: list[str] | None
    xpath: str
    namespaces: dict[str, str] | None
    search: tuple[int, Any] | None = None


_PLAIN = re.compile(r"[A-Za-z_][\w.-]*\Z")
_CLARK = re.compile(r"\{([^}]*)\}([\w.*-]+)")
_PRED_TAG = re.compile(r"\s*([A-Za-z_][\w.-]*)\s*(!?=.*)?\Z", re.S)


def compile_path(path: str, namespaces: Mapping[str, str] | None = None) -> CompiledPath:
    if not isinstance(path, str):
        raise TypeError(f"path must be str, not {type(path).__name__}")
    check_namespaces(namespaces)
    items = tuple(sorted(namespaces.items())) if namespaces else ()
    return _compile_path(path, items)


@lru_cache(maxsize=512)
def _compile_path(path: str, ns_items: tuple[tuple[str, str], ...]) -> CompiledPath:
    if not isinstance(path, str):
        raise TypeError(f"path must be str, not {type(path).__name__}")
    if not path:
        raise SyntaxError("empty path")
    if path.startswith("/"):
        raise SyntaxError(f"cannot use absolute path on element: {path!r}")
    if path.endswith("/"):
        raise SyntaxError(f"path ends with '/': {path!r}")
    namespaces = dict(ns_items)
    default = namespaces.pop("", None)
    steps = _split_steps(path)
    search = path_search(steps, namespaces, default)
    if default is None and all(_PLAIN.match(s) for s in steps):
        return CompiledPath(list(steps), "/".join(steps), None, search)
    prefixes: dict[str, str] = {}
    bound = dict(namespaces)

    def prefix_for(uri: str) -> str:
        if uri not in prefixes:
            name = f"_k{len(prefixes)}"
            prefixes[uri] = name
            bound[name] = uri
        return prefixes[uri]

    def name(tag: str) -> str:
        if tag in (".", "..", "*") or tag.startswith("@"):
            return tag
        if tag.startswith("{"):
            uri, local = split_tag(tag)
            if uri == "*":
                return "*" if local == "*" else f"*[local-name()='{local}']"
            if uri is None:
                return "*[namespace-uri()='']" if local == "*" else local
            return f"{prefix_for(uri)}:{local}"
        if default is not None and ":" not in tag:
            return f"{prefix_for(default)}:{tag}"
        return tag

    def predicate(body: str) -> str:
        body = _CLARK.sub(lambda m: name("{%s}%s" % (m.group(1), m.group(2))), body)
        m = _PRED_TAG.match(body)
        if m and default is not None:
            return name(m.group(1)) + (m.group(2) or "")
        return body

    out: list[str] = []
    for step in steps:
        if not step:
            out.append("")
            continue
        head, preds = _split_predicates(step, path)
        text = name(head) + "".join(f"[{predicate(p)}]" for p in preds)
        if _descends(out) and head not in (".", "..") and not head.startswith("@") \
                and not any(_positional(p) for p in preds):
            # "a//b[...]" as "a/descendant::b[...]": the same nodes (no
            # predicate counts positions), without first building the node
            # set of every descendant that "//" stands for
            out[-1] = "descendant::" + text
        else:
            out.append(text)
    return CompiledPath(None, "/".join(out), bound or None, search)


def _descends(out: list[str]) -> bool:
    """Whether the next step follows a single "//" after a step."""
    return len(out) >= 2 and out[-1] == "" and out[-2] != ""


_NOT_POSITIONAL = re.compile(r"\s*[@.{A-Za-z_]")


def _positional(body: str) -> bool:
    """Whether an ElementTree predicate may depend on positions: numbers,
    last() and position(). Attribute, tag and text tests do not."""
    return not _NOT_POSITIONAL.match(body) or "last()" in body or "position()" in body


def _split_steps(path: str) -> list[str]:
    """Split on '/' outside brackets, braces and quotes; '//' gives ''."""
    steps, depth, quote, start = [], 0, "", 0
    in_brace = False
    for i, ch in enumerate(path):
        if quote:
            if ch == quote:
                quote = ""
        elif ch in "'\"" and depth:
            quote = ch
        elif ch == "{":
            in_brace = True
        elif ch == "}":
            in_brace = False
        elif ch == "[":
            depth += 1
        elif ch == "]":
            depth -= 1
        elif ch == "/" and not depth and not in_brace:
            steps.append(path[start:i])
            start = i + 1
    if quote or depth or in_brace:
        raise SyntaxError(f"unbalanced path: {path!r}")
    steps.append(path[start:])
    return steps


def _split_predicates(step: str, path: str) -> tuple[str, list[str]]:
    cut = _first_bracket(step)
    head = step[:cut]
    if not head:
        raise SyntaxError(f"predicate without a step in {path!r}")
    preds: list[str] = []
    rest = step[cut:]
    while rest:
        if not rest.startswith("["):
            raise SyntaxError(f"invalid step {step!r} in {path!r}")
        end = _closing(rest)
        preds.append(rest[1:end])
        rest = rest[end + 1:]
    return head, preds


def _first_bracket(step: str) -> int:
    in_brace = False
    for i, ch in enumerate(step):
        if ch == "{":
            in_brace = True
        elif ch == "}":
            in_brace = False
        elif ch == "[" and not in_brace:
            return i
    return len(step)


def _closing(text: str) -> int:
    depth, quote = 0, ""
    for i, ch in enumerate(text):
        if quote:
            if ch == quote:
                quote = ""
        elif ch in "'\"":
            quote = ch
        elif ch == "[":
            depth += 1
        elif ch == "]":
            depth -= 1
            if depth == 0:
                return i
    raise SyntaxError(f"unbalanced predicate: {text!r}")
