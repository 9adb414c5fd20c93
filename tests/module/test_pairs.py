"""attribute_pairs: the pair form and the namespaced snapshot form."""

from __future__ import annotations

import ctypes

import pytest

from fake_engine import FakeError

EL = 0x1000
ALL_ONES = 2**64 - 1


def serve_pairs(engine, pairs, report=None):
    """element_attribute_pairs filling (name, value) pointers."""
    engine.returns("attribute_count", len(pairs))

    def fill(el, names, values, extra, cap):
        assert extra is None or not extra
        n = min(cap, len(pairs))
        for i in range(n):
            names[i] = engine.cstr(pairs[i][0])
            values[i] = engine.cstr(pairs[i][1])
        return n if report is None else report

    engine.on("element_attribute_pairs", fill)


def layout(quads):
    """Four byte buffers and four offset lists for (name, value, prefix, uri)."""
    bufs, offs = [b"", b"", b"", b""], [[], [], [], []]
    for quad in quads:
        for b, text in enumerate(quad):
            if text is None:
                offs[b].append(ALL_ONES)
            else:
                offs[b].append(len(bufs[b]) + 1)  # leave a gap: offsets are honoured
                bufs[b] += b"#" + text + b"\x00"
    return bufs, offs


def serve_snapshot(engine, quads, fills=None, sizes=None):
    """A snapshot engine. `fills` scripts fill results, `sizes` sizing answers."""
    bufs, offs = layout(quads)
    need = max(max(len(b) for b in bufs), 1)
    engine.returns("attribute_count", len(quads))
    fills = list(fills or [])
    sizes = list(sizes or [])
    capacities = []

    def snapshot(el, *args):
        groups = [args[i:i + 3] for i in range(0, 12, 3)]
        if all(not buf for buf, _, _ in groups):
            return sizes.pop(0) if sizes else need
        capacities.append(groups[0][1])
        if fills:
            return fills.pop(0)
        if any(cap < need for _, cap, _ in groups):
            return ALL_ONES
        for (buf, cap, off), data, offsets in zip(groups, bufs, offs):
            ctypes.memmove(buf, data, len(data))
            for i, o in enumerate(offsets):
                off[i] = o
        return 0

    engine.on("element_attributes_snapshot", snapshot)
    return capacities


def test_pairs(accel_module, engine):
    serve_pairs(engine, [(b"a", b"1"), (b"p:b", b"caf\xc3\xa9"), (b"c", b"")])
    el = accel_module.create(EL, None, None)
    assert accel_module.attribute_pairs(el, False) == [("a", "1"), ("p:b", "caf\u00e9"),
                                                       ("c", "")]
    assert engine.calls() == ["attribute_count", "element_attribute_pairs"]
    assert engine.args_of("element_attribute_pairs")[0][4] == 3


@pytest.mark.parametrize("report, expected", [(1, [("a", "1")]), (0, []),
                                              (99, [("a", "1"), ("b", "2")])])
def test_pairs_follow_reported_count_within_arrays(accel_module, engine, report, expected):
    serve_pairs(engine, [(b"a", b"1"), (b"b", b"2")], report=report)
    assert accel_module.attribute_pairs(accel_module.create(EL, None, None), 0) == expected


def test_pairs_null_strings_read_empty(accel_module, engine):
    serve_pairs(engine, [(None, None)])
    assert accel_module.attribute_pairs(accel_module.create(EL, None, None), 0) == [("", "")]


@pytest.mark.parametrize("flag", [False, 0, "", None])
def test_flag_by_truth_value_selects_pairs(accel_module, engine, flag):
    serve_pairs(engine, [(b"a", b"1")])
    assert accel_module.attribute_pairs(accel_module.create(EL, None, None), flag) == [("a", "1")]


def test_namespaced(accel_module, engine):
    capacities = serve_snapshot(engine, [
        (b"a", b"1", None, None),
        (b"x:b", b"2", b"x", b"urn:x"),
        (b"c", b"3", None, b"urn:default"),
        (b"d", b"caf\xc3\xa9", b"", b""),
    ])
    result = accel_module.attribute_pairs(accel_module.create(EL, None, None), True)
    assert result == [("a", "1", None, None), ("x:b", "2", "x", "urn:x"),
                      ("c", "3", None, "urn:default"), ("d", "caf\u00e9", "", "")]
    assert engine.calls() == ["attribute_count", "element_attributes_snapshot",
                              "element_attributes_snapshot"]
    assert len(capacities) == 1


def test_namespaced_sizing_call_has_no_buffers(accel_module, engine):
    serve_snapshot(engine, [(b"a", b"1", None, None)])
    accel_module.attribute_pairs(accel_module.create(EL, None, None), 1)
    sizing = engine.args_of("element_attributes_snapshot")[0]
    assert sizing[0] == EL
    assert [bool(a) for a in sizing[1:]] == [False] * 12


@pytest.mark.parametrize("first_size", [0, ALL_ONES, 2])
def test_too_small_then_regrown_by_reported_size(accel_module, engine, first_size):
    capacities = serve_snapshot(engine, [(b"name", b"value", None, None)],
                                sizes=[first_size])
    result = accel_module.attribute_pairs(accel_module.create(EL, None, None), True)
    assert result == [("name", "value", None, None)]
    expected_first = 0 if first_size in (0, ALL_ONES) else first_size
    assert capacities == [expected_first, 7]  # "#value\0" is 7 bytes


def test_all_ones_forever_gives_up_after_four_fills(accel_module, engine):
    capacities = serve_snapshot(engine, [(b"a", b"1", None, None)], fills=[ALL_ONES] * 10,
                                sizes=[3, 5, 9, 17])
    with pytest.raises(FakeError, match="^attribute snapshot failed$"):
        accel_module.attribute_pairs(accel_module.create(EL, None, None), True)
    # sizing, fill, then three rounds of re-sizing and filling again: four
    # of each, every fill sized by the sizing answer just before it
    kinds = ["size" if not args[1] else "fill"
             for args in engine.args_of("element_attributes_snapshot")]
    assert kinds == ["size", "fill"] * 4
    assert capacities == [3, 5, 9, 17]


@pytest.mark.parametrize("code", [1, 2, ALL_ONES - 1])
def test_other_fill_results_fail_at_once(accel_module, engine, code):
    serve_snapshot(engine, [(b"a", b"1", None, None)], fills=[code])
    with pytest.raises(FakeError, match="^attribute snapshot failed$"):
        accel_module.attribute_pairs(accel_module.create(EL, None, None), True)
    assert len(engine.calls("element_attributes_snapshot")) == 2


def test_offsets_outside_the_buffer_are_refused(accel_module, engine):
    engine.returns("attribute_count", 1)

    def snapshot(el, nb, ncap, noff, vb, vcap, voff, pb, pcap, poff, ub, ucap, uoff):
        if not nb:
            return 4
        ctypes.memmove(nb, b"abcd", 4)  # no terminator inside the buffer
        ctypes.memmove(vb, b"v\x00", 2)
        noff[0], voff[0], poff[0], uoff[0] = 0, 0, ALL_ONES, 4
        return 0

    engine.on("element_attributes_snapshot", snapshot)
    with pytest.raises(FakeError, match="^attribute snapshot failed$"):
        accel_module.attribute_pairs(accel_module.create(EL, None, None), True)


def test_capacity_zero_fill_success_is_refused(accel_module, engine):
    serve_snapshot(engine, [(b"a", b"1", None, None)], fills=[0], sizes=[0])
    with pytest.raises(FakeError, match="^attribute snapshot failed$"):
        accel_module.attribute_pairs(accel_module.create(EL, None, None), True)


@pytest.mark.parametrize("quad", [(b"\xff", b"1", None, None), (b"a", b"\xff", None, None),
                                  (b"a", b"1", b"\xff", None), (b"a", b"1", None, b"\xff")])
def test_namespaced_invalid_utf8(accel_module, engine, quad):
    serve_snapshot(engine, [(b"ok", b"ok", None, None), quad])
    with pytest.raises(UnicodeDecodeError):
        accel_module.attribute_pairs(accel_module.create(EL, None, None), True)


def test_pairs_invalid_utf8(accel_module, engine):
    serve_pairs(engine, [(b"a", b"\xfe")])
    with pytest.raises(UnicodeDecodeError):
        accel_module.attribute_pairs(accel_module.create(EL, None, None), False)


@pytest.mark.parametrize("flag", [False, True])
def test_no_attributes_no_buffer_calls(accel_module, engine, flag):
    engine.returns("attribute_count", 0)
    assert accel_module.attribute_pairs(accel_module.create(EL, None, None), flag) == []
    assert engine.calls() == ["attribute_count"]


@pytest.mark.parametrize("flag", [False, True])
def test_all_ones_attribute_count_is_memory_error(accel_module, engine, flag):
    engine.returns("attribute_count", ALL_ONES)
    with pytest.raises(MemoryError):
        accel_module.attribute_pairs(accel_module.create(EL, None, None), flag)
    assert engine.calls() == ["attribute_count"]


@pytest.mark.parametrize(
    "slot, flag",
    [("attribute_count", False), ("element_attribute_pairs", False),
     ("element_attributes_snapshot", True)],
)
def test_null_slots_raise(accel_module, engine, slot, flag):
    engine.null_slots.add(slot)
    engine.bind()
    engine.returns("attribute_count", 1)
    with pytest.raises(NotImplementedError, match=f"^attribute_pairs: the engine has no {slot}$"):
        accel_module.attribute_pairs(accel_module.create(EL, None, None), flag)


@pytest.mark.parametrize("arg", [None, 1, "e", object()])
def test_rejects_non_elements(accel_module, engine, arg):
    with pytest.raises(TypeError, match="^expected an Element$"):
        accel_module.attribute_pairs(arg, True)
    assert engine.log == []


def test_subclass_accepted(accel_module, engine):
    serve_pairs(engine, [(b"a", b"1")])

    class Sub(accel_module.Element):
        pass

    el = Sub()
    el._raw = EL
    assert accel_module.attribute_pairs(el, False) == [("a", "1")]


@pytest.mark.parametrize("flag", [False, True])
def test_poisoned_and_empty(accel_module, engine, doc, flag):
    el = accel_module.create(EL, None, doc)
    assert accel_module.attribute_pairs(accel_module.create(0, None, None), flag) == []
    accel_module.invalidate(doc._accel_registry)
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        accel_module.attribute_pairs(el, flag)
    assert engine.log == []


def test_before_bind(unbound):
    out = unbound("""
        el = accel.create(0x1000, None, None)
        print(accel.attribute_pairs(el, True), accel.attribute_pairs(el, False))
    """)
    assert out.strip() == "[] []"
