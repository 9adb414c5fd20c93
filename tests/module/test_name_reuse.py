"""Names, tags and short texts read through a document's registry stay right
when the engine reuses an address for other bytes (fake engine)."""

from __future__ import annotations

import ctypes

import pytest

from fake_tree import FakeTree


# Reads before a rewrite: a document's cache keeps strings from its second
# miss on, so the rewrite happens while the old string is kept.
READS = 3


def rewrite(address: int, data: bytes) -> None:
    """Puts `data` and a terminator at `address` (a buffer made big enough)."""
    ctypes.memmove(address, data + b"\0", len(data) + 1)


@pytest.fixture
def tree(engine):
    return FakeTree(engine)


def wrapper(accel_module, handle, doc):
    return accel_module.create(handle, None, doc)


@pytest.mark.parametrize("first, second", [
    (b"id", b"ix"),            # same length
    (b"name", b"na"),          # shorter: the old bytes run on past the new end
    (b"na", b"name"),          # longer than the string kept for the address
    (b"id", b"caf\xc3\xa9"),   # non-ASCII
    (b"{urn:a}x", b"{urn:b}x"),
    (b"", b"e"),
])
def test_attribute_name_rewritten_at_the_same_address(accel_module, engine, tree, doc,
                                                      first, second):
    name = engine.cstr(first + b"\0" * 8)  # room for the longer name
    el = tree.element(b"e", attrs=[(b"k", b"1")])
    node = tree.nodes[el]
    node.attrs[0] = (node.attrs[0][0], name, node.attrs[0][2])
    for _ in range(READS):
        assert list(wrapper(accel_module, el, doc).attrib) == [first.decode()]
    rewrite(name, second)
    fresh = wrapper(accel_module, el, doc)
    assert list(fresh.attrib) == [second.decode()]
    assert fresh.keys() == [second.decode()]
    assert fresh.items() == [(second.decode(), "1")]


def test_name_rewritten_to_bad_utf8_raises_instead_of_reusing(accel_module, engine, tree, doc):
    el = tree.element(b"e", attrs=[(b"ok", b"1")])
    name = tree.nodes[el].attrs[0][1]
    for _ in range(READS):
        assert wrapper(accel_module, el, doc).attrib == {"ok": "1"}
    rewrite(name, b"\xff")
    with pytest.raises(UnicodeDecodeError):
        wrapper(accel_module, el, doc).attrib
    rewrite(name, b"ok")
    assert wrapper(accel_module, el, doc).attrib == {"ok": "1"}


@pytest.mark.parametrize("uri, name, uri2, name2, tag2", [
    (b"urn:x", b"item", b"urn:y", b"item", "{urn:y}item"),
    (b"urn:x", b"item", b"urn:x", b"itex", "{urn:x}itex"),
    (b"urn:xy", b"item", b"urn:x", b"item", "{urn:x}item"),
    (b"urn:x", b"it", b"urn:x}i", b"t", "{urn:x}i}t"),  # same Clark bytes, other split
    (None, b"item", None, b"iten", "iten"),
    (b"urn:x", b"item", b"urn:\xff", b"item", "{urn:\ufffd}item"),
])
def test_tag_rewritten_at_the_same_addresses(accel_module, engine, doc,
                                             uri, name, uri2, name2, tag2):
    name_c = engine.cstr(name + b"\0" * 8)
    uri_c = engine.cstr(uri + b"\0" * 8) if uri is not None else None
    engine.on("element_name", lambda h: name_c)
    engine.on("element_namespace", lambda h: uri_c)
    first = "{%s}%s" % (uri.decode(), name.decode()) if uri is not None else name.decode()
    for _ in range(READS):
        assert accel_module.create(0x1000, None, doc).tag == first
    rewrite(name_c, name2)
    if uri is not None:
        rewrite(uri_c, uri2)
    assert accel_module.create(0x1000, None, doc).tag == tag2
    assert accel_module.create(0x1000, None, doc).tag == tag2  # and again, cached or not


@pytest.mark.parametrize("value, other", [
    (b"none", b"full"),
    (b"\n    ", b"\n     "),
    (b"x" * 32, b"x" * 31 + b"y"),         # the longest texts kept
    (b"x" * 33, b"x" * 32 + b"y"),         # decoded directly
    (b"caf\xc3\xa9", b"caf\xc3\xa8"),
    (b"", b"a"),
])
def test_values_and_texts_follow_their_bytes(accel_module, engine, tree, doc, value, other):
    text = tree.text(value + b"\0")
    el = tree.element(b"e", children=[text], attrs=[(b"a", value + b"\0"), (b"b", other)])
    content = tree.nodes[text].content
    for _ in range(READS):
        got = wrapper(accel_module, el, doc)
        assert (got.text, got.attrib) == (value.decode(),
                                          {"a": value.decode(), "b": other.decode()})
    rewrite(content, other)
    assert wrapper(accel_module, el, doc).text == other.decode()
    rewrite(content, b"\xff")
    with pytest.raises(UnicodeDecodeError):
        wrapper(accel_module, el, doc).text


def test_many_names_through_one_registry(accel_module, tree, doc):
    attrs = [(f"n{i}".encode(), f"v{i % 7}".encode()) for i in range(300)]
    el = tree.element(b"e", attrs=attrs)
    expected = {f"n{i}": f"v{i % 7}" for i in range(300)}
    for _ in range(3):
        got = wrapper(accel_module, el, doc)
        assert got.attrib == expected
        assert list(got.attrib) == [f"n{i}" for i in range(300)]


def test_invalidate_keeps_other_registries_answering(accel_module, tree, doc):
    from conftest import Doc
    el = tree.element(b"e", attrs=[(b"k", b"v")])
    assert wrapper(accel_module, el, doc).attrib == {"k": "v"}
    accel_module.invalidate(doc._accel_registry)
    other = Doc()
    assert wrapper(accel_module, el, other).attrib == {"k": "v"}
    assert wrapper(accel_module, el, other).text is None


def test_constructor_hooks_on_the_dict_type_still_run(accel_module, tree, doc):
    el = tree.element(b"e", attrs=[(b"k", b"v")])
    rodict = type(wrapper(accel_module, el, doc).attrib)
    seen = []

    def init(self, *args, **kwargs):
        seen.append((args, kwargs))

    rodict.__init__ = init
    try:
        got = wrapper(accel_module, el, doc).attrib
    finally:
        del rodict.__init__
    assert (type(got), got, seen) == (rodict, {"k": "v"}, [((), {})])
    assert wrapper(accel_module, el, doc).attrib == {"k": "v"}
    assert len(seen) == 1
