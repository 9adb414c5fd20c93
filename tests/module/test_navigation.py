"""len, subscription, getparent/getnext/getprevious and children()."""

from __future__ import annotations

import pytest

from fake_engine import FakeError
from fake_tree import FakeTree


@pytest.fixture
def tree(engine):
    return FakeTree(engine)


@pytest.fixture
def family(tree):
    """root with text, three element children (a, b, c) and a comment."""
    kids = [tree.element(n) for n in (b"a", b"b", b"c")]
    root = tree.element(b"root", [tree.text(b"t"), kids[0], tree.comment(), kids[1], kids[2]])
    return root, kids


def names(tree, elements):
    return [tree.nodes[e._raw].name.decode() for e in elements]


def test_len(accel_module, tree, family):
    root, kids = family
    assert len(accel_module.create(root, None, None)) == 3
    assert len(accel_module.create(kids[0], None, None)) == 0


@pytest.mark.parametrize(
    "key, expected",
    [(0, "a"), (2, "c"), (-1, "c"), (-3, "a"), (True, "b"), (False, "a")],
)
def test_index(accel_module, tree, family, doc, key, expected):
    root, _ = family
    parent = accel_module.create(root, None, doc)
    child = parent[key]
    assert type(child) is accel_module.Element
    assert names(tree, [child]) == [expected]
    assert child._ptr is None and child._document is doc


@pytest.mark.parametrize("key", [3, -4, 2**62, -(2**62), -(2**63)])
def test_index_out_of_range(accel_module, family, key):
    root, _ = family
    with pytest.raises(IndexError, match="^child index out of range$"):
        accel_module.create(root, None, None)[key]


def test_index_null_child_is_index_error(accel_module, engine):
    engine.returns("element_child_count", 2)
    engine.returns("element_child", None)
    with pytest.raises(IndexError, match="^child index out of range$"):
        accel_module.create(0x1000, None, None)[1]


def test_index_reads_count_every_time(accel_module, engine, family):
    root, _ = family
    el = accel_module.create(root, None, None)
    el[0], el[-1]
    assert engine.calls("element_child_count", "element_child") == [
        "element_child_count", "element_child"] * 2
    assert engine.args_of("element_child") == [(root, 0), (root, 2)]


def test_all_ones_child_count(accel_module, engine):
    # A count no real tree has: index arithmetic must not overflow.
    engine.returns("element_child_count", 2**64 - 1)
    engine.on("element_child", lambda h, i: 0x2000 + i % 16)
    el = accel_module.create(0x1000, None, None)
    assert el[-1]._raw == 0x2000 + 14
    assert engine.args_of("element_child") == [(0x1000, 2**64 - 2)]
    assert el[-(2**63)]._raw == 0x2000 + (2**63 - 1) % 16
    assert [c._raw for c in el[0:2]] == [0x2000, 0x2001]
    with pytest.raises(OverflowError):
        len(el)
    with pytest.raises(MemoryError):
        accel_module.children(el)


@pytest.mark.parametrize(
    "key, expected",
    [
        (slice(None), ["a", "b", "c"]),
        (slice(None, None, -1), ["c", "b", "a"]),
        (slice(1, None), ["b", "c"]),
        (slice(None, None, 2), ["a", "c"]),
        (slice(-2, None, -1), ["b", "a"]),
        (slice(10, 20), []),
        (slice(-10, -5), []),
    ],
)
def test_slices(accel_module, engine, tree, family, key, expected):
    root, _ = family
    engine.clear_log()
    result = accel_module.create(root, None, None)[key]
    assert type(result) is list and names(tree, result) == expected
    assert engine.calls("element_child") == ["element_child"] * len(expected)


def test_slice_step_zero(accel_module, family):
    root, _ = family
    with pytest.raises(ValueError):
        accel_module.create(root, None, None)[::0]


def test_slice_keeps_null_handles_as_empty_wrappers(accel_module, engine):
    engine.returns("element_child_count", 2)
    engine.on("element_child", lambda h, i: None if i else 0x2000)
    result = accel_module.create(0x1000, None, None)[:]
    assert [c._raw for c in result] == [0x2000, None]


@pytest.mark.parametrize("key", ["name", 2**64, 1.5, None])
def test_other_keys_go_to_py_getitem(accel_module, engine, key):
    calls = []

    class Sub(accel_module.Element):
        @staticmethod
        def _py_getitem(el, k):
            calls.append((el, k))
            return "hooked"

    el = Sub()
    el._raw = 0x1000
    assert el[key] == "hooked"
    assert calls == [(el, key)]
    assert engine.log == []


def test_base_type_without_hook(accel_module, engine, monkeypatch):
    # The package gives Element a hook; the module's own type has none.
    monkeypatch.delattr(accel_module.Element, "_py_getitem", raising=False)
    el = accel_module.create(0x1000, None, None)
    with pytest.raises(AttributeError):
        el["name"]
    with pytest.raises(AttributeError):
        accel_module.create(0, None, None)[0]


def test_hook_errors_propagate(accel_module):
    class Sub(accel_module.Element):
        def _py_getitem(self, key):
            raise KeyError(key)

    with pytest.raises(KeyError):
        Sub()[0]


@pytest.mark.parametrize(
    "method, start, expected",
    [
        ("getparent", 1, "root"),
        ("getnext", 0, "b"),
        ("getnext", 1, "c"),
        ("getnext", 2, None),
        ("getprevious", 1, "a"),
        ("getprevious", 0, None),
    ],
)
def test_relatives(accel_module, tree, family, doc, method, start, expected):
    _, kids = family
    el = accel_module.create(kids[start], None, doc)
    result = getattr(el, method)()
    if expected is None:
        assert result is None
    else:
        assert names(tree, [result]) == [expected]
        assert result._document is doc and result._ptr is None


def test_root_has_no_parent(accel_module, family):
    root, _ = family
    assert accel_module.create(root, None, None).getparent() is None


def test_new_wrappers_are_distinct_and_registered(accel_module, engine, family, doc):
    _, kids = family
    el = accel_module.create(kids[0], None, doc)
    one, two = el.getnext(), el.getnext()
    assert one is not two and one._raw == two._raw
    parent = el.getparent()
    got = [one, two, parent, parent[0], parent[1:][0], el.getprevious() or parent[-1],
           accel_module.children(parent)[2]]
    accel_module.invalidate(doc._accel_registry)
    for w in got:
        with pytest.raises(FakeError, match="^operation on a closed document$"):
            w.tag


class RegistryDoc:
    def __init__(self, accel) -> None:
        self._accel_registry = accel.new_registry()


def test_relatives_join_the_source_registry_not_the_document_one(accel_module, family):
    _, kids = family
    first, second = RegistryDoc(accel_module), RegistryDoc(accel_module)
    el = accel_module.create(kids[1], None, first)
    el._document = second  # the wrapper stays linked into first's registry
    relatives = [el.getparent(), el.getnext(), el.getprevious()]
    relatives += [relatives[0][0], relatives[0][1:][0]]
    assert all(r._document is second for r in relatives)
    accel_module.invalidate(second._accel_registry)
    assert [r.tag for r in relatives] == ["root", "c", "a", "a", "b"]
    accel_module.invalidate(first._accel_registry)
    for r in relatives:
        with pytest.raises(FakeError, match="^operation on a closed document$"):
            r.tag


def test_relatives_of_unlinked_wrapper_are_unlinked(accel_module, family, doc):
    _, kids = family
    el = accel_module.Element()
    el._raw, el._document = kids[0], doc
    nxt = el.getnext()
    assert nxt._document is doc
    accel_module.invalidate(doc._accel_registry)
    assert nxt.tag == "b"


def test_children(accel_module, tree, family, doc):
    root, _ = family
    result = accel_module.children(accel_module.create(root, None, doc))
    assert names(tree, result) == ["a", "b", "c"]
    assert all(type(c) is accel_module.Element and c._document is doc for c in result)


def test_children_walks_chain_once(accel_module, engine, family):
    root, _ = family
    engine.clear_log()
    accel_module.children(accel_module.create(root, None, None))
    assert engine.calls() == ["element_child_count", "element_first_child_any",
                              "element_next_sibling_any", "element_next_sibling_any"]


def test_children_of_leaf_asks_only_the_count(accel_module, engine, family):
    _, kids = family
    engine.clear_log()
    assert accel_module.children(accel_module.create(kids[0], None, None)) == []
    assert engine.calls() == ["element_child_count"]


def test_children_chain_shorter_than_count_is_cut(accel_module, engine):
    engine.returns("element_child_count", 4)
    engine.returns("element_first_child_any", 0x2000)
    engine.on("element_next_sibling_any", lambda h: 0x2010 if h == 0x2000 else None)
    result = accel_module.children(accel_module.create(0x1000, None, None))
    assert [c._raw for c in result] == [0x2000, 0x2010]


def test_children_chain_longer_than_count_stops(accel_module, engine):
    engine.returns("element_child_count", 1)
    engine.returns("element_first_child_any", 0x2000)
    engine.returns("element_next_sibling_any", 0x2010)
    result = accel_module.children(accel_module.create(0x1000, None, None))
    assert [c._raw for c in result] == [0x2000]
    assert "element_next_sibling_any" not in engine.calls()


class NoRegistryDoc:
    _accel_registry = "not a capsule"


def test_children_registry_comes_from_document(accel_module, family, doc):
    root, _ = family
    el = accel_module.create(root, None, NoRegistryDoc())
    kids = accel_module.children(el)
    el._document = doc  # the registry is looked up from the document now
    later = accel_module.children(el)
    accel_module.invalidate(doc._accel_registry)
    assert kids[0].tag == "a"
    with pytest.raises(FakeError):
        later[0].tag


@pytest.mark.parametrize("arg", [None, 5, "root", object()])
def test_children_rejects_non_elements(accel_module, engine, arg):
    with pytest.raises(TypeError, match="^expected an Element$"):
        accel_module.children(arg)


def test_children_accepts_subclass(accel_module, family):
    root, _ = family

    class Sub(accel_module.Element):
        pass

    el = Sub()
    el._raw = root
    result = accel_module.children(el)
    assert len(result) == 3 and all(type(c) is accel_module.Element for c in result)


@pytest.mark.parametrize(
    "call",
    [len, lambda el: el[0], lambda el: el[:], lambda el: el.getparent(),
     lambda el: el.getnext(), lambda el: el.getprevious(), "children"],
)
def test_poisoned(accel_module, engine, doc, call):
    el = accel_module.create(0x1000, None, doc)
    accel_module.invalidate(doc._accel_registry)
    if call == "children":
        call = accel_module.children
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        call(el)
    assert engine.log == []


def test_null_handle(accel_module, engine):
    el = accel_module.create(0, None, None)
    assert len(el) == 0
    assert (el.getparent(), el.getnext(), el.getprevious()) == (None, None, None)
    assert accel_module.children(el) == []
    assert engine.log == []


def test_before_bind(unbound):
    out = unbound("""
        el = accel.create(0x1000, None, None)
        class Sub(accel.Element):
            def _py_getitem(self, key):
                return ("hook", key)
        sub = Sub()
        sub._raw = 0x1000
        print([len(el), sub[0], sub[-1], sub[1:], sub["x"], el.getparent(), el.getnext(),
               el.getprevious(), accel.children(el)])
        el._raw = -1
        print(len(el))
    """)
    assert out.splitlines() == [
        "[0, ('hook', 0), ('hook', -1), ('hook', slice(1, None, None)), ('hook', 'x'), "
        "None, None, None, []]",
        "0",
    ]
