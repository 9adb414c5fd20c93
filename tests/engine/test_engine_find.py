"""The engine's tag walks (korvith/find.h) on real documents."""

from __future__ import annotations

import ctypes
import re
from pathlib import Path

import pytest

from conftest import lib, s
from korvith import _engine, _find

ext = _engine.ext
ANY_URI, ANY_LOCAL = 0x1, 0x2
NONE, PRESENT, EQUAL, UNEQUAL = 0, 1, 2, 3


class TagTest(ctypes.Structure):
    _fields_ = [("flags", ctypes.c_int), ("attr_op", ctypes.c_int), ("uri", ctypes.c_char_p),
                ("local", ctypes.c_char_p), ("attr_uri", ctypes.c_char_p),
                ("attr_local", ctypes.c_char_p), ("attr_value", ctypes.c_char_p)]


DOC = (b'<r xmlns:a="urn:a"><x n="1"/><!--c--><a:x a:n="2"><?p?><y/>t<x n=""/></a:x>'
       b'<y n="3"><x/></y></r>')


@pytest.mark.parametrize(("name", "value"), [
    ("KORVITH_TEST_ANY_URI", _find.ANY_URI), ("KORVITH_TEST_ANY_LOCAL", _find.ANY_LOCAL),
    ("KORVITH_ATTR_NONE", _find.ATTR_NONE), ("KORVITH_ATTR_PRESENT", _find.ATTR_PRESENT),
    ("KORVITH_ATTR_EQUAL", _find.ATTR_EQUAL), ("KORVITH_ATTR_UNEQUAL", _find.ATTR_UNEQUAL),
])
def test_package_codes_are_the_header_s(name, value):
    header = (Path(__file__).resolve().parents[2] / "libkorvith/include/korvith/find.h").read_text()
    found = re.search(rf"^#define {name} (\w+)", header, re.M)
    assert found is not None and int(found.group(1), 0) == value


def test_record_layout_is_the_header_s():
    header = (Path(__file__).resolve().parents[2] / "libkorvith/include/korvith/find.h").read_text()
    body = re.search(r"typedef struct korvith_tag_test \{(.*?)\}", header, re.S).group(1)
    assert re.findall(r"(\w+);", body) == [name for name, _ in TagTest._fields_]


def make_tests(*specs):
    array = (TagTest * max(len(specs), 1))()
    for i, spec in enumerate(specs):
        array[i] = TagTest(*spec)
    return array, len(specs)


def walk(top, tests=(), children=False):
    array, count = make_tests(*tests)
    step = ext.child_next if children else ext.walk_next
    out, node = [], step(top, None, array, count)
    while node:
        out.append(node)
        node = step(top, node, array, count)
    return out


def names(nodes):
    return [(s(lib.korvith_element_namespace(n)), s(lib.korvith_element_name(n))) for n in nodes]


@pytest.mark.parametrize(("tests", "want"), [
    ((), [None, None, "urn:a", None, None, None, None]),
    (((0, NONE, None, b"x"),), [None, None, None]),
    (((0, NONE, b"urn:a", b"x"),), ["urn:a"]),
    (((ANY_URI, NONE, None, b"x"),), [None, "urn:a", None, None]),
    (((ANY_LOCAL, NONE, b"urn:a", None),), ["urn:a"]),
    (((ANY_LOCAL, NONE, None, None),), [None, None, None, None, None, None]),
    (((ANY_URI | ANY_LOCAL, PRESENT, None, None, None, b"n"),), [None, None, None]),
    (((ANY_URI | ANY_LOCAL, PRESENT, None, None, b"urn:a", b"n"),), ["urn:a"]),
    (((ANY_URI, EQUAL, None, b"x", None, b"n", b""),), [None]),
    (((ANY_URI | ANY_LOCAL, UNEQUAL, None, None, None, b"n", b"1"),), [None, None]),
    (((0, NONE, None, b"y"), (0, EQUAL, None, b"x", None, b"n", b"1")), [None, None, None]),
])
def test_walk_visits_the_subtree_in_document_order(docs, tests, want):
    root = docs.root(DOC)
    found = walk(root, tests)
    assert [ns for ns, _ in names(found)] == want
    everything = walk(root)
    assert found == [n for n in everything if n in found]  # document order, no repeats


def test_walk_stays_inside_the_subtree_and_skips_other_nodes(docs):
    root = docs.root(DOC)
    inner = lib.korvith_element_child(root, 1)
    assert names(walk(inner)) == [("urn:a", "x"), (None, "y"), (None, "x")]
    assert names([ext.walk_next(inner, inner, None, 0)]) == [(None, "y")]
    last = lib.korvith_element_child(inner, 1)
    assert ext.walk_next(inner, last, None, 0) is None
    assert names(walk(root, children=True)) == [(None, "x"), ("urn:a", "x"), (None, "y")]
    assert names(walk(root, ((0, NONE, None, b"y"),), children=True)) == [(None, "y")]


def test_null_and_non_element_handles_give_null(docs):
    doc, _ = docs.parse(DOC)
    assert ext.walk_next(None, None, None, 0) is None
    assert ext.child_next(None, None, None, 0) is None
    assert ext.walk_next(doc, None, None, 0) is None  # the document node is not an element


class PathStep(ctypes.Structure):
    _fields_ = [("axis", ctypes.c_int), ("test", TagTest)]


CHILD, DESCENDANT = 0, 1
NESTED = b'<r><x id="1"><x id="2"><y id="3"><x id="4"/></y></x></x><y id="5"><z id="6"/></y></r>'


def path(top, *steps):
    array = (PathStep * max(len(steps), 1))()
    for i, (axis, local) in enumerate(steps):
        flags = ANY_LOCAL if local is None else 0
        array[i] = PathStep(axis, TagTest(flags | ANY_URI, NONE, None, local))
    out, node = [], ext.path_next(top, None, array, len(steps))
    while node:
        out.append(s(lib.korvith_element_attribute(node, b"id")))
        node = ext.path_next(top, node, array, len(steps))
    return out


@pytest.mark.parametrize(("steps", "want"), [
    (((CHILD, b"x"),), ["1"]),
    (((DESCENDANT, b"x"),), ["1", "2", "4"]),
    (((DESCENDANT, b"x"), (DESCENDANT, b"x")), ["2", "4"]),     # 4 is reached twice, given once
    (((DESCENDANT, b"x"), (CHILD, b"x")), ["2"]),
    (((CHILD, b"x"), (CHILD, b"x"), (CHILD, b"y"), (CHILD, b"x")), ["4"]),
    (((CHILD, b"y"), (DESCENDANT, None)), ["6"]),
    (((CHILD, None), (CHILD, None)), ["2", "6"]),
    (((DESCENDANT, None), (CHILD, b"y")), ["3"]),          # y 5 is a child of top itself
    (((CHILD, b"x"), (CHILD, b"z")), []),
])
def test_path_walk_selects_each_element_once_in_document_order(docs, steps, want):
    root = docs.root(NESTED)
    assert path(root, *steps) == want


def test_path_walk_starts_below_its_top_and_refuses_bad_input(docs):
    root = docs.root(NESTED)
    inner = lib.korvith_element_child(root, 0)
    assert path(inner, (DESCENDANT, b"x")) == ["2", "4"]
    assert path(inner, (CHILD, b"x"), (DESCENDANT, b"x")) == ["4"]
    one = (PathStep * 1)(PathStep(DESCENDANT, TagTest(ANY_URI | ANY_LOCAL, NONE)))
    assert ext.path_next(root, None, one, 0) is None
    assert ext.path_next(root, root, one, 1) is None  # `after` must be below top
    outside = lib.korvith_element_child(root, 1)
    assert ext.path_next(inner, outside, one, 1) is None
    many = (PathStep * 65)(*[PathStep(DESCENDANT, TagTest(ANY_URI | ANY_LOCAL, NONE))] * 65)
    assert ext.path_next(root, None, many, 65) is None
    assert ext.path_next(root, None, many, 64) is None  # deeper than the tree
    assert ext.path_next(root, None, many, 3) is not None
