"""Searches by tag that run in one C call each.

``find``/``findall`` paths made of child (``/``) and descendant (``//``)
steps, each a tag with at most one attribute predicate ``[@a]``,
``[@a='v']`` or ``[@a!='v']``, and ``iter()`` with wildcard or several
tags are answered by ``korvith._korvithedit``: it checks that the element
is alive, walks the tree in the engine (``korvith_walk_next``,
``korvith_child_next``, ``korvith_path_next``) and wraps only the elements
found; ``find`` stops at the first one in document order. The tests a path step or a tag list
stands for are compiled once (:func:`tag_tests`) and cached by the
callers.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from functools import lru_cache
from typing import Any

from . import _korvithedit as _native
from ._engine import CLOSED_MESSAGE, address_of, ext
from .errors import KorvithError

# Bits and codes of korvith_tag_test (libkorvith/include/korvith/find.h).
ANY_URI, ANY_LOCAL = 0x1, 0x2
ATTR_NONE, ATTR_PRESENT, ATTR_EQUAL, ATTR_UNEQUAL = 0, 1, 2, 3
# Where a search looks from the element it starts at; PATH: the elements
# the compiled steps of a path select.
CHILDREN, DESCENDANTS, SELF_AND_DESCENDANTS, PATH = 0, 1, 2, 3
# The longest path the engine walks (KORVITH_PATH_MAX_STEPS).
MAX_STEPS = 64

# One test: (flags, attr_op, uri, local, attr_uri, attr_local, attr_value).
Test = tuple[int, int, "str | None", "str | None", "str | None", "str | None", "str | None"]


_native.bind_find(address_of(ext.walk_next), address_of(ext.child_next),
                  address_of(ext.path_next), KorvithError, CLOSED_MESSAGE)

first = _native.first
find_all = _native.all
walk = _native.walk
tag_tests = _native.tag_tests
path_steps = _native.path_steps

_LOCAL = re.compile(r"[^\s{}\[\]()/@=!'\"*\0]+\Z")
# A step: a name, then at most one predicate with no brackets inside.
_STEP = re.compile(r"([^\[\]@]+)(?:\[([^\[\]]*)\])?\Z")
_ATTR_PREDICATE = re.compile(
    r"\s*@\s*((?:\{[^}]*\})?[^\s{}\[\]()/@=!:'\"*]+)\s*"
    r"(?:(!?=)\s*('[^']*'|\"[^\"]*\")\s*)?\Z")


def name_test(tag: str, prefixes: Mapping[str, str] | None = None,
              default: str | None = None) -> tuple[int, str | None, str | None] | None:
    """(flags, uri, local) of an ElementTree tag: ``*``, ``name``,
    ``{uri}name``, ``{*}name``, ``{uri}*``, ``{}name`` (no namespace),
    ``{}*`` (every element in no namespace), ``{*}*`` or ``prefix:name``
    with ``prefixes`` (without them, a colon is part of the name).
    Unprefixed names take the ``default`` namespace. None for anything
    else (the caller then takes its general route)."""
    if tag == "*":
        return ANY_URI | ANY_LOCAL, None, None
    uri: str | None
    if tag.startswith("{"):
        end = tag.find("}")
        if end < 0:
            return None
        uri, local = tag[1:end] or None, tag[end + 1:]
    elif ":" in tag and prefixes is not None:
        prefix, _, local = tag.partition(":")
        if prefix not in prefixes or ":" in local:
            return None
        uri = prefixes[prefix] or None
    else:
        uri, local = default, tag
    flags = 0
    if uri == "*":
        flags, uri = ANY_URI, None
    if local == "*":
        return flags | ANY_LOCAL, uri, None
    if not _LOCAL.match(local):
        return None
    return flags, uri, local


def attribute_condition(body: str) -> tuple[int, str | None, str, str | None] | None:
    """(op, uri, local, value) of a predicate ``@a``, ``@a='v'``,
    ``@a!='v'`` (also ``@{uri}a``); None for any other predicate."""
    m = _ATTR_PREDICATE.match(body)
    if m is None or "\0" in body:
        return None
    name, op, quoted = m.groups()
    uri: str | None = None
    if name.startswith("{"):
        end = name.index("}")
        uri, name = name[1:end] or None, name[end + 1:]
    if op is None:
        return ATTR_PRESENT, uri, name, None
    return (ATTR_EQUAL if op == "=" else ATTR_UNEQUAL), uri, name, quoted[1:-1]


@lru_cache(maxsize=256)
def tags_tests(tags: tuple[str, ...]) -> Any:
    """Compiled tests for an ``iter()`` tag list (any of them passes). The
    tags are checked by the caller (xpath.split_tag); a name that is no
    XML name simply matches nothing."""
    tests = []
    for tag in tags:
        flags, uri, local = _tag_parts(tag)
        tests.append((flags, ATTR_NONE, uri, local, None, None, None))
    return tag_tests(tests)


def _tag_parts(tag: str) -> tuple[int, str | None, str | None]:
    if tag == "*":
        return ANY_URI | ANY_LOCAL, None, None
    uri: str | None = None
    local = tag
    if tag.startswith("{"):
        end = tag.find("}")
        uri, local = tag[1:end] or None, tag[end + 1:]
    flags = 0
    if uri == "*":
        flags, uri = ANY_URI, None
    if local == "*":
        return flags | ANY_LOCAL, uri, None
    return flags, uri, local


def path_search(steps: list[str], prefixes: Mapping[str, str],
                default: str | None) -> tuple[int, Any] | None:
    """(axis, compiled tests) of a path the engine walks: steps separated
    by ``/`` or ``//`` after an optional leading ``.``, each a tag with at
    most one attribute predicate. None for every other path (``.`` or
    ``..`` further on, other predicates, unknown prefixes)."""
    parsed = _parse_steps(steps, prefixes, default)
    if parsed is None:
        return None
    if len(parsed) == 1:
        axis, test = parsed[0]
        return (DESCENDANTS if axis else CHILDREN), tag_tests([test])
    return PATH, path_steps(parsed)


def _parse_steps(steps: list[str], prefixes: Mapping[str, str],
                 default: str | None) -> list[tuple[int, Test]] | None:
    if len(steps) > 1 and steps[0] == ".":
        steps = steps[1:]
    parsed: list[tuple[int, Test]] = []
    descend = False
    for step in steps:
        if not step:
            if descend:
                return None  # "///"
            descend = True
            continue
        test = _step_test(step, prefixes, default)
        if test is None or len(parsed) == MAX_STEPS:
            return None
        parsed.append((int(descend), test))
        descend = False
    return parsed if parsed and not descend else None


def _step_test(step: str, prefixes: Mapping[str, str], default: str | None) -> Test | None:
    m = _STEP.match(step)
    if m is None or m.group(1) in (".", ".."):
        return None
    named = name_test(m.group(1), prefixes, default)
    if named is None:
        return None
    flags, uri, local = named
    if m.group(2) is None:
        return flags, ATTR_NONE, uri, local, None, None, None
    condition = attribute_condition(m.group(2))
    if condition is None:
        return None
    op, attr_uri, attr_local, value = condition
    return flags, op, uri, local, attr_uri, attr_local, value
