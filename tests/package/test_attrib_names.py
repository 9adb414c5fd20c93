"""attrib, tag and text of every element match lxml's on varied documents,
after edits that add, rename, remove and move attributes, across many
documents parsed and closed one after another, and under threads."""

from __future__ import annotations

import threading

import pytest
from lxml import etree

import korvith

MANY = b"<r>" + b"".join(
    b'<e%d a%d="v%d" b="%d" xmlns:p%d="urn:%d" p%d:c="w"/>' % ((i,) * 3 + (i % 5,) + (i,) * 3)
    for i in range(300)) + b"</r>"

DOCUMENTS = {
    "plain": b'<a x="1" y="2"><b x="3">t</b><b/>tail</a>',
    "namespaced": (b'<r xmlns:p="urn:p" xmlns:q="urn:q" p:k="1" q:k="2" k="3">'
                   b'<p:c p:k="4" q:k="5"/><q:c k="6" q:k="7"/></r>'),
    "default_namespace": (b'<r xmlns="urn:d" a="1"><c b="2"><d xmlns="" e="3">x</d></c>'
                          b'<c xmlns="urn:e" f="4"/></r>'),
    "empty_namespace_prefix_reuse": (b'<r xmlns:p="urn:1"><c xmlns:p="urn:2" p:a="x"/>'
                                     b'<c p:a="y"/></r>'),
    "xml_lang": (b'<r xml:lang="en" xml:space="preserve"><c xml:lang="de">Hallo</c>'
                 b'<c xml:id="i1"> </c></r>'),
    "non_ascii": ('<r caf\u00e9="cr\u00e8me" \u540d="\u5024" xmlns:\u00fc="urn:u">'
                  '<\u00fc:\u00e9l \u00fc:\u00e5="\U0001f600">\u00e9t\u00e9</\u00fc:\u00e9l>'
                  '<c v="\u00e9"/><c v="\u00e8"/></r>').encode(),
    "entities_and_cdata": (b'<!DOCTYPE r [<!ENTITY e "ent">]><r a="&e;&amp;&lt;" b="&#233;">'
                           b'<![CDATA[cd]]><c>&e;</c><c><![CDATA[x]]>y</c></r>'),
    "empty_values_and_text": b'<r a="" b=" "><c></c><c> </c><c>\n  </c></r>',
    "many_distinct_names": MANY,
    "many_values": b"<r>" + b"".join(
        b'<c v="%d" w="x%d" t="%s">%d</c>' % (i, i % 40, b"s" * (i % 45), i % 90)
        for i in range(400)) + b"</r>",
    "long_names": (b'<r xmlns:l="urn:' + b"u" * 300 + b'"><l:' + b"n" * 300 + b' l:' +
                   b"a" * 300 + b'="v"/></r>'),
}


def snapshot_k(root) -> list:
    return [(el.tag, list(el.attrib.items()), el.text, el.items()) for el in root.iter()]


def snapshot_l(root) -> list:
    return [(el.tag, list(el.attrib.items()), el.text, list(el.attrib.items()))
            for el in root.iter(etree.Element)]


@pytest.mark.parametrize("data", DOCUMENTS.values(), ids=DOCUMENTS.keys())
def test_every_element_matches_lxml(data: bytes) -> None:
    expected = snapshot_l(etree.fromstring(data))
    with korvith.parse(data) as doc:
        assert snapshot_k(doc.root) == expected
        assert snapshot_k(doc.root) == expected  # fresh wrappers, filled caches
        held = list(doc.root.iter())
        assert [(el.tag, dict(el.attrib)) for el in held] == [(t, dict(a)) for t, a, _, _ in
                                                             expected]


def test_attrib_type_and_refusals_are_unchanged() -> None:
    with korvith.parse(b'<r b="2" a="1"/>') as doc:
        root = doc.root
        attrib = root.attrib
        assert type(attrib).__qualname__ == "ReadOnlyDict"
        assert type(attrib).__module__ == "korvith._korvithaccel"
        assert type(attrib).__bases__ == (dict,)
        assert list(attrib) == ["b", "a"]
        assert root.attrib is attrib
        with pytest.raises(TypeError, match="^'attrib' is read-only$"):
            attrib["a"] = "x"
        with pytest.raises(TypeError, match="^'attrib' is read-only$"):
            del attrib["a"]
        assert attrib == {"b": "2", "a": "1"}


def test_equal_names_keep_the_first_place_and_the_last_value() -> None:
    # Two prefixes bound to one URI give one Clark name twice (libxml2
    # reports the error and keeps both when recovering).
    data = b'<r xmlns:p="urn:u" xmlns:q="urn:u" p:x="1" z="0" q:x="2"/>'
    with korvith.parse(data, recover=True) as doc:
        assert doc.root.keys() == ["{urn:u}x", "z", "{urn:u}x"]
        assert list(doc.root.attrib.items()) == [("{urn:u}x", "2"), ("z", "0")]


def _set(k, l, key, value):
    k.set(key, value)
    l.set(key, value)


def _unset(k, l, key):
    k.unset(key)
    l.attrib.pop(key, None)


EDITS = {
    "set_existing": lambda k, l: _set(k, l, "a0", "new"),
    "add_plain": lambda k, l: _set(k, l, "fresh", "1"),
    "add_namespaced": lambda k, l: _set(k, l, "{urn:new}fresh", "2"),
    "add_non_ascii": lambda k, l: _set(k, l, "n\u00e9w", "\u00e9"),
    "remove": lambda k, l: _unset(k, l, "b"),
    "remove_namespaced": lambda k, l: _unset(k, l, "{urn:0}c"),
    "remove_then_add_other": lambda k, l: (_unset(k, l, "a0"), _set(k, l, "z9", "q")),
    "clear": lambda k, l: (k.clear(), l.clear()),
    "attrs_update": lambda k, l: (k.attrs.update({"b": "u", "x": "y"}),
                                  l.attrib.update({"b": "u", "x": "y"})),
    "rename_tag": lambda k, l: (setattr(k, "tag", "{urn:t}renamed"),
                                setattr(l, "tag", "{urn:t}renamed")),
    "text": lambda k, l: (setattr(k, "text", "\n    "), setattr(l, "text", "\n    ")),
}


@pytest.mark.parametrize("edit", EDITS.values(), ids=EDITS.keys())
def test_attrib_is_right_after_edits(edit) -> None:
    data = b'<r><e0 a0="v0" b="0" xmlns:p0="urn:0" p0:c="w"/><e1 a1="v1" b="1"/></r>'
    lroot = etree.fromstring(data)
    with korvith.parse(data) as doc:
        held = list(doc.root.iter())
        assert snapshot_k(doc.root) == snapshot_l(lroot)
        for k, l in zip(held[1:], list(lroot.iter(etree.Element))[1:]):
            edit(k, l)
        expected = snapshot_l(lroot)
        assert snapshot_k(doc.root) == expected
        assert [(el.tag, dict(el.attrib)) for el in held] == [(t, dict(a)) for t, a, _, _ in
                                                             expected]


def test_moving_elements_between_documents() -> None:
    source_data = b'<s xmlns:m="urn:m"><c m:a="1" b="2">x</c><c m:a="3"/></s>'
    target_data = b'<t xmlns:m="urn:other"><d m:a="9"/></t>'
    lsource, ltarget = etree.fromstring(source_data), etree.fromstring(target_data)
    source, target = korvith.parse(source_data), korvith.parse(target_data)
    with target:
        with source:
            assert snapshot_k(source.root) == snapshot_l(lsource)
            assert snapshot_k(target.root) == snapshot_l(ltarget)
            moved = source.root[0]
            target.root.append(moved)
            ltarget.append(lsource[0])
            moved.set("{urn:m}new", "n")
            ltarget[1].set("{urn:m}new", "n")
        # The source is closed: its names are gone, the moved element's stay.
        assert snapshot_k(target.root) == snapshot_l(ltarget)
        assert dict(moved.attrib) == {"{urn:m}a": "1", "b": "2", "{urn:m}new": "n"}


def test_closed_documents_never_lend_names_to_new_ones() -> None:
    # Each document has other names, tags and values at the same places, so
    # a name kept from a closed document would show up here.
    for i in range(120):
        data = (b'<r%d xmlns:p="urn:%d"><c%d a%d="v%d" p:b%d="%d">t%d</c%d></r%d>'
                % ((i,) * 10))
        expected = snapshot_l(etree.fromstring(data))
        doc = korvith.parse(data)
        try:
            assert snapshot_k(doc.root) == expected
        finally:
            doc.close()
        root = korvith.fromstring(data)
        assert snapshot_k(root) == expected


def test_threads_read_one_document_exactly() -> None:
    data = DOCUMENTS["many_values"] + b""
    data = data.replace(b"<r>", b'<r xmlns:q="urn:q">').replace(b'<c v=', b'<c q:z="1" v=')
    expected = snapshot_l(etree.fromstring(data))
    results: list[bool] = []
    errors: list[BaseException] = []
    with korvith.parse(data) as doc:
        barrier = threading.Barrier(4)

        def read() -> None:
            try:
                barrier.wait()
                for _ in range(5):
                    results.append(snapshot_k(doc.root) == expected)
            except BaseException as exc:  # reported below
                errors.append(exc)

        threads = [threading.Thread(target=read) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []
    assert results == [True] * 20
