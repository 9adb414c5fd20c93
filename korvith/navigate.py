"""Navigation and typed attribute reads as lxml users reach for them.

Installed on :class:`korvith.Element`: ``iterchildren(tag=None, *tags,
reversed=False)``, ``itersiblings(tag=None, *tags, preceding=False)``,
``iterancestors(tag=None, *tags)``, ``getroottree()``, ``nsmap`` and the
strict typed getters ``get_int_strict``, ``get_float_strict`` and
``get_bool_strict``. On :class:`korvith.Document`: ``getpath(element)`` and
``getelementpath(element)`` with lxml's results.

The strict getters answer ``default`` (None unless given) for a missing
attribute and raise :class:`ValueError` naming the attribute and its value
when it is present but malformed; ``get_int``/``get_float``/``get_bool``
keep answering the default in both cases. They read what those accept:
surrounding XML whitespace is ignored; ints are optional sign and decimal
digits (any size); floats decimal with optional exponent, or ``INF``,
``+INF``, ``-INF``, ``NaN``; booleans ``true``/``1``/``yes`` and
``false``/``0``/``no`` in any case.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

from . import _korvithaccel as _accel
from .document import Document
from .element import _address, _matcher

Element = _accel.Element

_XML_SPACE = " \t\r\n"
_INT = re.compile(r"[+-]?[0-9]+\Z")
_FLOAT = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
_FLOAT_WORDS = {"INF": float("inf"), "+INF": float("inf"), "-INF": float("-inf"),
                "NaN": float("nan")}
_TRUE = frozenset({"true", "1", "yes"})
_FALSE = frozenset({"false", "0", "no"})


# --------------------------------------------------------------- tag filters

def _tag_test(method: str, tag: Any, tags: tuple[Any, ...]) -> Any:
    wanted = [t for t in (tag, *tags) if t is not None]
    for t in wanted:
        if not isinstance(t, str):
            raise TypeError(f"{method}() tag must be str, not {type(t).__name__}")
    if not wanted or "*" in wanted:
        return None
    tests = [_matcher(t) for t in wanted]
    return lambda el: any(test(el) for test in tests)


def _filtered(items: Iterator[Any], test: Any) -> Iterator[Any]:
    return items if test is None else (el for el in items if test(el))


# --------------------------------------------------------------- navigation

def iterchildren(self: Element, tag: str | None = None, *tags: str,
                 reversed: bool = False) -> Iterator[Element]:
    """The element children, optionally only those with one of the tags,
    last first with ``reversed=True``."""
    test = _tag_test("iterchildren", tag, tags)
    children = _accel.children(self)
    if reversed:
        children.reverse()
    return _filtered(iter(children), test)


def _siblings(el: Element, preceding: bool) -> Iterator[Element]:
    step = Element.getprevious if preceding else Element.getnext
    cur = step(el)
    while cur is not None:
        yield cur
        cur = step(cur)


def itersiblings(self: Element, tag: str | None = None, *tags: str,
                 preceding: bool = False) -> Iterator[Element]:
    """The following element siblings (preceding ones, nearest first, with
    ``preceding=True``)."""
    test = _tag_test("itersiblings", tag, tags)
    _address(self)
    return _filtered(_siblings(self, bool(preceding)), test)


def _ancestors(el: Element) -> Iterator[Element]:
    cur = el.getparent()
    while cur is not None:
        yield cur
        cur = cur.getparent()


def iterancestors(self: Element, tag: str | None = None, *tags: str) -> Iterator[Element]:
    """The parent, its parent and so on up to the root."""
    test = _tag_test("iterancestors", tag, tags)
    _address(self)
    return _filtered(_ancestors(self), test)


def getroottree(self: Element) -> Any:
    """The document the element belongs to."""
    _address(self)
    return self._document


def _nsmap(self: Element) -> dict[str | None, str]:
    """The namespaces in scope, prefix to URI (None for the default
    namespace), as lxml gives them (without the implicit ``xml`` prefix)."""
    out: dict[str | None, str] = {}
    for prefix, uri in self.xpath("namespace::*"):
        if prefix != "xml":
            out[prefix] = uri
    return dict(sorted(out.items(), key=lambda kv: (kv[0] is not None, kv[0] or "")))


# --------------------------------------------------------------- paths

def _same_tag_position(el: Element) -> int | None:
    """1-based place among the siblings with the same tag, or None when
    the element is the only one."""
    parent = el.getparent()
    if parent is None:
        return None
    same = [c for c in _accel.children(parent) if c.tag == el.tag]
    if len(same) < 2:
        return None
    return next(i for i, c in enumerate(same, 1) if c == el)


def _xpath_step(el: Element) -> str:
    if el.namespace:
        name = f"{el.prefix}:{el.tag.split('}', 1)[1]}" if el.prefix else "*"
    else:
        name = el.tag
    place = _same_tag_position(el)
    return name if place is None else f"{name}[{place}]"


def _chain(el: Element) -> list[Element]:
    chain = [el, *_ancestors(el)]
    chain.reverse()
    return chain


def _check_owner(doc: Any, el: Any) -> None:
    if not isinstance(el, Element):
        raise TypeError(f"expected an Element, not {type(el).__name__}")
    _address(el)
    if el._document is not doc:
        raise ValueError("element is not in this document")


def getpath(self: Document, element: Element) -> str:
    """An XPath that selects ``element`` (lxml's ``getpath``)."""
    _check_owner(self, element)
    return "/" + "/".join(_xpath_step(e) for e in _chain(element))


def getelementpath(self: Document, element: Element) -> str:
    """An ElementTree path from the root to ``element`` (lxml's
    ``getelementpath``): ``"."`` for the root."""
    _check_owner(self, element)
    steps = []
    for e in _chain(element)[1:]:
        place = _same_tag_position(e)
        steps.append(e.tag if place is None else f"{e.tag}[{place}]")
    return "/".join(steps) or "."


# --------------------------------------------------------------- strict getters

def _present(el: Element, name: str) -> str | None:
    if not isinstance(name, str):
        raise TypeError(f"attribute name must be str, not {type(name).__name__}")
    value = el.get(name)
    return None if value is None else value.strip(_XML_SPACE)


def _malformed(name: str, value: str, what: str) -> ValueError:
    return ValueError(f"attribute {name!r} is not {what}: {value!r}")


def get_int_strict(self: Element, name: str, default: Any = None) -> Any:
    """The attribute as an int; ``default`` when missing; ValueError
    naming the attribute and value when it is not an integer."""
    value = _present(self, name)
    if value is None:
        return default
    if not _INT.match(value):
        raise _malformed(name, self.get(name) or "", "an integer")
    return int(value)


def get_float_strict(self: Element, name: str, default: Any = None) -> Any:
    """The attribute as a float; ``default`` when missing; ValueError
    naming the attribute and value when it is not a number."""
    value = _present(self, name)
    if value is None:
        return default
    if value in _FLOAT_WORDS:
        return _FLOAT_WORDS[value]
    if not _FLOAT.match(value):
        raise _malformed(name, self.get(name) or "", "a number")
    return float(value)


def get_bool_strict(self: Element, name: str, default: Any = None) -> Any:
    """The attribute as a bool; ``default`` when missing; ValueError
    naming the attribute and value when it is not true/1/yes/false/0/no."""
    value = _present(self, name)
    if value is None:
        return default
    word = value.lower()
    if word in _TRUE:
        return True
    if word in _FALSE:
        return False
    raise _malformed(name, self.get(name) or "", "a boolean (true/1/yes, false/0/no)")


_ELEMENT_METHODS: dict[str, Any] = {
    "iterchildren": iterchildren,
    "itersiblings": itersiblings,
    "iterancestors": iterancestors,
    "getroottree": getroottree,
    "get_int_strict": get_int_strict,
    "get_float_strict": get_float_strict,
    "get_bool_strict": get_bool_strict,
}

_DOCUMENT_METHODS: dict[str, Any] = {
    "getpath": getpath,
    "getelementpath": getelementpath,
}


def install() -> None:
    """Attach the methods above to Element and Document."""
    for name, fn in _ELEMENT_METHODS.items():
        fn.__qualname__ = f"Element.{name}"
        setattr(Element, name, fn)
    Element.nsmap = property(_nsmap, doc=_nsmap.__doc__)
    for name, fn in _DOCUMENT_METHODS.items():
        fn.__qualname__ = f"Document.{name}"
        setattr(Document, name, fn)
