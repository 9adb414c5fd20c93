"""Node-sets holding nodes other than elements, made natively from the
engine's snapshot: every item as XPathString(...) would make it, elements
as registered wrappers, and a compiled expression that once gave such
nodes keeps giving exact answers for whatever its next context holds."""

from __future__ import annotations

import pickle

import pytest
from lxml import etree

import korvith
from korvith.xpath_nodes import XPathString

DOC = (b'<?xml version="1.0"?><!--top--><?top-pi tdata?>'
       b'<a xmlns="urn:d" xmlns:p="urn:p" x="1" p:y="2">hi<!--c--><?pi data?><![CDATA[cd]]>'
       b'<b p:z="3" w="">t</b>tail<c/></a>')
NS = {"d": "urn:d", "p": "urn:p"}


def _fields(item: XPathString) -> tuple:
    return (type(item), str(item), item.kind, item.attrname, item.target, item.is_text,
            item.is_attribute)


def _lxml_item(item: object) -> object:
    if isinstance(item, etree._Comment):
        return ("comment", item.text)
    if isinstance(item, etree._ProcessingInstruction):
        return ("pi", item.text)
    if isinstance(item, etree._Element):
        return item.tag
    return ("text", str(item))


@pytest.mark.parametrize(("expr", "expected"), [
    ("//d:b/text()", [XPathString("t", "text")]),
    ("/d:a/text()", [XPathString("hi", "text"), XPathString("cd", "text"),
                     XPathString("tail", "text")]),
    ("//@*", [XPathString("1", "attribute", "x"), XPathString("2", "attribute", "{urn:p}y"),
              XPathString("3", "attribute", "{urn:p}z"), XPathString("", "attribute", "w")]),
    ("//comment()", [XPathString("top", "comment"), XPathString("c", "comment")]),
    ("//processing-instruction()", [XPathString("tdata", "pi", "top-pi"),
                                    XPathString("data", "pi", "pi")]),
])
def test_items_are_what_the_class_itself_makes(expr: str, expected: list) -> None:
    with korvith.parse(DOC) as doc:
        got = doc.xpath(expr, namespaces=NS)
        assert [_fields(item) for item in got] == [_fields(item) for item in expected]
        # Pickling goes through the class's own reduction.
        assert [_fields(pickle.loads(pickle.dumps(item))) for item in got] == \
            [_fields(item) for item in expected]


def test_mixed_sets_keep_document_order_and_every_kind() -> None:
    lroot = etree.fromstring(DOC)
    expr = "/ | /d:a/namespace::* | //d:b | //@p:z | //comment() | //d:b/text()"
    with korvith.parse(DOC) as doc:
        got = doc.xpath(expr, namespaces=NS)
        assert got[0] is doc  # lxml leaves the document node out
        view = [item if isinstance(item, tuple) else item.tag
                if isinstance(item, korvith.Element) else (item.kind, str(item))
                for item in got[1:]]
        theirs = [item if isinstance(item, tuple) else _lxml_item(item)
                  for item in lroot.getroottree().xpath(expr, namespaces=NS)]
        theirs[theirs.index(("text", "3"))] = ("attribute", "3")
        assert view == theirs
        assert (None, "urn:d") in view and ("p", "urn:p") in view
        element = next(item for item in got if isinstance(item, korvith.Element))
        assert element.get("w") == "" and element.get("{urn:p}z") == "3"


def test_elements_of_a_mixed_set_are_poisoned_with_their_document() -> None:
    doc = korvith.parse(DOC)
    items = doc.xpath("//d:b | //d:b/text()", namespaces=NS)
    element, text = items
    assert element.tag == "{urn:d}b" and text == "t"
    doc.close()
    with pytest.raises(korvith.KorvithError, match="closed"):
        element.tag
    assert text == "t"  # a copy: it outlives the document


def test_a_compiled_expression_answers_for_each_context() -> None:
    # node() gives text and comments under <a>, elements only under <b>'s
    # parent-less copy: the same compiled expression must answer each
    # exactly, whichever came first.
    children = korvith.XPath("node()")
    lroot = etree.fromstring(DOC)
    only_elements = korvith.fromstring(b"<r><x/><y/></r>")
    with korvith.parse(DOC) as doc:
        for _ in range(2):
            assert [e.tag for e in children(only_elements)] == ["x", "y"]
            mixed = [i.tag if isinstance(i, korvith.Element) else (i.kind, str(i))
                     for i in children(doc.root)]
            assert mixed == [_lxml_item(i) for i in lroot.xpath("node()")]
            assert [e.tag for e in children(only_elements)] == ["x", "y"]
