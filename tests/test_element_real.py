"""Element accessors on documents parsed by the real engine."""

from __future__ import annotations

import pytest

from korvith import KorvithError
from korvith import _korvithaccel as accel

XML = b"""<?xml version="1.0"?>
<root xmlns="urn:default" xmlns:p="urn:p" id="r1">
  <p:item n="1" p:kind="fruit" flag="yes" ratio="2.5">apple</p:item>
  <item n="2">lead<![CDATA[<raw>]]>more<!--note-->after<b>bold</b>tail</item>
  <plain xmlns="" n="3">x</plain>
</root>
"""


class Doc:
    def __init__(self, capsule) -> None:
        self._accel_registry = capsule


class Parsed:
    """A parsed document and its root, closed by the fixture."""

    def __init__(self, data: bytes) -> None:
        self.address, capsule, status = accel.parse(data, False)
        assert self.address and status == 0
        self.capsule = capsule
        self.doc = Doc(capsule)
        self.root = accel.document_root(self.address, self.doc)
        self.closed = False

    def close(self) -> None:
        if not self.closed:
            accel.invalidate(self.capsule)
            accel.close_document(self.address)
            self.closed = True


@pytest.fixture
def parsed():
    p = Parsed(XML)
    yield p
    p.close()


def parse(data: bytes) -> Parsed:
    return Parsed(data)


def test_names(parsed):
    root = parsed.root
    item, item2, plain = accel.children(root)
    assert (root.tag, root.namespace, root.prefix) == ("{urn:default}root", "urn:default", None)
    assert (item.tag, item.namespace, item.prefix) == ("{urn:p}item", "urn:p", "p")
    assert item2.tag == "{urn:default}item"
    assert (plain.tag, plain.namespace) == ("plain", None)


def test_sourceline(parsed):
    assert [parsed.root.sourceline] + [c.sourceline for c in accel.children(parsed.root)] == [
        2, 3, 4, 5]


def test_text_tail_and_itertext(parsed):
    item, item2, plain = accel.children(parsed.root)
    assert item.text == "apple"
    assert item2.text == "lead<raw>more"  # CDATA joins the run; the comment ends it
    bold = item2[0]
    assert (bold.text, bold.tail) == ("bold", "tail")
    assert item2.itertext() == ["lead<raw>more", "after", "bold", "tail"]
    assert plain.tail == "\n"
    assert parsed.root[0].tail == "\n  "


def test_mixed_content_itertext_matches_lxml():
    lxml = pytest.importorskip("lxml.etree")
    data = b"<r>a<x>b<y>c</y>d</x>e<![CDATA[f]]><!--c-->g<z/>h</r>"
    p = parse(data)
    try:
        ours = "".join(p.root.itertext())
        assert ours == "".join(lxml.fromstring(data).itertext())
        assert p.root.itertext() == ["a", "b", "c", "d", "ef", "g", "h"]
    finally:
        p.close()


def test_set_text(parsed):
    plain = parsed.root[2]
    plain.text = "changed"
    assert plain.text == "changed"
    assert plain.itertext() == ["changed"]


def test_attributes(parsed):
    item = parsed.root[0]
    assert item.keys() == ["n", "{urn:p}kind", "flag", "ratio"]
    assert item.attrib == {"n": "1", "{urn:p}kind": "fruit", "flag": "yes", "ratio": "2.5"}
    assert item.attrib is item.attrib
    assert item.items()[1] == ("{urn:p}kind", "fruit")
    assert item.get("{urn:p}kind") == "fruit"
    assert item.get("{urn:other}kind", "none") == "none"
    assert item.get("n") == "1" and item.get("missing", 0) == 0
    assert (item.get_int("n"), item.get_float("ratio"), item.get_bool("flag")) == (1, 2.5, True)
    assert item.get_int("ratio", 9) == 9
    assert item.get_int("missing", 2**40) == 2**40
    with pytest.raises(TypeError, match="^'attrib' is read-only$"):
        item.attrib["n"] = "2"


def test_attribute_pairs(parsed):
    item = parsed.root[0]
    assert accel.attribute_pairs(item, False) == item.items()
    quads = accel.attribute_pairs(item, True)
    assert [q[1] for q in quads] == ["1", "fruit", "yes", "2.5"]
    assert quads[0][2:] == (None, None)
    assert quads[1][2:] == ("p", "urn:p")
    assert accel.attribute_pairs(parsed.root[2], True) == [("n", "3", None, None)]
    assert accel.attribute_pairs(parsed.root[1][0], True) == []


def test_navigation(parsed):
    root = parsed.root
    assert len(root) == 3
    kids = root[:]
    assert [k.tag for k in kids] == ["{urn:p}item", "{urn:default}item", "plain"]
    assert [k.tag for k in root[::-1]] == ["plain", "{urn:default}item", "{urn:p}item"]
    assert root[-1].tag == "plain"
    with pytest.raises(IndexError, match="^child index out of range$"):
        root[3]
    assert kids[0].getnext().tag == "{urn:default}item"
    assert kids[0].getprevious() is None and kids[2].getnext() is None
    assert kids[1].getprevious().tag == "{urn:p}item"
    assert kids[1].getparent().tag == "{urn:default}root"
    assert root.getparent() is None
    assert [c._raw for c in accel.children(root)] == [k._raw for k in kids]


def test_poisoning_after_close():
    p = parse(XML)
    root = p.root
    reached = [root, root[0], root[1][0], root[0].getnext(), *accel.children(root)]
    tag = root.tag
    p.close()
    assert tag == "{urn:default}root"
    for el in reached:
        for read in (lambda e: e.tag, lambda e: e.text, lambda e: e.attrib,
                     lambda e: e.get("n"), lambda e: e[0], lambda e: len(e),
                     lambda e: e.getparent(), lambda e: accel.attribute_pairs(e, True),
                     lambda e: accel.children(e), lambda e: e.itertext()):
            with pytest.raises(KorvithError, match="^operation on a closed document$"):
                read(el)
        assert el._raw == 2**64 - 1 and el._ptr is None


def test_deep_document_itertext():
    depth = 200  # within the engine's default nesting limit
    data = b"<a>" * depth + b"x" + b"</a>" * depth
    p = parse(data)
    try:
        assert p.root.itertext() == ["x"]
    finally:
        p.close()
