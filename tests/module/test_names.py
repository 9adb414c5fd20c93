"""tag, namespace, prefix and sourceline against the fake engine."""

from __future__ import annotations

import ctypes
import threading

from hypothesis import HealthCheck, given, settings, strategies as st

import pytest

from conftest import race
from fake_engine import FakeError

EL = 0x1000


@pytest.fixture
def el(accel_module):
    return accel_module.create(EL, None, None)


def script(engine, name=None, namespace=None, prefix=None):
    engine.on("element_name", lambda h: engine.cstr(name))
    engine.on("element_namespace", lambda h: engine.cstr(namespace))
    engine.on("element_prefix_fn", lambda h: engine.cstr(prefix))


@pytest.mark.parametrize(
    "name, namespace, tag",
    [
        (b"item", None, "item"),
        (b"item", b"urn:x", "{urn:x}item"),
        (b"item", b"", "{}item"),
        (None, b"urn:x", "{urn:x}"),
        (None, None, ""),
        (b"caf\xc3\xa9", b"urn:\xc3\xa9", "{urn:\u00e9}caf\u00e9"),
        (b"item", b"urn:\xff", "{urn:\ufffd}item"),  # formatter replaces bad bytes
        (b"a\xffb", b"urn:x", "{urn:x}a\ufffdb"),
        (b"a\xe2\x82", b"urn:\xe2\x82", "{urn:\ufffd}a\ufffd"),  # truncated at the ends
        (b"\x82a", b"\xf0\x9f", "{\ufffd}\ufffda"),
        (b"n", b"u" * 300 + b"\xff", "{" + "u" * 300 + "\ufffd}n"),  # past the stack buffer
    ],
)
def test_tag_clark_notation(engine, el, name, namespace, tag):
    script(engine, name, namespace)
    assert el.tag == tag
    assert sorted(engine.calls()) == ["element_name", "element_namespace"]  # once each
    assert engine.args_of("element_name") == [(EL,)]


def from_format(uri: bytes, name: bytes) -> str:
    api = ctypes.pythonapi.PyUnicode_FromFormat
    api.restype = ctypes.py_object
    return api(b"{%s}%s", ctypes.c_char_p(uri), ctypes.c_char_p(name))


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(uri=st.binary().filter(lambda b: b"\0" not in b),
       name=st.binary().filter(lambda b: b"\0" not in b))
def test_tag_matches_the_interpreter_formatter(accel_module, engine, uri, name):
    script(engine, name, uri)
    assert accel_module.create(EL, None, None).tag == from_format(uri, name)


def test_tag_is_cached_as_the_same_object(engine, el):
    script(engine, b"item", b"urn:x")
    first = el.tag
    assert el.tag is first
    assert sorted(engine.calls()) == ["element_name", "element_namespace"]  # once each
    # The cache outlives the handle; the other getters do not.
    el._raw = None
    assert el.tag is first
    assert (el.namespace, el.prefix, el.sourceline) == (None, None, None)


def test_tag_invalid_utf8_without_namespace_raises_and_caches_nothing(engine, el):
    script(engine, b"bad\xff", None)
    with pytest.raises(UnicodeDecodeError):
        el.tag
    script(engine, b"good", None)
    assert el.tag == "good"


@pytest.mark.parametrize(
    "attr, slot, engine_value, expected",
    [
        ("namespace", "element_namespace", b"urn:x", "urn:x"),
        ("namespace", "element_namespace", b"", ""),
        ("namespace", "element_namespace", None, None),
        ("prefix", "element_prefix_fn", b"p", "p"),
        ("prefix", "element_prefix_fn", b"", ""),
        ("prefix", "element_prefix_fn", None, None),
        ("namespace", "element_namespace", b"a\x00b", "a"),
    ],
)
def test_namespace_and_prefix(engine, el, attr, slot, engine_value, expected):
    engine.on(slot, lambda h: engine.cstr(engine_value))
    assert getattr(el, attr) == expected
    assert engine.calls() == [slot]


@pytest.mark.parametrize("attr", ["namespace", "prefix"])
def test_namespace_and_prefix_decode_strictly(engine, el, attr):
    script(engine, b"n", b"urn:\xff", b"p\xff")
    with pytest.raises(UnicodeDecodeError):
        getattr(el, attr)


def test_bad_namespace_replaced_in_tag_but_raises_from_namespace(engine, el):
    script(engine, b"n", b"urn:\xff")
    assert el.tag == "{urn:\ufffd}n"
    with pytest.raises(UnicodeDecodeError):
        el.namespace


@pytest.mark.parametrize("line", [0, 1, 42, -1, -(2**31), 2**31 - 1])
def test_sourceline_passes_engine_value(engine, el, line):
    engine.on("element_as_node", lambda h: 0x5000)
    engine.on("node_line", lambda node: line)
    assert el.sourceline == line
    assert engine.log == [("element_as_node", (EL,)), ("node_line", (0x5000,))]


@pytest.mark.parametrize("attr", ["tag", "namespace", "prefix", "sourceline"])
def test_null_handle_gives_none_without_engine(engine, accel_module, attr):
    el = accel_module.create(0, None, None)
    assert getattr(el, attr) is None
    assert engine.log == []


def test_null_handle_tag_is_not_cached(engine, accel_module):
    script(engine, b"later")
    el = accel_module.create(0, None, None)
    assert el.tag is None
    el._raw = EL
    assert el.tag == "later"
    assert sorted(engine.calls()) == ["element_name", "element_namespace"]  # once each


@pytest.mark.parametrize("attr", ["tag", "namespace", "prefix", "sourceline"])
def test_poisoned_raises_even_when_cached(engine, accel_module, doc, attr):
    script(engine, b"item")
    el = accel_module.create(EL, None, doc)
    assert el.tag == "item"
    accel_module.invalidate(doc._accel_registry)
    engine.clear_log()
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        getattr(el, attr)
    assert engine.log == []


def test_before_bind_all_none(unbound):
    out = unbound("""
        el = accel.create(0x1000, None, None)
        print([el.tag, el.namespace, el.prefix, el.sourceline])
    """)
    assert out.strip() == "[None, None, None, None]"


def test_racing_first_reads_keep_one_tag(engine, el):
    # The engine call releases the interpreter between building and caching,
    # so several threads build their own tag; all must get the cached one.
    barrier = threading.Barrier(4)
    engine.on("element_namespace", lambda h: None)

    def name(h):
        barrier.wait(timeout=10)
        return engine.cstr(b"raced")

    engine.on("element_name", name)
    results = race(4, lambda: el.tag)
    assert len(results) == 4
    cached = el.tag
    assert cached == "raced"
    # Losers of the race return the winner's object, not their own.
    assert all(r is cached for r in results)
    assert engine.calls().count("element_name") == 4
