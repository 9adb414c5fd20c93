"""Converting engine plan-value trees into dictionaries, against the fake engine.

How the engine must lay out a plan result for this conversion (the engine
side builds these trees; the module only reads them):

* A record value (kind 0) lists its child values in the order of its plan's
  rows; values for absent rows are simply left out. The module walks them
  with one forward cursor: a value no row accepts blocks every later row.
* A row of kind 1/4/6 takes one named leaf value (kind 1 text, kind 4
  callback). A row of kind 3 takes every directly following record value
  with the row's name. A row of kind 2 takes one collection (kind 2) whose
  first item carries the row's name; kind 5 one collection whose first item
  has no name; kind 7 one collection that itself carries the row's name
  (its record items convert with plan `child_index`). An empty collection
  is taken by any of 2, 5, 7 whatever its name.
* Rows that share a name and have a non-zero tag are grouped: they take the
  run of child values whose type tag equals the row's tag, names ignored.
* Attributes: `plan_value_attributes_snapshot` lists a record's attributes
  in the order of the plan's `attr_names`; an attribute missing from the
  element is left out. Names out of that order come back as None. Every
  offset the engine writes must lie inside the buffer the module supplies
  (sized by the sizing call); an offset outside raises the engine error
  "attribute snapshot failed" instead of being read.
* `child_index` of kind 3 rows (and of kind 7 rows that are not negative)
  must name a plan of the same description: `plan_shape_build` rejects any
  other value with ValueError, so the engine can rely on valid indices.
* A record tree nested deeper than the native stack allows fails with
  RecursionError.
* The shape capsule must come from `plan_shape_build`: any other capsule,
  named or not, is refused with ValueError.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass, field
from typing import Any

import pytest

from fake_engine import FakeError
from korvith import _korvithaccel as accel

RECORD, TEXT, COLLECTION, CALLBACK = 0, 1, 2, 4
SNAPSHOT_FAILED = 2**64 - 1


@dataclass
class V:
    """One fake plan value."""

    kind: int = TEXT
    name: str | bytes | None = None
    text: str | bytes | None = None
    tag: int = 0
    position: int = 0
    children: list[V] = field(default_factory=list)
    number: Any = None  # what plan_value_int/float/bool report; None = failure
    attrs: list[tuple[bytes, bytes]] = field(default_factory=list)


def rec(name: str | None, *children: V, attrs=(), tag: int = 0) -> V:
    return V(RECORD, name, None, tag, 0, list(children), None,
             [(k.encode() if isinstance(k, str) else k, v.encode() if isinstance(v, str) else v)
              for k, v in attrs])


def leaf(name: str | None, text: str | bytes | None, tag: int = 0, number: Any = None) -> V:
    return V(TEXT, name, text, tag, number=number)


def coll(name: str | None, *items: V, tag: int = 0) -> V:
    return V(COLLECTION, name, None, tag, children=list(items))


class PlanTree:
    """Serves fake plan values to the module by address."""

    def __init__(self, engine) -> None:
        self.engine = engine
        self.values: dict[int, V] = {}
        self._names: dict[int, int | None] = {}
        e = engine
        e.on("plan_value_kind", lambda a: self[a].kind)
        e.on("plan_value_name", lambda a: self._names[a])
        e.on("plan_value_type_tag", lambda a: self[a].tag)
        e.on("plan_value_string", self._string)
        e.on("plan_value_length", lambda a: len(self._bytes(self[a].text or b"")))
        e.on("plan_value_position", lambda a: self[a].position)
        e.on("plan_value_count", lambda a: len(self[a].children))
        e.on("plan_value_at", lambda a, i: self.address_of(self[a].children[i]))
        e.on("plan_value_int", self._number)
        e.on("plan_value_float", self._number)
        e.on("plan_value_bool", self._number)
        e.on("plan_value_attribute_count", lambda a: len(self[a].attrs))
        e.on("plan_value_attributes_snapshot", self._snapshot)

    def __getitem__(self, address: int) -> V:
        return self.values[address]

    @staticmethod
    def _bytes(text: str | bytes) -> bytes:
        return text.encode() if isinstance(text, str) else text

    def add(self, value: V) -> int:
        address = 0x10000 + 0x10 * len(self.values)
        self.values[address] = value
        self._names[address] = self.engine.cstr(value.name)
        for child in value.children:
            self.add(child)
        return address

    def address_of(self, value: V) -> int:
        for address, candidate in self.values.items():
            if candidate is value:
                return address
        raise KeyError(value)

    def _string(self, address: int) -> int | None:
        text = self[address].text
        if text is None:
            return None
        # No terminator right after the text: the module must use the length.
        return self.engine.buffer(self._bytes(text) + b"GARBAGE")

    def _number(self, address: int, out) -> int:
        number = self[address].number
        if number is None:
            return 1
        out[0] = number
        return 0

    def _snapshot(self, address, names_buf, names_cap, name_offs, values_buf, values_cap,
                  value_offs) -> int:
        attrs = self[address].attrs
        names = b"".join(n + b"\0" for n, _ in attrs)
        values = b"".join(v + b"\0" for _, v in attrs)
        size = max(len(names), len(values))
        if not names_buf:
            return size
        ctypes.memmove(names_buf, names, len(names))
        ctypes.memmove(values_buf, values, len(values))
        n_off = v_off = 0
        for i, (n, v) in enumerate(attrs):
            name_offs[i], value_offs[i] = n_off, v_off
            n_off += len(n) + 1
            v_off += len(v) + 1
        return size


def shape(*plans, callback_type: Any = None):
    return accel.plan_shape_build(list(plans), callback_type)


def convert(engine, root: V, *plans, callback_type: Any = None):
    tree = PlanTree(engine)
    address = tree.add(root)
    return accel.plan_convert(address, shape(*plans, callback_type=callback_type))


def children(engine, root: V, rows, **kw) -> dict:
    result = convert(engine, root, ((), rows), **kw)
    assert list(result) == ["attributes", "children"]
    return result["children"]


class Made:
    """A callback_type that records its arguments."""

    def __init__(self, text, position, tag) -> None:
        self.args = (text, position, tag)

    def __eq__(self, other) -> bool:
        return isinstance(other, Made) and other.args == self.args

    def __repr__(self) -> str:
        return f"Made{self.args}"


# -- entry checks ------------------------------------------------------------

def test_unbound_convert_refuses_and_shape_build_works(unbound):
    out = unbound("""
        cap = accel.plan_shape_build([((), ())], None)
        print(type(cap).__name__)
        try:
            accel.plan_convert(1, cap)
        except RuntimeError as exc:
            print(exc)
    """)
    assert out.splitlines() == ["PyCapsule", "accelerator not bound"]


def _foreign_unnamed_capsule():
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
    return new(0x1234, None, None)


@pytest.mark.parametrize("make, message", [
    (lambda: object(), "PyCapsule_GetPointer called with invalid PyCapsule object"),
    (lambda: accel.new_registry(), "PyCapsule_GetPointer called with incorrect name"),
    (_foreign_unnamed_capsule, "shape_capsule is not a plan shape capsule"),
])
def test_convert_refuses_other_capsules(engine, make, message):
    with pytest.raises(ValueError, match=message):
        accel.plan_convert(0x10, make())
    assert engine.log == []


def test_empty_description_converts_with_zero_plan(engine):
    engine.returns("plan_value_count", 3)
    result = accel.plan_convert(0x40, accel.plan_shape_build([], None))
    assert result == {"attributes": {}, "children": {}}
    assert engine.log == [("plan_value_count", (0x40,))]


def test_plan_without_rows_or_attributes_only_counts(engine):
    root = rec(None, leaf("a", "x"), attrs=[("id", "1")])
    assert convert(engine, root, ((), ())) == {"attributes": {}, "children": {}}
    assert engine.calls() == ["plan_value_count"]


# -- leaves ------------------------------------------------------------------

@pytest.mark.parametrize("value, tag, expected", [
    (leaf("v", "42", number=42), 1, 42),
    (leaf("v", "-9", number=-(2**63)), 1, -(2**63)),
    (leaf("v", "4x2"), 1, "4x2"),
    (leaf("v", "2.5", number=2.5), 2, 2.5),
    (leaf("v", "nan?"), 2, "nan?"),
    (leaf("v", "yes", number=1), 3, True),
    (leaf("v", "no", number=0), 3, False),
    (leaf("v", "maybe"), 3, "maybe"),
    (leaf("v", "42", number=42), 0, "42"),
    (leaf("v", "42", number=42), 9, "42"),
    (leaf("v", None), 0, None),
    (leaf("v", b"a\xffb"), 0, "a\ufffdb"),
    (leaf("v", "h\u00e9"), 0, "h\u00e9"),
    (leaf("v", ""), 0, ""),
])
def test_leaf_conversion(engine, value, tag, expected):
    got = children(engine, rec(None, value), [("v", 1, 0, tag)])
    assert got == {"v": expected}
    assert type(got["v"]) is type(expected)


@pytest.mark.parametrize("value, tag, expected", [
    (V(CALLBACK, "v", "12", 7, 5), 0, Made("12", 5, 7)),
    (V(CALLBACK, "v", None, 200, 0), 0, Made(None, 0, 200)),
    (V(CALLBACK, "v", b"\xfe", 1, 3), 1, Made("\ufffd", 3, 1)),  # int fails: callback
    (V(CALLBACK, "v", "3", 1, 3, number=3), 1, 3),  # int succeeds: no callback
])
def test_callback_values(engine, value, tag, expected):
    got = children(engine, rec(None, value), [("v", 4, 0, tag)], callback_type=Made)
    assert got == {"v": expected}


def test_callback_type_error_stops_conversion(engine):
    def boom(text, position, tag):
        raise LookupError(f"bad {text}")

    root = rec(None, V(CALLBACK, "a", "1"), V(CALLBACK, "b", "2"))
    with pytest.raises(LookupError, match="bad 1"):
        convert(engine, root, ((), [("a", 4, 0, 0), ("b", 4, 0, 0)]), callback_type=boom)
    # The second value was never reached.
    assert engine.calls("plan_value_at") == ["plan_value_at"]


# -- matching and the cursor --------------------------------------------------

@pytest.mark.parametrize("kind, absent", [
    (0, None), (1, None), (2, []), (3, None), (4, None), (5, []), (6, None), (7, []),
    (8, None), (-1, None),
])
def test_absent_values_when_children_run_out(engine, kind, absent):
    got = children(engine, rec(None), [("r", kind, 0, 0), ("s", kind, 0, 0)])
    assert got == {"r": absent, "s": absent}
    if absent is not None:
        assert got["r"] is not got["s"]  # a fresh list for each use
    assert engine.calls() == ["plan_value_count"]


def test_value_out_of_row_order_is_skipped(engine):
    root = rec(None, leaf("b", "B"), leaf("a", "1", number=1))
    got = children(engine, root, [("a", 1, 0, 1), ("b", 1, 0, 0)])
    assert got == {"a": None, "b": "B"}
    assert "plan_value_int" not in engine.calls()


def test_unexpected_value_blocks_later_rows_and_trailing_values_are_ignored(engine):
    root = rec(None, leaf("a", "A"), leaf("zzz", "?"), leaf("b", "B"))
    assert children(engine, root, [("a", 1, 0, 0), ("b", 1, 0, 0), ("c", 2, 0, 0)]) == {
        "a": "A", "b": None, "c": []}
    assert children(engine, root, [("a", 1, 0, 0)]) == {"a": "A"}


@pytest.mark.parametrize("kind", [1, 4, 6])
@pytest.mark.parametrize("value", [rec("v"), coll("v", leaf("v", "x"))])
def test_leaf_rows_refuse_records_and_collections(engine, kind, value):
    assert children(engine, rec(None, value), [("v", kind, 0, 0)]) == {"v": None}


def test_names_compare_whole_and_case_sensitive(engine):
    root = rec(None, leaf("Item", "1"), leaf("items", "2"), leaf("item", "3"))
    rows = [("item", 1, 0, 0), ("Item", 1, 0, 0)]
    assert children(engine, root, rows) == {"item": None, "Item": "1"}


# -- records ------------------------------------------------------------------

ITEM_PLAN = (("id",), [("v", 1, 0, 1)])


@pytest.mark.parametrize("count", [1, 2, 3])
def test_record_rows_collect_consecutive_records(engine, count):
    items = [rec("item", leaf("v", str(i), number=i), attrs=[("id", f"i{i}")])
             for i in range(count)]
    root = rec(None, *items, rec("item"), leaf("tail", "t"))
    plans = (((), [("item", 3, 1, 0), ("tail", 1, 0, 0)]), ITEM_PLAN)
    got = convert(engine, root, *plans)["children"]
    expected = [{"attributes": {"id": f"i{i}"}, "children": {"v": i}} for i in range(count)]
    expected.append({"attributes": {"id": None}, "children": {"v": None}})
    assert got["item"] == expected  # the last (empty) record is consecutive too
    assert got["tail"] == "t"


def test_single_record_is_not_wrapped_in_a_list(engine):
    root = rec(None, rec("item", leaf("v", "5", number=5)), leaf("item", "text"))
    got = convert(engine, root, ((), [("item", 3, 1, 0), ("item2", 1, 0, 0)]), ITEM_PLAN)
    assert got["children"] == {"item": {"attributes": {"id": None}, "children": {"v": 5}},
                               "item2": None}


def test_record_row_refuses_leaf_with_its_name(engine):
    root = rec(None, leaf("item", "x"))
    assert children(engine, root, [("item", 3, 0, 0)]) == {"item": None}


def test_nested_plans_follow_child_index(engine):
    root = rec(None, rec("a", rec("b", leaf("c", "deep"))))
    plans = (((), [("a", 3, 1, 0)]), ((), [("b", 3, 2, 0)]), ((), [("c", 1, 0, 0)]))
    got = convert(engine, root, *plans)
    assert got["children"]["a"]["children"]["b"]["children"] == {"c": "deep"}


# -- collections --------------------------------------------------------------

@pytest.mark.parametrize("kind, value, expected", [
    (2, coll(None, leaf("x", "1", number=1), leaf("y", "2", number=2)), [1, 2]),
    (5, coll("x", leaf(None, "1", number=1), leaf(None, "z")), [1, "z"]),
    (7, coll("x", leaf("q", "1", number=1), leaf(None, "2", number=2)), [1, 2]),
    (0, coll("x", leaf(None, "1", number=1)), [1]),
    (12, coll("x", leaf(None, "1", number=1)), [1]),
])
def test_collection_rows(engine, kind, value, expected):
    assert children(engine, rec(None, value), [("x", kind, -1, 1)]) == {"x": expected}


@pytest.mark.parametrize("kind, value, absent", [
    (2, coll(None, leaf("other", "1")), []),
    (2, coll("x", leaf(None, "1")), []),
    (5, coll(None, leaf("x", "1")), []),
    (7, coll(None, leaf("x", "1")), []),
    (7, leaf("x", "1"), []),
    (0, coll(None, leaf("x", "1")), None),
    (12, leaf(None, "1"), None),
])
def test_collection_rows_refuse(engine, kind, value, absent):
    got = children(engine, rec(None, value, leaf("after", "A")),
                   [("x", kind, -1, 0), ("after", 1, 0, 0)])
    assert got == {"x": absent, "after": None}  # the refused value blocks "after"


@pytest.mark.parametrize("kind", [2, 5, 7, 0, 12])
def test_empty_collection_satisfies_first_collection_row(engine, kind):
    root = rec(None, coll("whatever"), coll(None, leaf(None, "1")))
    got = children(engine, root, [("x", kind, -1, 0), ("y", 5, 0, 0)])
    assert got == {"x": [], "y": ["1"]}


MATCH = ["plan_value_count", "plan_value_at", "plan_value_kind", "plan_value_name"]


@pytest.mark.parametrize("kind, value, calls", [
    # A collection under a collection row: its count, then its first item's name.
    (2, coll(None, leaf("x", "1")),
     MATCH + ["plan_value_count", "plan_value_at", "plan_value_name",
              "plan_value_count", "plan_value_at",
              "plan_value_kind", "plan_value_string", "plan_value_length"]),
    (7, coll("x", leaf(None, "1")),
     MATCH + ["plan_value_count", "plan_value_at", "plan_value_name",
              "plan_value_count", "plan_value_at",
              "plan_value_kind", "plan_value_string", "plan_value_length"]),
    # An empty one: no item is looked at.
    (5, coll("x"), MATCH + ["plan_value_count", "plan_value_count"]),
    # Leaf rows never look into a collection.
    (1, coll("x", leaf("x", "1")), MATCH),
])
def test_collection_match_engine_calls(engine, kind, value, calls):
    children(engine, rec(None, value), [("x", kind, -1, 0)])
    assert engine.calls() == calls


def test_callback_leaf_engine_calls(engine):
    got = children(engine, rec(None, V(CALLBACK, "v", "t", 3, 8)), [("v", 4, 0, 1)],
                   callback_type=Made)
    assert got == {"v": Made("t", 8, 3)}
    assert engine.calls() == MATCH + ["plan_value_int", "plan_value_kind", "plan_value_string",
                                      "plan_value_length", "plan_value_position",
                                      "plan_value_type_tag"]


def test_collection_items_convert_as_leaves_whatever_their_kind(engine):
    items = coll(None, rec(None), V(CALLBACK, None, "cb", 2, 9), leaf(None, None))
    got = children(engine, rec(None, items), [("x", 5, 0, 0)], callback_type=Made)
    assert got == {"x": [None, Made("cb", 9, 2), None]}


def test_record_list_mixes_records_and_leaves(engine):
    wrapper = coll("list", rec("e", leaf("v", "1", number=1)), leaf("e", "2.5", number=2.5),
                   rec("e"))
    plans = (((), [("list", 7, 1, 2)]), ((), [("v", 1, 0, 1)]))
    got = convert(engine, rec(None, wrapper), *plans)["children"]["list"]
    assert got == [{"attributes": {}, "children": {"v": 1}}, 2.5,
                   {"attributes": {}, "children": {"v": None}}]


def test_record_list_with_negative_index_keeps_records_as_leaves(engine):
    wrapper = coll("list", V(RECORD, "e", "text"))
    assert children(engine, rec(None, wrapper), [("list", 7, -1, 0)]) == {"list": ["text"]}


# -- rows sharing a name --------------------------------------------------------

def test_shared_names_collect_one_entry_per_row(engine):
    root = rec(None, leaf("item", "1"), leaf("other", "o"), leaf("x", "?"))
    got = children(engine, root, [("item", 1, 0, 0), ("other", 1, 0, 0), ("item", 1, 0, 0)])
    assert got == {"item": ["1", None], "other": "o"}
    assert list(got) == ["item", "other"]


def test_shared_names_in_different_plans_do_not_mix(engine):
    root = rec(None, leaf("a", "1"), rec("sub", leaf("a", "2")))
    plans = (((), [("a", 1, 0, 0), ("sub", 3, 1, 0)]), ((), [("a", 1, 0, 0)]))
    got = convert(engine, root, *plans)["children"]
    assert got == {"a": "1", "sub": {"attributes": {}, "children": {"a": "2"}}}


def test_grouped_rows_take_runs_by_type_tag(engine):
    root = rec(None,
               leaf("n", "1", tag=1, number=1), leaf("other-name", "2", tag=1, number=2),
               leaf("f", "2.5", tag=2, number=2.5),
               leaf("s", "s1", tag=5), leaf("s", "s2", tag=5))
    rows = [("v", 1, 0, 1), ("v", 1, 0, 2), ("v", 1, 0, 3), ("v", 1, 0, 5)]
    got = children(engine, root, rows)
    # tag 1: first of a two-value run; tag 2: one value; tag 3: empty run.
    assert got == {"v": [1, 2.5, None, "s1"]}


def test_grouped_record_rows_convert_the_whole_run(engine):
    root = rec(None, rec("p", leaf("v", "1", number=1), tag=4),
               rec("q", leaf("v", "2", number=2), tag=4), rec("p", tag=6))
    plans = (((), [("g", 3, 1, 4), ("g", 3, 1, 6)]), ((), [("v", 1, 0, 1)]))
    got = convert(engine, root, *plans)["children"]
    assert got == {"g": [
        [{"attributes": {}, "children": {"v": 1}}, {"attributes": {}, "children": {"v": 2}}],
        {"attributes": {}, "children": {"v": None}},
    ]}


def test_grouped_row_converts_collection_first_value(engine):
    root = rec(None, V(COLLECTION, "x", tag=3, children=[leaf(None, "1", number=1)]))
    got = children(engine, root, [("c", 2, 0, 3), ("c", 2, 0, 3)])
    assert got == {"c": [[True], []]}


# -- attributes -----------------------------------------------------------------

ENGINE_ATTRS = [("id", "1"), ("x", "2"), ("y", "3")]


@pytest.mark.parametrize("plan_names, expected", [
    (("id", "x", "y"), {"id": "1", "x": "2", "y": "3"}),
    (("id", "y"), {"id": "1", "y": None}),
    (("x", "id"), {"x": None, "id": "1"}),
    (("id", "id"), {"id": None}),
    (("a", "id", "b", "x", "y", "z"), {"a": None, "id": "1", "b": None, "x": "2", "y": "3",
                                       "z": None}),
])
def test_attribute_merge_walk(engine, plan_names, expected):
    got = convert(engine, rec(None, attrs=ENGINE_ATTRS), (plan_names, ()))
    assert got["attributes"] == expected
    assert list(got["attributes"]) == list(expected)


def test_attribute_snapshot_calls(engine):
    convert(engine, rec(None, attrs=ENGINE_ATTRS), (("id",), ()))
    assert engine.calls() == ["plan_value_count", "plan_value_attribute_count",
                              "plan_value_attributes_snapshot", "plan_value_attributes_snapshot"]
    sizing, filling = engine.args_of("plan_value_attributes_snapshot")
    null_pointers = [bool(a) if isinstance(a, ctypes._Pointer) else a for a in sizing[1:]]
    assert null_pointers == [None, 0, False, None, 0, False]
    assert filling[2] == filling[5] == len(b"id\0x\0y\0")


def test_attributes_decode_with_replace(engine):
    got = convert(engine, rec(None, attrs=[(b"k", b"v\xff")]), (("k",), ()))
    assert got["attributes"] == {"k": "v\ufffd"}


def test_element_without_attributes_is_not_snapshotted(engine):
    got = convert(engine, rec(None), (("a", "b"), ()))
    assert got["attributes"] == {"a": None, "b": None}
    assert "plan_value_attributes_snapshot" not in engine.calls()


def test_snapshot_failure_is_memory_error(engine):
    tree = PlanTree(engine)
    address = tree.add(rec(None, attrs=ENGINE_ATTRS))
    engine.on("plan_value_attributes_snapshot", lambda v, nb, *rest: 16 if not nb else SNAPSHOT_FAILED)
    with pytest.raises(MemoryError):
        accel.plan_convert(address, shape((("id",), ())))


def test_snapshot_offsets_outside_buffer_are_refused(engine):
    tree = PlanTree(engine)
    address = tree.add(rec(None, attrs=ENGINE_ATTRS))

    def snapshot(v, names, ncap, noffs, values, vcap, voffs):
        if not names:
            return 8
        noffs[0], voffs[0] = 0, 1 << 40
        return 8

    engine.on("plan_value_attributes_snapshot", snapshot)
    with pytest.raises(FakeError, match="attribute snapshot failed"):
        accel.plan_convert(address, shape((("id",), ())))


def test_result_keys_are_the_callers_objects(engine):
    key = "".join(["na", "me"])
    attr = "".join(["i", "d"])
    got = convert(engine, rec(None, leaf("name", "v"), attrs=[("id", "1")]),
                  ((attr,), [(key, 1, 0, 0)]))
    assert next(iter(got["children"])) is key
    assert next(iter(got["attributes"])) is attr


# -- depth ----------------------------------------------------------------------

def _record_chain(engine, depth: int):
    """A chain of `depth` records, each holding the next, served by address
    arithmetic so that the fake needs no object per level."""
    name = engine.cstr("n")
    engine.on("plan_value_count", lambda a: 1 if a < depth else 0)
    engine.on("plan_value_at", lambda a, i: a + 1)
    engine.on("plan_value_kind", lambda a: RECORD)
    engine.on("plan_value_name", lambda a: name)
    return shape(((), [("n", 3, 0, 0)]))


@pytest.mark.parametrize("depth", [10_001, 10**6])
def test_record_tree_too_deep_raises_recursion_error(engine, depth):
    cap = _record_chain(engine, depth)
    with pytest.raises(RecursionError, match="^plan result nested more than 10000 records deep$"):
        accel.plan_convert(1, cap)
    assert engine.calls("plan_value_count").count("plan_value_count") == 10_000


def test_record_tree_at_depth_limit_converts(engine):
    got = accel.plan_convert(1, _record_chain(engine, 10_000))
    for _ in range(9_999):
        got = got["children"]["n"]
    assert got == {"attributes": {}, "children": {"n": None}}
