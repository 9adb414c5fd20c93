"""attrib, get, typed getters, keys/values/items and ReadOnlyDict."""

from __future__ import annotations

import ctypes
import gc
import sys
import threading

import pytest

from conftest import race
from fake_engine import FakeError, read_cstr
from fake_tree import FakeTree

EL = 0x1000


@pytest.fixture
def tree(engine):
    return FakeTree(engine)


def element(accel_module, tree, attrs, document=None):
    return accel_module.create(tree.element(b"e", attrs=attrs), None, document)


ATTRS = [(b"id", b"7"), (b"p:x", b"caf\xc3\xa9"), (b"empty", b""), (None, None)]


def test_attrib_and_lists_in_document_order(accel_module, tree):
    el = element(accel_module, tree, ATTRS)
    assert el.keys() == ["id", "p:x", "empty", ""]
    assert el.values() == ["7", "caf\u00e9", "", ""]
    assert el.items() == [("id", "7"), ("p:x", "caf\u00e9"), ("empty", ""), ("", "")]
    attrib = el.attrib
    assert isinstance(attrib, dict)
    assert f"{type(attrib).__module__}.{type(attrib).__qualname__}" == (
        "korvith._korvithaccel.ReadOnlyDict")
    assert type(attrib).__bases__ == (dict,)
    assert list(attrib.items()) == el.items()


def test_no_attributes(accel_module, tree):
    el = element(accel_module, tree, [])
    assert (el.attrib, el.keys(), el.values(), el.items()) == ({}, [], [], [])


def test_attrib_is_built_once(accel_module, engine, tree):
    el = element(accel_module, tree, ATTRS)
    first = el.attrib
    walks = engine.calls().count("element_first_attribute")
    assert el.attrib is first
    assert engine.calls().count("element_first_attribute") == walks == 1
    # keys/values/items walk the engine again and leave the cache alone.
    el.keys()
    assert engine.calls().count("element_first_attribute") == 2
    assert el.attrib is first


def test_equal_names(accel_module, tree):
    el = element(accel_module, tree, [(b"a", b"1"), (b"b", b"2"), (b"a", b"3")])
    assert el.keys() == ["a", "b", "a"]
    assert list(el.attrib.items()) == [("a", "3"), ("b", "2")]


@pytest.mark.parametrize(
    "mutate",
    [
        lambda d: d.__setitem__("id", "x"),
        lambda d: d.__delitem__("id"),
        lambda d: d.__setitem__("new", "x"),
        lambda d: sequence_set_item(d, 0, "x"),
    ],
)
def test_attrib_is_read_only(accel_module, tree, mutate):
    el = element(accel_module, tree, ATTRS)
    with pytest.raises(TypeError, match="^'attrib' is read-only$"):
        mutate(el.attrib)
    assert el.attrib["id"] == "7"


def test_attrib_inherited_mutators_change_the_cached_dict(accel_module, tree):
    el = element(accel_module, tree, ATTRS)
    el.attrib.update({"extra": "1"})
    assert el.attrib["extra"] == "1"
    assert "extra" not in el.keys()


def test_bad_value_utf8(accel_module, tree):
    el = element(accel_module, tree, [(b"ok", b"1"), (b"bad", b"\xff")])
    assert el.keys() == ["ok", "bad"]
    for call in (el.values, el.items, lambda: el.attrib, lambda: el.get("bad")):
        with pytest.raises(UnicodeDecodeError):
            call()
    assert el.get("ok") == "1"


def test_failed_attrib_caches_nothing(accel_module, tree):
    handle = tree.element(b"e", attrs=[(b"a", b"\xff")])
    el = accel_module.create(handle, None, None)
    with pytest.raises(UnicodeDecodeError):
        el.attrib
    node = tree.nodes[handle]
    attr, name, _ = node.attrs[0]
    node.attrs[0] = (attr, name, tree.engine.cstr(b"fixed"))
    assert el.attrib == {"a": "fixed"}


def test_items_calls(accel_module, engine, tree):
    handle = tree.element(b"e", attrs=[(b"a", b"1"), (b"b", b"2")])
    a1, a2 = (attr for attr, _, _ in tree.nodes[handle].attrs)
    engine.clear_log()
    assert accel_module.create(handle, None, None).items() == [("a", "1"), ("b", "2")]
    assert engine.log == [
        ("element_first_attribute", (handle,)),
        ("attribute_get_name", (a1,)), ("attribute_get_value", (handle, a1)),
        ("attribute_next", (a1,)),
        ("attribute_get_name", (a2,)), ("attribute_get_value", (handle, a2)),
        ("attribute_next", (a2,)),
    ]


def test_bad_name_utf8_fails_values(accel_module, tree):
    el = element(accel_module, tree, [(b"\xff", b"1")])
    with pytest.raises(UnicodeDecodeError):
        el.values()


def test_keys_decodes_no_values(accel_module, engine, tree):
    el = element(accel_module, tree, [(b"a", b"\xff")])
    assert el.keys() == ["a"]
    assert engine.calls("attribute_get_name", "attribute_get_value") == [
        "attribute_get_name", "attribute_get_value"]


def test_attrib_cache_race_keeps_one_dict(accel_module, engine, tree):
    el = element(accel_module, tree, [(b"a", b"1")])
    barrier = threading.Barrier(3)
    plain_first = engine._impl["element_first_attribute"]

    def first(h):
        barrier.wait(timeout=10)
        return plain_first(h)

    engine.on("element_first_attribute", first)
    results = race(3, lambda: el.attrib)
    cached = el.attrib
    assert cached == {"a": "1"}
    assert len(results) == 3 and all(r is cached for r in results)


def sequence_set_item(obj, index, value):
    api = ctypes.pythonapi.PySequence_SetItem
    api.argtypes = (ctypes.py_object, ctypes.c_ssize_t, ctypes.py_object)
    api.restype = ctypes.c_int
    return api(obj, index, value)


# -- get ---------------------------------------------------------------------

def record(engine, slot, answer):
    seen = []

    def fn(h, *strings):
        seen.append(tuple(read_cstr(s) or b"" for s in strings))
        return engine.cstr(answer)

    engine.on(slot, fn)
    return seen


@pytest.mark.parametrize(
    "name, slot, args",
    [
        ("plain", "element_attribute", (b"plain",)),
        ("p:x", "element_attribute", (b"p:x",)),
        ("{urn:u}a", "element_attribute_ns", (b"urn:u", b"a")),
        ("{}a", "element_attribute_ns", (b"", b"a")),
        ("{urn:u}", "element_attribute_ns", (b"urn:u", b"")),
        ("x{urn:u}a", "element_attribute", (b"x{urn:u}a",)),
    ],
)
def test_get_lookup_routes(accel_module, engine, name, slot, args):
    seen = record(engine, slot, b"value")
    el = accel_module.create(EL, None, None)
    assert el.get(name) == "value"
    assert seen == [args]


def test_get_unclosed_brace_returns_default(accel_module, engine):
    el = accel_module.create(EL, None, None)
    marker = object()
    assert el.get("{urn:u", marker) is marker
    assert engine.log == []


@pytest.mark.parametrize("name", ["{urn:u}a", "{urn:u", "{}a"])
def test_get_without_ns_slot_uses_whole_name(accel_module, engine, name):
    engine.null_slots.add("element_attribute_ns")
    engine.bind()
    seen = record(engine, "element_attribute", b"v")
    assert accel_module.create(EL, None, None).get(name) == "v"
    assert seen == [(name.encode(),)]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda el: el.get("k\x00x", "dflt"), "dflt"),
        (lambda el: el.get("{urn:u}k\x00x", "dflt"), "dflt"),
        (lambda el: el.get_int("k\x00x", 7), 7),
        (lambda el: el.get_float("k\x00x", 2.5), 2.5),
        (lambda el: el.get_bool("k\x00x", True), True),
    ],
)
def test_names_with_nul_find_nothing(accel_module, engine, call, expected):
    # Cut at the NUL, the name would find attribute "k"; no attribute can
    # carry such a name, so the default comes back and the engine is not asked.
    engine.on("element_attribute", lambda h, n: engine.cstr(b"1"))
    engine.on("element_attribute_int", lambda h, n, d: 1)
    el = accel_module.create(EL, None, None)
    assert call(el) == expected
    assert engine.log == []


def test_get_missing_returns_default(accel_module, engine):
    el = accel_module.create(EL, None, None)
    marker = object()
    assert el.get("x") is None
    assert el.get("x", marker) is marker
    assert el.get("{u}x", marker) is marker


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda el: el.get(5), TypeError),
        (lambda el: el.get(), TypeError),
        (lambda el: el.get("\ud800"), UnicodeEncodeError),
        (lambda el: el.get_int("n", "x"), TypeError),
        (lambda el: el.get_float("n", "x"), TypeError),
        (lambda el: el.get_int("\ud800"), UnicodeEncodeError),
    ],
)
def test_argument_errors_before_engine(accel_module, engine, call, error):
    with pytest.raises(error):
        call(accel_module.create(EL, None, None))
    assert engine.log == []


# -- typed getters -----------------------------------------------------------

@pytest.mark.parametrize(
    "method, slot, args, engine_answer, expected, sent_default",
    [
        ("get_int", "element_attribute_int", ("n",), 12, 12, 0),
        ("get_int", "element_attribute_int", ("n", -5), -5, -5, -5),
        ("get_int", "element_attribute_int", ("n", 2**31 - 1), 3, 3, 2**31 - 1),
        ("get_float", "element_attribute_double", ("f",), 1.5, 1.5, 0.0),
        ("get_float", "element_attribute_double", ("f", 2.5), 2.5, 2.5, 2.5),
        ("get_bool", "element_attribute_bool", ("b",), 1, True, 0),
        ("get_bool", "element_attribute_bool", ("b", "yes"), 0, False, 1),
        ("get_bool", "element_attribute_bool", ("b",), 7, True, 0),
    ],
)
def test_typed_getters(accel_module, engine, method, slot, args, engine_answer, expected,
                       sent_default):
    seen = []
    engine.on(slot, lambda h, name, d: seen.append((h, read_cstr(name), d)) or engine_answer)
    result = getattr(accel_module.create(EL, None, None), method)(*args)
    assert result == expected and type(result) is type(expected)
    assert seen == [(EL, args[0].encode(), sent_default)]


@pytest.mark.parametrize("method", ["get_int", "get_float", "get_bool"])
def test_typed_getters_refuse_braced_names(accel_module, engine, method):
    with pytest.raises(ValueError, match="^typed attribute getters take a plain name$"):
        getattr(accel_module.create(EL, None, None), method)("{urn:u}a")
    assert engine.log == []


def test_typed_getter_passes_prefixed_and_late_brace_names(accel_module, engine):
    seen = []
    engine.on("element_attribute_int", lambda h, name, d: seen.append(read_cstr(name)) or 1)
    el = accel_module.create(EL, None, None)
    el.get_int("p:n")
    el.get_int("n{x}")
    assert seen == [b"p:n", b"n{x}"]


@pytest.mark.parametrize(
    "default, present, expected",
    [
        (2**40, None, 2**40),       # missing: the full 64-bit default comes back
        (-(2**40), None, -(2**40)),
        (2**40, 17, 17),            # present: the engine's value
        (2**31, 0, 0),
        (2**31, 1, 1),
    ],
)
def test_get_int_default_beyond_32_bits(accel_module, engine, default, present, expected):
    # The engine answers the attribute's value, or the default it was handed.
    seen = []
    engine.on("element_attribute_int",
              lambda h, n, d: seen.append(d) or (d if present is None else present))
    assert accel_module.create(EL, None, None).get_int("n", default) == expected
    assert seen == [0, 1]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda el: el.attrib, None),
        (lambda el: el.get("a", "dflt"), None),
        (lambda el: el.get_int("a", 7), 7),
        (lambda el: el.get_int("a", 2**40), 2**40),
        (lambda el: el.get_float("a", 1.25), 1.25),
        (lambda el: el.get_bool("a", 1), True),
        (lambda el: el.get_bool("a"), False),
        (lambda el: el.keys(), []),
        (lambda el: el.values(), []),
        (lambda el: el.items(), []),
    ],
)
def test_no_element_results(accel_module, engine, call, expected):
    result = call(accel_module.create(0, None, None))
    assert result == expected and type(result) is type(expected)
    assert engine.log == []


def test_null_handle_hides_cached_attrib(accel_module, tree):
    el = element(accel_module, tree, ATTRS)
    assert el.attrib
    el._raw = None
    assert el.attrib is None


@pytest.mark.parametrize(
    "call",
    [lambda el: el.attrib, lambda el: el.get("a"), lambda el: el.get_int("a"),
     lambda el: el.get_float("a"), lambda el: el.get_bool("a"), lambda el: el.keys(),
     lambda el: el.values(), lambda el: el.items()],
)
def test_poisoned(accel_module, engine, tree, doc, call):
    el = element(accel_module, tree, ATTRS, doc)
    el.attrib
    accel_module.invalidate(doc._accel_registry)
    engine.clear_log()
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        call(el)
    assert engine.log == []


def test_poisoned_still_parses_arguments_first(accel_module, doc):
    el = accel_module.create(EL, None, doc)
    accel_module.invalidate(doc._accel_registry)
    with pytest.raises(TypeError):
        el.get(1)


def test_before_bind(unbound):
    out = unbound("""
        el = accel.create(0x1000, None, None)
        print([el.attrib, el.get("a", 1), el.get_int("a", 7), el.get_float("a", 0.5),
               el.get_bool("a", 1), el.keys(), el.values(), el.items()])
    """)
    assert out.strip() == "[None, None, 7, 0.5, True, [], [], []]"


def test_freeing_attrib_dicts_releases_each_reference_once(accel_module, tree):
    el = element(accel_module, tree, ATTRS)
    rodict = type(el.attrib)
    value = "only here"

    class Sub(rodict):
        pass

    before = sys.getrefcount(rodict), sys.getrefcount(value)
    for _ in range(200):
        d = element(accel_module, tree, ATTRS).attrib
        assert type(d) is rodict and d["id"] == "7"
        s = Sub({"k": value})
        assert s["k"] is value
        del d, s
    gc.collect()
    # The type is held once per dict and given back once as each is freed;
    # a subclass instance frees through the same path and gives back its
    # own type and its values.
    assert (sys.getrefcount(rodict), sys.getrefcount(value)) == before
    refs = sys.getrefcount(Sub)
    Sub({"k": value})
    assert sys.getrefcount(Sub) == refs
