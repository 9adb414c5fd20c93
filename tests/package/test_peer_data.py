"""korvith gives the same data as ElementTree and lxml on the same XML:
DTD attribute defaults, every node of an XPath node-set, element tails in
serialisation and text around comments and PIs."""

from __future__ import annotations

import io
import os
import xml.etree.ElementTree as ET

import pytest
from lxml import etree

import korvith
from korvith.xpath_nodes import XPathString

DTD_DOC = b"""<!DOCTYPE mime-info [
<!ATTLIST glob weight CDATA "50">
<!ATTLIST glob case-sensitive CDATA #IMPLIED>
<!ATTLIST mime-info xmlns:k CDATA #FIXED "urn:k">
]>
<mime-info><glob pattern="*.txt"/><glob pattern="*.c" weight="80"/>
<k:x xmlns:k="urn:k"/></mime-info>"""


def lxml_defaults(data: bytes) -> etree._Element:
    return etree.fromstring(data, etree.XMLParser(attribute_defaults=True))


# --------------------------------------------------------------- DTD defaults

def test_attribute_defaults_match_both_peers() -> None:
    ours = korvith.fromstring(DTD_DOC)
    theirs_et = ET.fromstring(DTD_DOC)
    theirs_lxml = lxml_defaults(DTD_DOC)
    for mine, et, lx in zip(ours.iter(), theirs_et.iter(), theirs_lxml.iter()):
        assert dict(mine.attrib) == et.attrib == dict(lx.attrib)
        assert mine.keys() == list(lx.keys()) and mine.items() == list(lx.items())
    assert [g.get("weight") for g in ours.iter("glob")] == ["50", "80"]
    assert ours.xpath("//glob/@weight") == ["50", "80"]
    assert ours.xpath("count(//glob[@weight='50'])") == 1.0


def test_attribute_defaults_reach_every_parse_entry_point(tmp_path) -> None:
    path = tmp_path / "m.xml"
    path.write_bytes(DTD_DOC)
    roots = [
        korvith.parse(DTD_DOC).root,
        korvith.parse(DTD_DOC, recover=True).root,
        korvith.parse(DTD_DOC, huge=True).root,
        korvith.parse_file(path).root,
        korvith.parse_file(path, recover=True).root,
        korvith.parse_inplace(bytearray(DTD_DOC)).root,
    ]
    for root in roots:
        assert root.find("glob").get("weight") == "50"
    assert [e.get("weight") for e in korvith.iterparse(DTD_DOC, "glob")] == ["50", "80"]

    seen: list[dict[str, str]] = []

    class Handler(korvith.SaxHandler):
        def start_element(self, name: str, attrs: dict[str, str]) -> None:
            if name == "glob":
                seen.append(attrs)

    korvith.sax_parse(DTD_DOC, Handler())
    assert [a.get("weight") for a in seen] == ["50", "80"]
    plan = korvith.Plan(attributes=["pattern", "weight"])
    expected = [{"pattern": "*.txt", "weight": "50"}, {"pattern": "*.c", "weight": "80"}]
    assert [korvith.extract(g, plan) for g in roots[0].iter("glob")] == expected
    assert list(korvith.iterextract(DTD_DOC, "glob", plan)) == expected


def test_attribute_defaults_can_be_turned_off_everywhere(tmp_path) -> None:
    path = tmp_path / "m.xml"
    path.write_bytes(DTD_DOC)
    off = {"attribute_defaults": False}
    assert korvith.parse(DTD_DOC, **off).root.find("glob").get("weight") is None
    assert korvith.parse_file(path, **off).root.find("glob").get("weight") is None
    assert korvith.parse_inplace(bytearray(DTD_DOC), **off).root.find("glob").attrib == \
        {"pattern": "*.txt"}
    assert [e.get("weight") for e in korvith.iterparse(DTD_DOC, "glob", **off)] == [None, "80"]


def test_external_subset_is_never_read(tmp_path) -> None:
    dtd = tmp_path / "ext.dtd"
    dtd.write_text('<!ATTLIST r ext CDATA "from-file">')
    data = (f'<!DOCTYPE r SYSTEM "{dtd.as_uri()}" [<!ATTLIST r int CDATA "inside">]><r/>'
            .encode())
    before = os.stat(dtd).st_atime_ns
    with korvith.parse(data) as doc:
        assert doc.status == 0 and dict(doc.root.attrib) == {"int": "inside"}
    data_rel = b'<!DOCTYPE r SYSTEM "ext.dtd" [<!ATTLIST r int CDATA "inside">]><r/>'
    path = tmp_path / "r.xml"
    path.write_bytes(data_rel)
    assert dict(korvith.parse_file(path).root.attrib) == {"int": "inside"}
    assert [dict(e.attrib) for e in korvith.iterparse(path)] == [{"int": "inside"}]
    assert os.stat(dtd).st_atime_ns == before


# --------------------------------------------------------------- XPath nodes

MIXED = (b'<?xml version="1.0"?><!--top--><a xmlns:p="urn:p" x="1">hi<!--c-->'
         b'<?pi data?><![CDATA[cd]]><b p:y="2">t</b>tail</a>')


def lxml_view(items: list) -> list:
    out = []
    for item in items:
        if isinstance(item, tuple):
            out.append(item)
        elif isinstance(item, etree._Comment):
            out.append(("comment", item.text))
        elif isinstance(item, etree._ProcessingInstruction):
            out.append(("pi", item.target, item.text))
        elif isinstance(item, etree._Element):
            out.append(("element", item.tag))
        else:
            out.append(str(item))
    return out


def korvith_view(items: list) -> list:
    out = []
    for item in items:
        if isinstance(item, tuple):
            out.append(item)
        elif isinstance(item, XPathString) and item.kind == "comment":
            out.append(("comment", str(item)))
        elif isinstance(item, XPathString) and item.kind == "pi":
            out.append(("pi", item.target, str(item)))
        elif isinstance(item, korvith.Element):
            out.append(("element", item.tag))
        else:
            out.append(str(item))
    return out


@pytest.mark.parametrize("expr", [
    "//text()", "//b/text()", "//comment()", "//processing-instruction()", "//@*",
    "//b | //@x | //comment()", "/a/b/@p:y", "//namespace::*", "/a/namespace::p",
    "//node()", "//b/@p:y | //b/text() | //a/text()", "//*",
])
def test_node_sets_match_lxml(expr: str) -> None:
    ns = {"p": "urn:p"}
    theirs = etree.fromstring(MIXED).getroottree().xpath(expr, namespaces=ns)
    with korvith.parse(MIXED) as doc:
        assert korvith_view(doc.xpath(expr, namespaces=ns)) == lxml_view(theirs)


def test_node_strings_carry_their_kind() -> None:
    root = korvith.fromstring(MIXED)
    text, attr = root.xpath("//b/text() | //b/@p:y", namespaces={"p": "urn:p"})[::-1]
    assert (attr.kind, attr.is_attribute, attr.attrname) == ("attribute", True, "{urn:p}y")
    assert (text.kind, text.is_text, text.attrname) == ("text", True, None)
    assert root.xpath("//b/text()") == ["t"] and isinstance(root.xpath("//b/text()")[0], str)
    pi, = root.xpath("//processing-instruction()")
    assert (pi.kind, pi.target, str(pi)) == ("pi", "pi", "data")


def test_document_node_and_variables_and_compiled() -> None:
    with korvith.parse(MIXED) as doc:
        assert doc.xpath("/") == [doc]
        assert doc.xpath("//b[@p:y=$v]/text()", namespaces={"p": "urn:p"}, v="2") == ["t"]
        find = korvith.XPath("text()")
        assert find(doc.root) == ["hi", "cd", "tail"]
        assert doc.xpath("string(//b)") == "t" and doc.xpath("count(//node())") == \
            etree.fromstring(MIXED).getroottree().xpath("count(//node())")


def test_closed_document_still_refuses_node_sets() -> None:
    doc = korvith.parse(MIXED)
    b = doc.root.find("b")
    doc.close()
    with pytest.raises(korvith.KorvithError, match="closed"):
        b.xpath("text()")


# --------------------------------------------------------------- tails

@pytest.mark.parametrize("data, index", [
    (b"<r><b/>t</r>", 0),
    (b"<r><b>x</b>t &amp; &lt;u&gt;<c/></r>", 0),
    (b"<r><b>x</b>t<!--c-->after</r>", 0),
    (b"<r><b/></r>", 0),
    (b"<r><b/>\xc3\xa9</r>", 0),
])
def test_element_serialisation_keeps_its_tail_as_peers_do(data: bytes, index: int) -> None:
    ours = korvith.fromstring(data)[index]
    et = ET.tostring(ET.fromstring(data)[index], encoding="utf-8").split(b"?>\n", 1)[-1]
    if b"<!--" not in data:  # ElementTree drops comments: its tail merges
        assert korvith.tostring(ours).replace(b"/>", b" />") == et
    assert korvith.tostring(ours) == etree.tostring(etree.fromstring(data)[index],
                                                    encoding="utf-8")
    assert ours.tobytes() == korvith.tostring(ours)
    assert ours.tobytes(with_tail=False) == etree.tostring(etree.fromstring(data)[index],
                                                           with_tail=False, encoding="utf-8")
    assert korvith.tostring(ours, encoding="unicode") == \
        etree.tostring(etree.fromstring(data)[index], encoding="unicode")


def test_tail_in_a_narrow_encoding_uses_character_references() -> None:
    el = korvith.fromstring(b"<r><b/>\xc3\xa9</r>")[0]
    assert el.tobytes(encoding="ascii") == b"<b/>&#233;"


def test_document_serialisation_is_unchanged() -> None:
    with korvith.parse(b"<r><b/>t</r>") as doc:
        assert doc.tobytes() == b"<r><b/>t</r>\n"


# --------------------------------------------------------------- comments and PIs

@pytest.mark.parametrize("data", [
    b"<a>x<!--c-->y</a>",
    b"<a>x<?p q?>y<!--c-->z<b/>w<!--d-->v</a>",
    b"<a><!--c-->y<b>1<!--x-->2</b>3<?p?>4</a>",
])
def test_dropping_comments_and_pis_merges_text_like_elementtree(data: bytes) -> None:
    ours = korvith.fromstring(data, remove_comments=True, remove_pis=True)
    theirs = ET.fromstring(data)
    lx = etree.fromstring(data, etree.XMLParser(remove_comments=True, remove_pis=True))
    for mine, et, l in zip(ours.iter(), theirs.iter(), lx.iter()):
        assert (mine.text, mine.tail) == (et.text, et.tail) == (l.text, l.tail)
    assert korvith.tostring(ours) == etree.tostring(lx)


def test_comment_dropping_is_separate_from_pi_dropping() -> None:
    root = korvith.fromstring(b"<a>x<!--c-->y<?p q?>z</a>", remove_comments=True)
    assert root.text == "xy" and korvith.tostring(root) == b"<a>xy<?p q?>z</a>"
    assert korvith.fromstring(b"<a>x<!--c-->y</a>").text == "x"  # kept by default, as lxml
    items = list(korvith.iterparse(io.BytesIO(b"<a>x<!--c-->y<b/></a>"), remove_comments=True))
    assert items[-1].text == "xy"


# --------------------------------------------------------------- peer spellings

@pytest.mark.parametrize("data", [
    b"<r><a><b>u</b></a><c/></r>",
    b"<r><a x='1'>t<b>u</b>v</a>w<c/></r>",
    b"<r><a><b/></a>tail</r>",
])
def test_tostring_spellings_match_lxml(data: bytes) -> None:
    ours, theirs = korvith.fromstring(data), etree.fromstring(data)
    for mine, lx in [(ours, theirs), (ours[0], theirs[0])]:
        assert korvith.tostring(mine, pretty_print=True) == etree.tostring(lx, pretty_print=True)
        assert korvith.tostring(mine, pretty_print=True, encoding="unicode") == \
            etree.tostring(lx, pretty_print=True, encoding="unicode")
        assert korvith.tostring(mine, method="text") == etree.tostring(lx, method="text")
        assert korvith.tostring(mine, method="text", with_tail=False) == \
            etree.tostring(lx, method="text", with_tail=False)
        assert korvith.tostring(mine, method="text", encoding="unicode") == \
            ET.tostring(ET.fromstring(data) if mine is ours else ET.fromstring(data)[0],
                        method="text", encoding="unicode")


def test_xml_declaration_spelling() -> None:
    root = korvith.fromstring(b"<r>\xc3\xa9</r>")
    with_decl = korvith.tostring(root, xml_declaration=True, encoding="iso-8859-1")
    theirs = etree.tostring(etree.fromstring(b"<r>\xc3\xa9</r>"), xml_declaration=True,
                            encoding="iso-8859-1")
    # same declared encoding and bytes after it (lxml quotes with ')
    assert with_decl.replace(b'"', b"'").lower() == theirs.lower()
    assert korvith.tostring(root, xml_declaration=False, declaration=True) == \
        "<r>é</r>".encode()


@pytest.mark.parametrize("call", [
    lambda el: korvith.tostring(el, encoding="no-such-codec"),
    lambda el: el.tobytes(encoding="no-such-codec"),
    lambda el: el._document.tobytes(encoding="no-such-codec"),
])
def test_unknown_encoding_is_a_lookup_error_naming_it(call) -> None:
    with pytest.raises(LookupError, match="no-such-codec"):
        etree.tostring(etree.fromstring(b"<r/>"), encoding="no-such-codec")
    with pytest.raises(LookupError, match="no-such-codec"):
        call(korvith.fromstring(b"<r/>"))


def test_tostring_refuses_unknown_method_and_objects() -> None:
    with pytest.raises(ValueError, match="'html'"):
        korvith.tostring(korvith.fromstring(b"<r/>"), method="html")
    with pytest.raises(TypeError, match="Element or a Document"):
        korvith.tostring(b"<r/>")  # type: ignore[call-overload]


def test_node_kinds_do_not_leak_between_evaluations() -> None:
    # The engine counts left-out nodes per evaluation: an element query
    # after a text query gives elements only, and the reverse gives text.
    with korvith.parse(MIXED) as doc:
        for _ in range(2):
            assert doc.xpath("//b/text()") == ["t"]
            assert [e.tag for e in doc.xpath("//b")] == ["b"]
            assert doc.xpath("count(//b)") == 1.0
            assert doc.xpath("//nothing") == []
            assert doc.xpath("//b/@*") == ["2"]
