"""Canonical XML against lxml's tostring(method="c14n") on generated corpus
files: same bytes for every mode and option, for documents and subtrees."""

from __future__ import annotations

import io

import pytest
from lxml import etree

import korvith
from corpus import gir, mime_database

MIXED = (b'<?xml version="1.0"?>\n<!-- head -->\n<?top pi?>\n'
         b'<r xmlns="urn:d" xmlns:a="urn:a" xmlns:b="urn:b" b:x="1" a:y="2">'
         b'<a:s xmlns:c="urn:c" z=" 1&#9;2&#13;"><c:t/>text &amp; &lt;&gt; "q"\r\n</a:s>'
         b'<![CDATA[cd<>]]><?pi data?><e xmlns="" xml:lang="en"/></r>\n<!-- tail -->')
DTD = b'<!DOCTYPE r [<!ATTLIST r d CDATA "v">]><r a="&#xD;&#10;x" b=\'"\'/>'

CORPUS = {"mixed": MIXED, "gir": gir(), "mime": mime_database(), "dtd": DTD}
OPTIONS = [
    {},
    {"with_comments": True},
    {"exclusive": True},
    {"exclusive": True, "with_comments": True},
    {"exclusive": True, "inclusive_ns_prefixes": ["a", "c", "#default"]},
]


def _lxml(node, opts) -> bytes:
    return etree.tostring(node, method="c14n", **{"with_comments": False, **opts})


@pytest.mark.parametrize("name", CORPUS)
@pytest.mark.parametrize("opts", OPTIONS, ids=lambda o: "-".join(sorted(o)) or "plain")
def test_documents_match_lxml(name, opts) -> None:
    data = CORPUS[name]
    # korvith applies DTD attribute defaults at parse (as ElementTree does);
    # lxml does with attribute_defaults=True.
    parser = etree.XMLParser(attribute_defaults=True)
    expected = _lxml(etree.ElementTree(etree.fromstring(data, parser)), opts)
    with korvith.parse(data) as doc:
        assert korvith.canonicalize(doc, **opts) == expected


SUBTREE_OPTIONS = OPTIONS[:-1] + [{"exclusive": True, "inclusive_ns_prefixes": ["a", "c"]}]


@pytest.mark.parametrize("name,path", [("mixed", "/*/*[1]"), ("mixed", "/*/*[1]/*[1]"),
                                       ("gir", "/*/*[1]"), ("gir", "/*"), ("mime", "/*")])
@pytest.mark.parametrize("opts", SUBTREE_OPTIONS, ids=lambda o: "-".join(sorted(o)) or "plain")
def test_subtrees_match_lxml(name, path, opts) -> None:
    data = CORPUS[name]
    (lnode,) = etree.fromstring(data).getroottree().xpath(path)
    with korvith.parse(data) as doc:
        (node,) = doc.xpath(path)
        got = korvith.canonicalize(node, **opts)
    assert got == _lxml(lnode, opts)
    # A subtree (even the root) never carries the comments around it.
    assert not got.startswith(b"<!--")


@pytest.mark.parametrize("data,path", [(mime_database(types=1), "/*/*[1]"),
                                       (gir(classes=2), "/*/*[2]/*[2]")])
def test_a_subtree_in_a_default_namespace_keeps_its_namespace(data, path) -> None:
    # For a subtree whose default namespace is declared above it, lxml
    # writes xmlns="" on grandchildren, which moves them out of their
    # namespace; korvith keeps the subtree's meaning (see docs/api.md).
    lnode = etree.fromstring(data).getroottree().xpath(path)[0]
    with korvith.parse(data) as doc:
        got = korvith.canonicalize(doc.xpath(path)[0])
    lxml_bytes = _lxml(lnode, {})
    assert b' xmlns=""' in lxml_bytes and b' xmlns=""' not in got
    assert got == lxml_bytes.replace(b' xmlns=""', b"")
    tags = [el.tag for el in etree.fromstring(got).iter(etree.Element)]
    assert tags == [el.tag for el in lnode.iter(etree.Element)]


def test_default_namespace_as_inclusive_prefix_is_rendered_at_the_apex() -> None:
    # "#default" in the inclusive list treats the default namespace as
    # inclusive C14N does: in scope at the apex, so rendered there.
    with korvith.parse(MIXED) as doc:
        (t,) = doc.xpath("//*[local-name()='t']")
        got = korvith.canonicalize(t, exclusive=True, inclusive_ns_prefixes=["#default"])
        plain = korvith.canonicalize(t, exclusive=True)
    assert got == b'<c:t xmlns="urn:d" xmlns:c="urn:c"></c:t>'
    assert plain == b'<c:t xmlns:c="urn:c"></c:t>'


def test_c14n_11_and_1_0_differ_only_where_xml_attributes_are_inherited() -> None:
    data = b'<r xml:base="http://e.org/a/" xml:lang="en"><s xml:base="b/"><t/></s></r>'
    with korvith.parse(data) as doc:
        (t,) = doc.xpath("//t")
        v10 = korvith.canonicalize(t)
        v11 = korvith.canonicalize(t, version="1.1")
        assert korvith.canonicalize(doc, version="1.1") == korvith.canonicalize(doc)
    # Both render the subtree alone; 1.1 is libxml2's C14N 1.1 mode.
    assert v10 == b"<t></t>" and v11.startswith(b"<t") and v11.endswith(b"</t>")


def test_write_c14n_to_a_path_and_a_file_object(tmp_path) -> None:
    with korvith.parse(MIXED) as doc:
        expected = korvith.canonicalize(doc, with_comments=True)
        doc.write_c14n(tmp_path / "out.xml", with_comments=True)
        buf = io.BytesIO()
        doc.write_c14n(buf, with_comments=True)
    assert (tmp_path / "out.xml").read_bytes() == buf.getvalue() == expected
    assert expected.startswith(b"<!-- head -->\n<?top pi?>\n<r ")


@pytest.mark.parametrize("kwargs,error,match", [
    ({"version": "2.0"}, ValueError, "version"),
    ({"exclusive": True, "version": "1.1"}, ValueError, "exclusive"),
    ({"inclusive_ns_prefixes": ["a"]}, ValueError, "only with exclusive"),
    ({"exclusive": True, "inclusive_ns_prefixes": "a"}, TypeError, "list of prefixes"),
    ({"exclusive": True, "inclusive_ns_prefixes": ["a b"]}, ValueError, "invalid namespace"),
])
def test_bad_options_are_refused(kwargs, error, match) -> None:
    with korvith.parse(b"<r/>") as doc, pytest.raises(error, match=match):
        korvith.canonicalize(doc, **kwargs)


def test_closed_and_foreign_arguments() -> None:
    doc = korvith.parse(b"<r><s/></r>")
    s = doc.root[0]
    doc.close()
    for node in (doc, s):
        with pytest.raises(korvith.KorvithError, match="closed document"):
            korvith.canonicalize(node)
    with pytest.raises(TypeError, match="korvith Document or Element"):
        korvith.canonicalize(etree.fromstring(b"<r/>"))
