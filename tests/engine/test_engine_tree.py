"""Tree access on real documents: names, namespaces, node kinds, text, navigation, lines."""

from __future__ import annotations

import ctypes

import pytest

from conftest import KEEP_ENTITIES, NOCDATA, accel, lib, s


NS_DOC = (b'<root xmlns="urn:default" xmlns:p="urn:p">'
          b'<p:item/><plain xmlns=""/><child/></root>')


def test_names_namespaces_and_prefixes(mdoc) -> None:
    _, root = mdoc(NS_DOC)
    assert root.tag == "{urn:default}root"
    assert root.namespace == "urn:default"
    assert root.prefix is None
    item, plain, child = root[0], root[1], root[2]
    assert (item.tag, item.prefix, item.namespace) == ("{urn:p}item", "p", "urn:p")
    assert (plain.tag, plain.namespace, plain.prefix) == ("plain", None, None)
    assert child.tag == "{urn:default}child"


@pytest.mark.parametrize(
    ("xml", "code"),
    [
        (b"<r><e/></r>", 0),
        (b"<r>t</r>", 1),
        (b"<r><![CDATA[c]]></r>", 3),
        (b"<r><!--c--></r>", 4),
        (b"<r><?pi data?></r>", 5),
    ],
)
def test_node_type_codes(docs, xml: bytes, code: int) -> None:
    root = docs.root(xml)
    node = lib.korvith_node_first_child(lib.korvith_element_as_node(root))
    assert lib.korvith_node_get_type(node) == code


def test_entity_reference_code_when_kept(docs) -> None:
    xml = b'<!DOCTYPE r [<!ENTITY e "ent">]><r>&e;</r>'
    root = docs.root(xml, flags=KEEP_ENTITIES)
    node = lib.korvith_node_first_child(root)
    assert lib.korvith_node_get_type(node) == 6
    assert lib.korvith_node_first_child(node) is None  # a leaf for walkers
    expanded = docs.root(xml)
    node = lib.korvith_node_first_child(expanded)
    assert lib.korvith_node_get_type(node) == 1
    assert s(lib.korvith_text_node_get_content(node)) == "ent"


def test_null_node_has_its_own_code() -> None:
    assert lib.korvith_node_get_type(None) == -1


def test_text_tail_and_itertext(mdoc) -> None:
    _, r = mdoc(b"<r>x<a>y</a>z<!--c-->w</r>")
    assert r.text == "x"
    assert r[0].text == "y"
    assert r[0].tail == "z"
    assert r.itertext() == ["x", "y", "z", "w"]


def test_text_and_cdata_form_one_run(mdoc) -> None:
    _, r = mdoc(b"<r>a<![CDATA[<b>]]>c<e/></r>")
    assert r.text == "a<b>c"


def test_cdata_as_plain_text_flag(docs) -> None:
    root = docs.root(b"<r><![CDATA[x]]></r>", flags=NOCDATA)
    node = lib.korvith_node_first_child(root)
    assert lib.korvith_node_get_type(node) == 1
    assert s(lib.korvith_text_node_get_content(node)) == "x"


def test_empty_element_has_no_text(mdoc) -> None:
    _, r = mdoc(b"<r><a/><b></b></r>")
    assert r[0].text is None and r[1].text is None


def test_navigation_skips_non_elements(mdoc) -> None:
    _, r = mdoc(b"<r>t<!--c--><a/>u<?p?><b/><c/></r>")
    assert len(r) == 3
    assert [c.tag for c in r[:]] == ["a", "b", "c"]
    assert r[1].getprevious().tag == "a"
    assert r[1].getnext().tag == "c"
    assert r[0].getprevious() is None and r[2].getnext() is None
    assert r[2].getparent().tag == "r"
    assert r.getparent() is None


@pytest.mark.parametrize("index", [0, 1, 2, 3])
def test_element_child_by_index(docs, index: int) -> None:
    root = docs.root(b"<r><a/>x<b/><c/></r>")
    child = lib.korvith_element_child(root, index)
    expected = ["a", "b", "c", None][index]
    assert (s(lib.korvith_element_name(child)) if child else None) == expected


def test_set_text_replaces_leading_run(mdoc) -> None:
    _, r = mdoc(b"<r>old<![CDATA[more]]><a/>tail</r>")
    r.text = "new"
    assert r.text == "new"
    assert r[0].tail == "tail"
    assert r.itertext() == ["new", "tail"]
    r.text = ""
    assert r.text == ""


def test_set_text_on_empty_element_and_invalid_input(docs) -> None:
    root = docs.root(b"<r/>")
    assert lib.korvith_element_set_text(root, "é".encode()) == 0
    node = lib.korvith_node_first_child(root)
    assert s(lib.korvith_text_node_get_content(node)) == "é"
    assert lib.korvith_element_set_text(root, b"\xff\xfe") != 0
    assert lib.korvith_element_set_text(root, None) != 0
    assert lib.korvith_element_set_text(None, b"x") != 0


def test_line_numbers_past_65535(mdoc) -> None:
    body = b"<r>\n" + b"<a/>\n" * 70000 + b"<last/>\n</r>"
    _, r = mdoc(body)
    assert r.sourceline == 1
    assert r[0].sourceline == 2
    assert r[65533].sourceline == 65535
    assert r[65534].sourceline == 65536
    assert r[69999].sourceline == 70001
    assert r[70000].sourceline == 70002


def test_line_of_multiline_start_tag_past_65535(docs) -> None:
    body = b"<r>" + b"\n" * 70000 + b"<a\n  x='1'>text</a></r>"
    root = docs.root(body)
    a = lib.korvith_element_first_child_any(root)
    assert lib.korvith_node_line(a) == 70002  # where the start tag ends, as for short lines
    assert lib.korvith_node_line(root) == 1


def test_null_handles_are_harmless() -> None:
    assert lib.korvith_element_name(None) is None
    assert lib.korvith_element_child_count(None) == 0
    assert lib.korvith_element_parent(None) is None
    assert lib.korvith_node_line(None) == 0
    assert lib.korvith_document_root(None) is None
    lib.korvith_document_free(None)


@pytest.mark.parametrize("order", ["forward", "backward", "jumps"])
def test_positional_access_in_any_order(mdoc, order: str) -> None:
    _, r = mdoc(b"<r>" + b"".join(b"<c n='%d'/>x" % i for i in range(50)) + b"</r>")
    indices = {"forward": list(range(50)), "backward": list(range(49, -1, -1)),
               "jumps": [5, 40, 3, 3, 49, 0, 25]}[order]
    assert [r[i].get("n") for i in indices] == [str(i) for i in indices]
    assert len(r) == 50
    assert r[1][0:1] == [] and len(r[1]) == 0  # another parent's count is its own


def test_many_children_by_index_is_linear(mdoc) -> None:
    import time
    n = 40_000
    _, r = mdoc(b"<r>" + b"<c/>" * n + b"</r>")
    started = time.perf_counter()
    assert sum(1 for i in range(n) if r[i].tag == "c") == n
    assert time.perf_counter() - started < 2.0  # quadratic walking would take far longer


def test_mixed_content_itertext_matches_lxml(mdoc) -> None:
    lxml = pytest.importorskip("lxml.etree")
    data = b"<r>a<x>b<y>c</y>d</x>e<![CDATA[f]]><!--c-->g<z/>h</r>"
    _, root = mdoc(data)
    assert "".join(root.itertext()) == "".join(lxml.fromstring(data).itertext())
    assert root.itertext() == ["a", "b", "c", "d", "ef", "g", "h"]


def test_deep_document_itertext(mdoc) -> None:
    depth = 200  # within the engine's default nesting limit
    _, root = mdoc(b"<a>" * depth + b"x" + b"</a>" * depth)
    assert root.itertext() == ["x"]


def test_slices_and_negative_indexes(mdoc) -> None:
    _, root = mdoc(NS_DOC)
    assert [k.tag for k in root[:]] == ["{urn:p}item", "plain", "{urn:default}child"]
    assert [k.tag for k in root[::-1]] == ["{urn:default}child", "plain", "{urn:p}item"]
    assert root[-1].tag == "{urn:default}child"
    with pytest.raises(IndexError, match="^child index out of range$"):
        root[3]
    assert [c._raw for c in accel.children(root)] == [k._raw for k in root[:]]


LOOKUP_DOC = (b'<r xmlns:a="urn:a" xmlns:b="urn:b">'
              b'<x id="1"><y/><x id="2"/></x>'
              b'<a:x id="3"><b:y/></a:x>'
              b'<z><x id="4"/></z>'
              b'</r>')


def ids(elements) -> list[str | None]:
    return [e.get("id") for e in elements]


@pytest.mark.parametrize(
    "include_self, ns, local, expected",
    [
        (True, None, None, [None, "1", None, "2", "3", None, None, "4"]),
        (False, None, "x", ["1", "2", "4"]),
        (False, "urn:a", "x", ["3"]),
        (False, "urn:b", None, [None]),  # a namespace alone: the b:y element
        (False, "urn:a", None, ["3"]),
    ],
)
def test_subtree_cursor_filters(mdoc, include_self, ns, local, expected) -> None:
    doc, root = mdoc(LOOKUP_DOC)
    found = list(accel.subtree_iter(root, include_self, ns, local))
    assert ids(found) == expected
    assert all(e._document is doc for e in found)


def test_subtree_cursor_order_and_bounds(mdoc) -> None:
    _, root = mdoc(LOOKUP_DOC)
    tags = [e.tag for e in accel.subtree_iter(root, True, None, None)]
    assert tags == ["r", "x", "y", "x", "{urn:a}x", "{urn:b}y", "z", "x"]
    assert ids(accel.subtree_iter(root[0], True, None, "x")) == ["1", "2"]


def test_find_first_and_find_path(mdoc) -> None:
    doc, root = mdoc(LOOKUP_DOC)
    assert accel.find_first(root._raw, "x", doc).get("id") == "1"
    assert accel.find_first(root._raw, "y", doc) is None  # grandchild only
    assert accel.find_path(root._raw, ["z", "x"], doc).get("id") == "4"
    assert accel.find_path(root._raw, ["x", "x"], doc).get("id") == "2"


def test_find_path_backtracks(mdoc) -> None:
    doc, root = mdoc(b"<r><g><a/></g><g><b><c id='deep'/></b></g><g><b/></g></r>")
    found = accel.find_path(root._raw, ("g", "b", "c"), doc)
    assert found.get("id") == "deep" and found.tag == "c"
    assert accel.find_path(root._raw, ["g", "c"], doc) is None
