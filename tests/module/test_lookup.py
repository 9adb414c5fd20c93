"""find_first and find_path against the fake engine."""

from __future__ import annotations

import json

import pytest

from fake_engine import FakeError
from walk_tree import WalkTree

# <r>
#   <{urn:a}item/> <deep><item/></deep> <item><name/></item>
#   <group><a/></group> <group><b><c/></b></group> <group><b><c/></b></group>
# </r>
SPEC = ("r",
        "{urn:a}item",
        ("deep", "item"),
        ("item", "name"),
        ("group", "a"),
        ("group", ("b", "c")),
        ("group", ("b", "c")))


@pytest.fixture
def tree(engine):
    return WalkTree(engine, SPEC)


@pytest.mark.parametrize(
    "start, name, expected",
    [
        ("", "item", "item"),  # skips the namespaced item, takes the later plain one
        ("", "group", "group"),
        ("", "c", None),  # grandchildren are not looked at
        ("", "r", None),  # nor is the start itself
        ("deep", "item", "deep/item"),
        ("", "name", None),
    ],
)
def test_find_first(accel_module, tree, doc, start, name, expected):
    found = accel_module.find_first(tree[start], name, doc)
    if expected is None:
        assert found is None
    else:
        assert found._raw == tree[expected]
        assert found._ptr is None and found._document is doc


def test_find_first_asks_namespace_only_after_name_matched(accel_module, engine, tree):
    accel_module.find_first(tree[""], "deep", None)
    asked = [tree.label(a[0]) for a in engine.args_of("element_namespace")]
    assert asked == ["deep"]


@pytest.mark.parametrize(
    "steps, expected",
    [
        (["item"], "item"),
        (("item",), "item"),
        (["item", "name"], "item/name"),
        # The first group has no b: the search backtracks to the second.
        (["group", "b"], "group[1]/b"),
        (["group", "b", "c"], "group[1]/b/c"),
        (["group", "a"], "group/a"),
        (["group", "c"], None),
        (["deep", "item", "x"], None),
        ([], None),
    ],
)
def test_find_path(accel_module, tree, doc, steps, expected):
    found = accel_module.find_path(tree[""], steps, doc)
    if expected is None:
        assert found is None
    else:
        assert found._raw == tree[expected]
        assert found._ptr is None and found._document is doc


def test_find_path_single_step_is_find_first(accel_module, tree):
    for name in ("item", "group", "deep", "nope"):
        one = accel_module.find_first(tree[""], name, None)
        path = accel_module.find_path(tree[""], [name], None)
        assert (one is None and path is None) or one._raw == path._raw


@pytest.mark.parametrize(
    "lookup",
    [lambda a, t, d: a.find_path(t[""], ["group", "b"], d),
     lambda a, t, d: a.find_first(t[""], "group", d)],
    ids=["find_path", "find_first"],
)
def test_result_is_registered(accel_module, tree, doc, lookup):
    found = lookup(accel_module, tree, doc)
    accel_module.invalidate(doc._accel_registry)
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        found.tag


class NoCapsule:
    _accel_registry = 5


@pytest.mark.parametrize(
    "lookup",
    [lambda a, t, d: a.find_path(t[""], ["group", "b"], d),
     lambda a, t, d: a.find_first(t[""], "group", d)],
    ids=["find_path", "find_first"],
)
@pytest.mark.parametrize("document", [None, NoCapsule()])
def test_result_without_registry_is_unregistered(accel_module, tree, doc, lookup, document):
    found = lookup(accel_module, tree, document)
    assert found._document is document
    accel_module.invalidate(doc._accel_registry)
    assert found.tag in ("b", "group")


def test_empty_namespace_is_a_namespace(accel_module, engine):
    # <r><{}a><b/></{}a><a><c/></a></r>: only the second a is in no namespace.
    tree = WalkTree(engine, ("r", ("{}a", "b"), ("a", "c")))
    plain = tree.root.children[1]
    assert accel_module.find_first(tree.root.address, "a", None)._raw == plain.address
    assert accel_module.find_path(tree.root.address, ["a", "b"], None) is None
    assert accel_module.find_path(tree.root.address, ["a", "c"], None)._raw == \
        plain.children[0].address


def test_find_path_backtracks_in_document_order(accel_module, engine, tree):
    accel_module.find_path(tree[""], ["group", "b", "c"], None)
    # Every group is entered until a complete chain is found; the third
    # group is never looked into.
    entered = [tree.label(a[0]) for a in engine.args_of("element_first_child_any")]
    assert entered == ["r", "group", "group", "b"]


@pytest.mark.parametrize(
    "steps, error, message",
    [
        (["group", None], TypeError, None),
        ([b"group"], TypeError, None),
        (["group", "\ud800"], UnicodeEncodeError, None),
        (5, TypeError, "steps must be a sequence"),
        (None, TypeError, "steps must be a sequence"),
    ],
)
def test_find_path_bad_steps_make_no_engine_call(accel_module, engine, tree, steps, error,
                                                 message):
    engine.clear_log()
    with pytest.raises(error) as info:
        accel_module.find_path(tree[""], steps, None)
    if message:
        assert str(info.value) == message
    assert engine.log == []


@pytest.mark.parametrize("name, error", [(b"item", TypeError), (None, TypeError),
                                          ("\ud800", UnicodeEncodeError)])
def test_find_first_bad_name(accel_module, engine, tree, name, error):
    engine.clear_log()
    with pytest.raises(error):
        accel_module.find_first(tree[""], name, None)
    assert engine.log == []


def test_find_path_deep_chain(accel_module, engine):
    depth = 600
    spec = "end"
    for _ in range(depth):
        spec = ("n", spec)
    tree = WalkTree(engine, ("top", spec))
    found = accel_module.find_path(tree.root.address, ["n"] * depth + ["end"], None)
    assert tree.label(found._raw) == "end"


def test_unbound(unbound):
    out = unbound("""
        import json
        print(json.dumps([repr(accel.find_path(1, ["a"], None)),
                          repr(accel.find_first(1, "a", None))]))
    """)
    assert json.loads(out) == ["None", "None"]
