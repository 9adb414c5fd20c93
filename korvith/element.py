"""Python-level methods of :class:`korvith.Element`.

The module's ``Element`` type does the per-element work in C++ (tag, text,
attributes, navigation); this file adds what users of ElementTree and lxml
expect on top: ``iter``, ``find``/``findall``/``findtext`` with
ElementTree paths, ``xpath``, ``tobytes``, iteration over children, a
readable ``repr`` and indexing by tag name or ``"@attribute"``.

Indexing (``element[key]``):

* ``element[i]`` / ``element[i:j]``: children by position (in C++);
* ``element["name"]`` or ``element["{uri}name"]``: the first child with that
  tag; KeyError when there is none;
* ``element["@name"]`` (also ``"@{uri}name"``): that attribute's value;
  KeyError when the attribute is missing.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

from . import _korvithaccel as _accel
from ._engine import CLOSED_MESSAGE, POISON
from .document import _indent
from .editing import cursor_matcher, edit_count, guarded_iter
from ._liveness import ELEMENT, NODE, OWNER, run
from . import _find as _search
from .errors import KorvithError
from .output import check_output_encoding, element_bytes
from .xpath import compile_path, evaluate, split_tag

Element = _accel.Element


def _address(el: Element) -> int:
    """The element's engine handle; raises for a closed or empty wrapper."""
    raw = el._raw
    if raw == POISON:
        raise KorvithError(CLOSED_MESSAGE)
    if raw is None:
        raise KorvithError("element has no engine node")
    return raw


# --------------------------------------------------------------- iteration

def _iter(self: Element, tag: str | None = None, *tags: str) -> Iterator[Element]:
    """Document-order iterator over this element and its descendants.

    ``tag`` filters by tag: ``"name"`` (no namespace), ``"{uri}name"``,
    ``"{*}name"`` (any namespace), ``"{uri}*"``, ``"{}*"`` (no namespace)
    or ``"*"``/None (all). Several tags may be given; an element matching
    any of them is yielded.
    """
    return _search_iter(self, (tag, *tags), _search.SELF_AND_DESCENDANTS)


def _search_iter(self: Element, tags: tuple[Any, ...], axis: int) -> Iterator[Element]:
    # Without a filter the module's cursor walks; with tags, the engine's
    # tag walk (it wraps only the matches). Both stop at the first edit of
    # any tree and go on in Python (see guarded_iter).
    wanted = tuple(t for t in tags if t is not None)
    for t in wanted:
        if not isinstance(t, str):
            raise TypeError(f"tag must be str, not {type(t).__name__}")
    if not wanted or "*" in wanted:
        return _walk(self, axis)
    for t in wanted:
        split_tag(t)  # the errors of a malformed tag
    tests = _search.tags_tests(wanted)
    matchers = [_matcher(t) for t in wanted]
    seen = edit_count()
    cursor = _search.walk(self, tests, axis)
    return guarded_iter(cursor, self, lambda el: any(m(el) for m in matchers), seen)


def _walk(self: Element, axis: int) -> Iterator[Element]:
    # The module cursor, until the first edit of any tree (see guarded_iter).
    _address(self)
    seen = edit_count()
    cursor = _accel.subtree_iter(self, axis == _search.SELF_AND_DESCENDANTS, None, None)
    return guarded_iter(cursor, self, cursor_matcher(None, None), seen)


def _matcher(tag: str) -> Any:
    if tag == "*":
        return lambda el: True
    ns, local = split_tag(tag)
    if ns == "*":
        if local == "*":
            return lambda el: True
        return lambda el: el.tag == local or el.tag.endswith("}" + local)
    if local == "*":
        return lambda el: el.namespace == ns
    full = tag if ns is None else f"{{{ns}}}{local}"
    return lambda el: el.tag == full


def _iter_children(self: Element) -> Iterator[Element]:
    return iter(_accel.children(self))


def _children(self: Element) -> list[Element]:
    """The element children, in document order."""
    return _accel.children(self)


def _iterdescendants(self: Element, tag: str | None = None, *tags: str) -> Iterator[Element]:
    """Like :meth:`iter`, without the element itself."""
    return _search_iter(self, (tag, *tags), _search.DESCENDANTS)


def _attribute_pairs(self: Element, ns: bool = False) -> list[tuple[Any, ...]]:
    """Attributes in document order: (name, value), or with ``ns=True``
    (name, value, prefix, uri)."""
    return _accel.attribute_pairs(self, ns)


# --------------------------------------------------------------- lookups

def _find(self: Element, path: str, namespaces: Mapping[str, str] | None = None) -> Element | None:
    """First element matching an ElementTree path, or None."""
    compiled = compile_path(path, namespaces)
    if compiled.search is not None:
        axis, tests = compiled.search
        return _search.first(self, tests, axis)
    found = _run_path(self, compiled)
    return found[0] if found else None


def _findall(self: Element, path: str,
             namespaces: Mapping[str, str] | None = None) -> list[Element]:
    """Every element matching an ElementTree path, in document order."""
    compiled = compile_path(path, namespaces)
    if compiled.search is not None:
        axis, tests = compiled.search
        return _search.find_all(self, tests, axis)
    return _run_path(self, compiled)


def _iterfind(self: Element, path: str,
              namespaces: Mapping[str, str] | None = None) -> Iterator[Element]:
    return iter(_findall(self, path, namespaces))


def _findtext(self: Element, path: str, default: str | None = None,
              namespaces: Mapping[str, str] | None = None) -> str | None:
    """Text of the first match ("" when it has none), or ``default``."""
    el = _find(self, path, namespaces)
    if el is None:
        return default
    return el.text or ""


def _find_path(self: Element, *steps: str) -> Element | None:
    """First element reached by a chain of child names (no namespace).

    ``el.find_path("a", "b")`` is ``el.find("a/b")`` without parsing a path.
    """
    if len(steps) == 1 and isinstance(steps[0], (list, tuple)):
        steps = tuple(steps[0])
    names = list(steps)
    for step in names:
        if not isinstance(step, str):
            raise TypeError(f"find_path steps must be str, not {type(step).__name__}")
        if "\0" in step:
            # names reach the engine as C strings: "b\0x" would match <b>
            raise ValueError(f"invalid name {step!r}")
    return run("element", self, ELEMENT, _accel.find_path, NODE, names, OWNER)


def _run_path(self: Element, compiled: Any) -> list[Element]:
    result = evaluate(compiled.xpath, self, compiled.namespaces, {})
    return result if isinstance(result, list) else []


def _xpath(self: Element, expr: str, namespaces: Mapping[str, str] | None = None,
           **variables: Any) -> Any:
    """Evaluate an XPath 1.0 expression with this element as context node."""
    return evaluate(expr, self, namespaces, variables)


# --------------------------------------------------------------- output

def _tobytes(self: Element, indent: int = 0, declaration: bool = False,
             encoding: str | None = None, with_tail: bool = True) -> bytes:
    """Serialize this element and its subtree, followed by its tail text
    unless ``with_tail=False`` (as ElementTree and lxml do)."""
    indent = _indent(indent)
    encoding = check_output_encoding(encoding)
    declaration = bool(declaration)
    with_tail = bool(with_tail)
    return element_bytes(self, indent, declaration, encoding, with_tail)


def _repr(self: Element) -> str:
    raw = self._raw
    if raw == POISON:
        return f"<Element (closed document) at 0x{id(self):x}>"
    if raw is None:
        return f"<Element (empty) at 0x{id(self):x}>"
    return f"<Element {self.tag} at 0x{id(self):x}>"


# --------------------------------------------------------------- protocol

def _py_getitem(self: Element, key: Any) -> Any:
    """Keys other than positions: tag names and "@attribute" strings."""
    if isinstance(key, str):
        if key.startswith("@"):
            name = key[1:]
            if "\0" in name:
                raise KeyError(key)  # no attribute name holds a NUL
            value = self.get(name)
            if value is None:
                raise KeyError(key)
            return value
        found = _find_child(self, key)
        if found is None:
            raise KeyError(key)
        return found
    if isinstance(key, (int, slice)):
        _address(self)
        raise TypeError("indexing unavailable")
    raise TypeError(f"element keys are positions, slices, tag names or '@attribute' strings, "
                    f"not {type(key).__name__}")


def _find_child(self: Element, tag: str) -> Element | None:
    ns, local = split_tag(tag)
    if ns is None and "*" not in local:
        return run("element", self, ELEMENT, _accel.find_first, NODE, local, OWNER)
    return _search.first(self, _search.tags_tests((tag,)), _search.CHILDREN)


def _eq(self: Element, other: object) -> Any:
    if not isinstance(other, Element):
        return NotImplemented
    if self is other:
        return True
    raw = self._raw
    return raw is not None and raw != POISON and raw == other._raw


def _ne(self: Element, other: object) -> Any:
    result = _eq(self, other)
    return result if result is NotImplemented else not result


def _hash(self: Element) -> int:
    raw = self._raw
    if raw is None or raw == POISON:
        return object.__hash__(self)
    return hash(raw)


def _bool(self: Element) -> bool:
    # An element is always true, with or without children: "if el.find(...)"
    # must not depend on whether the match has children.
    return True


def _contains(self: Element, item: object) -> bool:
    if isinstance(item, str):
        return _find_child(self, item) is not None
    return any(item == child for child in _accel.children(self))


_METHODS: dict[str, Any] = {
    "iter": _iter,
    "iterdescendants": _iterdescendants,
    "iterchildren": _iter_children,
    "children": _children,
    "attribute_pairs": _attribute_pairs,
    "find": _find,
    "findall": _findall,
    "iterfind": _iterfind,
    "findtext": _findtext,
    "find_path": _find_path,
    "xpath": _xpath,
    "tobytes": _tobytes,
    "_py_getitem": _py_getitem,
    "__iter__": _iter_children,
    "__repr__": _repr,
    "__eq__": _eq,
    "__ne__": _ne,
    "__hash__": _hash,
    "__bool__": _bool,
    "__contains__": _contains,
}


def install() -> None:
    """Attach the package's methods to the module's Element type."""
    for name, fn in _METHODS.items():
        fn.__name__ = name
        fn.__qualname__ = f"Element.{name}"
        setattr(Element, name, fn)
