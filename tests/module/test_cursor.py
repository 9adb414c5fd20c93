"""SubtreeIterator: order, bounds, filters, poisoning, against the fake engine."""

from __future__ import annotations

import pytest

from conftest import Doc
from fake_engine import FakeError
from walk_tree import WalkTree

A, B = "urn:a", "urn:b"

# <r><x><y/><x/></x><{A}x><{B}y/></{A}x><z><x/></z></r><after/>  (under a top)
SPEC = ("top",
        ("r",
         ("x", "y", "x"),
         ("{urn:a}x", "{urn:b}y"),
         ("z", "x")),
        "after")


@pytest.fixture
def tree(engine):
    return WalkTree(engine, SPEC)


def walk(accel_module, tree, path, include_self=True, ns=None, local=None, document=None):
    start = accel_module.create(tree[path], None, document)
    return [tree.label(e._raw) for e in accel_module.subtree_iter(start, include_self, ns, local)]


@pytest.mark.parametrize(
    "include_self, ns, local, expected",
    [
        (True, None, None, ["r", "x", "y", "x", "{urn:a}x", "{urn:b}y", "z", "x"]),
        (False, None, None, ["x", "y", "x", "{urn:a}x", "{urn:b}y", "z", "x"]),
        (True, None, "x", ["x", "x", "x"]),  # local alone: elements in no namespace
        (True, A, "x", ["{urn:a}x"]),
        (True, B, "x", []),
        (True, B, "y", ["{urn:b}y"]),
        # A namespace alone restricts the walk to the elements in it.
        (True, A, None, ["{urn:a}x"]),
        (True, B, None, ["{urn:b}y"]),
        (True, "urn:none", None, []),
        (True, None, "missing", []),
    ],
)
def test_order_and_filters(accel_module, tree, include_self, ns, local, expected):
    assert walk(accel_module, tree, "r", include_self, ns, local) == expected


def test_never_leaves_the_subtree(accel_module, tree):
    # The start's following siblings (z, and r's sibling "after") are not
    # visited, even when they match.
    assert walk(accel_module, tree, "r/x", True, None, "x") == ["x", "x"]
    assert walk(accel_module, tree, "r/z/x", True) == ["x"]
    assert walk(accel_module, tree, "r/z/x", False) == []


def test_leaf_without_self_is_exhausted_at_once(accel_module, engine, tree):
    start = accel_module.create(tree["r/x/y"], None, None)
    engine.clear_log()
    cursor = accel_module.subtree_iter(start, False, None, None)
    assert list(cursor) == []
    assert engine.calls() == ["element_first_child_any"]


def test_namespace_asked_only_after_name_matched(accel_module, engine, tree):
    start = accel_module.create(tree["r"], None, None)
    engine.clear_log()
    assert len(list(accel_module.subtree_iter(start, True, A, "y"))) == 0
    asked = [tree.label(a[0]) for a in engine.args_of("element_namespace")]
    assert asked == ["y", "{urn:b}y"]


def test_wrappers_made_only_for_matches_and_registered(accel_module, tree, doc):
    start = accel_module.create(tree["r"], None, doc)
    found = list(accel_module.subtree_iter(start, True, A, "x"))
    assert len(found) == 1
    (el,) = found
    assert el._ptr is None and el._document is doc and el._raw == tree["r/{urn:a}x"]
    accel_module.invalidate(doc._accel_registry)
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        el.tag


def test_iter_returns_self_and_repr(accel_module, tree):
    start = accel_module.create(tree["r"], None, None)
    one = accel_module.subtree_iter(start, True, None, None)
    two = accel_module.subtree_iter(start, True, None, None)
    assert iter(one) is one
    assert repr(one) == f"<korvith.SubtreeIterator object at {hex(id(one))}>"
    assert repr(one) != repr(two)
    assert type(one) is accel_module.SubtreeIterator


def test_poisoned_start(accel_module, engine, tree, doc):
    start = accel_module.create(tree["r"], None, doc)
    cursor = accel_module.subtree_iter(start, True, None, None)
    exhausted = accel_module.subtree_iter(start, False, None, "nothing")
    assert list(exhausted) == []
    assert next(cursor)._raw == tree["r"]
    accel_module.invalidate(doc._accel_registry)
    engine.clear_log()
    for c in (cursor, exhausted):
        with pytest.raises(FakeError, match="^operation on a closed document$"):
            next(c)
    assert engine.log == []
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        accel_module.subtree_iter(start, True, None, None)


@pytest.mark.parametrize(
    "ns, local, error",
    [(5, None, TypeError), (None, b"x", TypeError), ("\ud800", "x", UnicodeEncodeError),
     (None, "\udcff", UnicodeEncodeError)],
)
def test_bad_filters_raise_at_creation(accel_module, tree, ns, local, error):
    start = accel_module.create(tree["r"], None, None)
    with pytest.raises(error):
        accel_module.subtree_iter(start, True, ns, local)


def test_local_filter_is_encoded_before_namespace(accel_module, tree):
    start = accel_module.create(tree["r"], None, None)
    with pytest.raises(UnicodeEncodeError):
        accel_module.subtree_iter(start, True, 5, "\ud800")
    with pytest.raises(TypeError):
        accel_module.subtree_iter(start, True, "\ud800", 5)


def test_null_name_and_empty_namespace(accel_module, engine):
    # <r><x/><noname/><{}x/></r>: a null name never matches, not even "";
    # an empty namespace URI is a namespace, not "no namespace".
    tree = WalkTree(engine, ("r", "x", "gone", "{}x"))
    gone = tree["gone"]
    names = {a: engine.cstr(tree.by_address[a].local) for a in tree.by_address}
    names[gone] = None
    engine.on("element_name", lambda a: names.get(a))
    start = accel_module.create(tree.root.address, None, None)

    def run(ns, local):
        return [e._raw for e in accel_module.subtree_iter(start, False, ns, local)]

    x, empty_x = tree.root.children[0].address, tree.root.children[2].address
    assert run(None, "x") == [x]
    assert run("", "x") == [empty_x]
    assert run(None, "") == []
    assert run(None, None) == [x, gone, empty_x]


def test_cursor_releases_what_it_holds(accel_module, tree):
    import sys

    document = Doc()
    start = accel_module.create(tree["r"], None, document)
    before = sys.getrefcount(start), sys.getrefcount(document)
    cursor = accel_module.subtree_iter(start, True, "urn:a", "x")
    assert (sys.getrefcount(start), sys.getrefcount(document)) == (before[0] + 1, before[1] + 1)
    found = next(cursor)
    del cursor
    assert (sys.getrefcount(start), sys.getrefcount(document)) == (before[0], before[1] + 1)
    del found
    assert (sys.getrefcount(start), sys.getrefcount(document)) == before


@pytest.mark.parametrize("arg", [None, 0x10, "r"])
def test_start_must_be_element(accel_module, arg):
    with pytest.raises(TypeError):
        accel_module.subtree_iter(arg, True, None, None)


def test_subclass_start_and_document_kept(accel_module, tree):
    class Sub(accel_module.Element):
        pass

    start = Sub()
    start._raw = tree["r/z"]
    found = list(accel_module.subtree_iter(start, True, None, None))
    assert [type(e) for e in found] == [accel_module.Element] * 2
    assert all(e._document is None for e in found)


@pytest.mark.parametrize("include_self", [True, False])
def test_start_without_element_never_reaches_engine(accel_module, engine, include_self):
    cursor = accel_module.subtree_iter(accel_module.create(0, None, None), include_self, None, None)
    assert list(cursor) == []
    assert engine.log == []


def test_direct_instantiation_is_empty(accel_module, engine):
    cursor = accel_module.SubtreeIterator()
    assert list(cursor) == []
    with pytest.raises(StopIteration):
        next(cursor)
    assert repr(cursor).startswith("<korvith.SubtreeIterator object at 0x")
    assert engine.log == []


def test_registry_outlives_a_replaced_capsule(accel_module, tree, doc):
    """A document that swaps its capsule mid-walk must not leave the cursor
    linking wrappers into a freed registry."""
    start = accel_module.create(tree["r"], None, doc)
    cursor = accel_module.subtree_iter(start, True, None, None)
    doc._accel_registry = accel_module.new_registry()
    found = [e._raw for e in cursor]
    assert len(found) == 8


def test_walk_continues_from_precomputed_successor(accel_module, engine, tree):
    start = accel_module.create(tree["r"], None, None)
    cursor = accel_module.subtree_iter(start, True, None, None)
    assert tree.label(next(cursor)._raw) == "r"
    engine.clear_log()
    assert tree.label(next(cursor)._raw) == "x"
    # Handing out x computed its successor (its first child) beforehand.
    assert engine.calls("element_first_child_any") == ["element_first_child_any"]
