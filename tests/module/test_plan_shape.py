"""Compiling plan descriptions into shape capsules.

A shape is observed through `plan_convert` (against the fake engine) and
through the errors of `plan_shape_build`.

For the engine side: `plan_shape_build` checks `child_index` where the
conversion uses it. A kind 3 row needs 0 <= child_index < number of plans; a
kind 7 row needs child_index < number of plans (a negative one means leaf
items). Anything else fails with ValueError "plan P row R (kind K):
child_index C is not a plan index (0 to N-1)". Rows of other kinds keep
whatever child_index they were given.
"""

from __future__ import annotations

import ctypes
import gc
import sys
import weakref

import pytest

from korvith import _korvithaccel as accel
from test_plan_convert import PlanTree, children, convert, leaf, rec


def build(plans, callback_type=None):
    return accel.plan_shape_build(plans, callback_type)


def capsule_name(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = (ctypes.py_object,)
    return get_name(capsule)


def test_capsule_has_no_name():
    cap = build([((), ())])
    assert type(cap).__name__ == "PyCapsule"
    assert capsule_name(cap) is None


NOT_TUPLE = "new style getargs format but argument is not a tuple"

BAD_DESCRIPTIONS = [
    (5, TypeError, "plans must be a sequence"),
    # Plans and rows are parsed as argument tuples: the parser's own errors.
    ([[(), ()]], SystemError, NOT_TUPLE),
    ([((), (), ())], TypeError, "function takes exactly 2 arguments (3 given)"),
    ([((),)], TypeError, "function takes exactly 2 arguments (1 given)"),
    ([(5, ())], TypeError, "attr_names must be a sequence"),
    ([((), 5)], TypeError, "rows must be a sequence"),
    ([((), [["a", 1, 0, 0]])], SystemError, NOT_TUPLE),
    ([((), [("a", 1, 0)])], TypeError, "function takes exactly 4 arguments (3 given)"),
    ([((), [("a", 1, 0, 0, 0)])], TypeError, "function takes exactly 4 arguments (5 given)"),
    ([((), [("a", "1", 0, 0)])], TypeError, None),
    ([((), [("a", 1, 0, 2**31)])], OverflowError, None),
    ([((), [("a", -(2**31) - 1, 0, 0)])], OverflowError, None),
    ([((), [(b"a", 1, 0, 0)])], TypeError, None),
    ([((), [("\ud800", 1, 0, 0)])], UnicodeEncodeError, None),
    ([((b"id",), ())], TypeError, None),
    ([(("ok", "\udfff"), ())], UnicodeEncodeError, None),
    ([((), ()), ((), [("a", 1, 0, 0)]), "not a plan"], SystemError, NOT_TUPLE),
]


@pytest.mark.parametrize("plans, error, message", BAD_DESCRIPTIONS)
def test_bad_descriptions_fail(plans, error, message):
    with pytest.raises(error) as info:
        build(plans)
    if message:
        assert str(info.value) == message


def test_wrong_argument_count():
    with pytest.raises(TypeError):
        accel.plan_shape_build([])


@pytest.mark.parametrize("plans, message", [
    ([((), [("a", 3, 1, 0)])], "plan 0 row 0 (kind 3): child_index 1 is not a plan index (0 to 0)"),
    ([((), [("a", 3, -1, 0)])], "plan 0 row 0 (kind 3): child_index -1 is not a plan index (0 to 0)"),
    ([((), ()), ((), [("x", 1, 0, 0), ("a", 7, 2, 0)])],
     "plan 1 row 1 (kind 7): child_index 2 is not a plan index (0 to 1)"),
])
def test_record_rows_need_a_valid_plan_index(plans, message):
    with pytest.raises(ValueError) as info:
        build(plans)
    assert str(info.value) == message


@pytest.mark.parametrize("row", [("a", 7, -1, 0), ("a", 7, -(2**31), 0), ("a", 1, 99, 0),
                                 ("a", 2, -5, 0), ("a", 3, 0, 0), ("a", 6, 2**31 - 1, 0)])
def test_unused_or_valid_child_index_is_accepted(engine, row):
    root = rec(None, leaf("a", "x"))
    expected = {"a": None} if row[1] == 3 else {"a": [] if row[1] in (2, 7) else "x"}
    assert children(engine, root, [row]) == expected


def test_iterables_are_accepted(engine):
    plans = iter([(iter(["id"]), (r for r in [("a", 1, 0, 0)]))])
    root = rec(None, leaf("a", "x"), attrs=[("id", "7")])
    tree = PlanTree(engine)
    address = tree.add(root)
    result = accel.plan_convert(address, build(plans))
    assert result == {"attributes": {"id": "7"}, "children": {"a": "x"}}


@pytest.mark.parametrize("names, expected", [
    (["item", "other", "item"], {"item": ["1", None], "other": None}),
    (["item", "Item"], {"item": "1", "Item": None}),
    (["a", "a", "a"], {"a": ["1", None, None]}),
    (["a\u00e9", "a\u00e9"], {"a\u00e9": ["1", None]}),
])
def test_shared_names_mark_rows_multi(engine, names, expected):
    # Observed through conversion: rows with multi set collect into a list.
    first = names[0]
    root = rec(None, leaf(first, "1"))
    got = children(engine, root, [(n, 1, 0, 0) for n in names])
    assert got == expected


def test_names_are_compared_up_to_a_nul(engine):
    # The UTF-8 copies end at the first NUL, so these two rows share a name
    # while keeping their own keys.
    root = rec(None, leaf("a", "1"), leaf("a", "2"))
    got = children(engine, root, [("a\0x", 1, 0, 0), ("a\0y", 1, 0, 0)])
    assert got == {"a\0x": ["1"], "a\0y": ["2"]}


def test_attribute_names_do_not_affect_multi(engine):
    root = rec(None, leaf("a", "x"), attrs=[("a", "1")])
    got = convert(engine, root, (("a", "a"), [("a", 1, 0, 0)]))
    assert got == {"attributes": {"a": None}, "children": {"a": "x"}}


class Marker:
    pass


def test_shape_owns_its_references():
    marker = Marker()
    ref = weakref.ref(marker)
    key = "".join(["ro", "w-key"])
    attr = "".join(["at", "tr-key"])
    before = sys.getrefcount(key), sys.getrefcount(attr)
    cap = build([((attr,), [(key, 1, 0, 0)])], marker)
    assert (sys.getrefcount(key), sys.getrefcount(attr)) == (before[0] + 1, before[1] + 1)
    del marker
    gc.collect()
    assert ref() is not None  # callback_type lives as long as the shape
    del cap
    gc.collect()
    assert ref() is None
    assert (sys.getrefcount(key), sys.getrefcount(attr)) == before


def test_failed_build_releases_what_it_took():
    marker = Marker()
    ref = weakref.ref(marker)
    key = "".join(["ke", "y"])
    before = sys.getrefcount(key)
    with pytest.raises(TypeError):
        build([((key,), [(key, 1, 0, 0)]), ((), [("x", 1, 0)])], marker)
    del marker
    gc.collect()
    assert ref() is None
    assert sys.getrefcount(key) == before


def test_one_shape_serves_many_conversions(engine):
    cap = build([((), [("a", 1, 0, 1)])])
    tree = PlanTree(engine)
    first = tree.add(rec(None, leaf("a", "1", number=1)))
    second = tree.add(rec(None, leaf("a", "2", number=2)))
    assert [accel.plan_convert(a, cap)["children"] for a in (first, second, first)] == [
        {"a": 1}, {"a": 2}, {"a": 1}]
