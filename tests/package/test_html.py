"""HTML parsing into korvith documents, with lxml's HTML parser (the same
libxml2 parser) as the oracle for the repaired tree and its text."""

from __future__ import annotations

import io
import time

import lxml.html
import pytest
from lxml import etree

import korvith

SOUP = [
    b"<p>Hello <b>web",
    b"<P CLASS=x ID='a'>One<p>Two<BR>three</P><Table><tr><td>c1<td>c2</table>",
    b"<html><head><title>T</title><body><ul><li>a<li>b</ul><div>x</span>y</div>",
    b"<!DOCTYPE html><html><body><script>if (a < b && c) {}</script><p>&amp; &copy; &nbsp;",
    b"<div><a href='/x?a=1&b=2'>link</a><img src=i.png alt=''><input disabled></div>",
    "<p>caf\u00e9 \u20ac</p>".encode("utf-8"),
]


def _lxml_tags(data: bytes) -> list[tuple[str, dict]]:
    root = etree.HTML(data)
    return [(el.tag, dict(el.attrib)) for el in root.iter(etree.Element)]


@pytest.mark.parametrize("data", SOUP, ids=range(len(SOUP)))
def test_repaired_tree_and_text_match_lxml(data) -> None:
    with korvith.html.document_fromstring(data) as doc:
        tags = [(el.tag, dict(el.attrib)) for el in doc.iter()]
        text = korvith.html.text_content(doc)
    assert tags == _lxml_tags(data)
    assert text == lxml.html.document_fromstring(data).text_content()


def test_names_are_lower_case_and_queries_work() -> None:
    root = korvith.html.fromstring(SOUP[1])
    assert root.tag == "html"
    assert [p.get("class") for p in root.iter("p")] == ["x", None]
    assert root.find(".//P") is None and root.find(".//p").get("id") == "a"
    assert [td.text for td in root.xpath("//tr/td")] == ["c1", "c2"]
    assert root.xpath("count(//tr/td)") == 2.0
    assert "".join(root.find(".//p").itertext()) == "One"
    assert root.getparent() is None


@pytest.mark.parametrize("data,encoding,expected", [
    ('<meta charset="iso-8859-1"><p>caf\u00e9</p>'.encode("latin-1"), None, "caf\u00e9"),
    ('<meta http-equiv="Content-Type" content="text/html; charset=windows-1251">'
     '<p>\u0416</p>'.encode("cp1251"), None, "\u0416"),
    ('<p>\u0416</p>'.encode("cp1251"), "windows-1251", "\u0416"),
    ('<meta charset="utf-8"><p>\u20ac</p>'.encode("utf-8"), None, "\u20ac"),
    ("\ufeff<p>\u20ac</p>".encode("utf-16"), None, "\u20ac"),
])
def test_encoding_from_meta_bom_or_argument(data, encoding, expected) -> None:
    with korvith.html.document_fromstring(data, encoding=encoding) as doc:
        assert doc.findtext(".//p") == expected
    lroot = etree.HTML(data, parser=etree.HTMLParser(encoding=encoding))
    assert lroot.findtext(".//p") == expected


def test_parse_accepts_paths_files_bytes_and_str(tmp_path) -> None:
    page = b"<title>t</title><p>x</p>"
    path = tmp_path / "page.html"
    path.write_bytes(page)
    sources = [path, str(path), io.BytesIO(page), io.StringIO(page.decode()), page,
               page.decode()]
    for source in sources:
        with korvith.html.parse(source) as doc:
            assert (doc.findtext(".//title"), doc.findtext(".//p")) == ("t", "x")
    with korvith.html.parse(path) as doc:
        assert doc.filename == str(path)


def test_str_input_ignores_a_conflicting_meta_charset() -> None:
    page = '<meta charset="iso-8859-1"><p>\u20ac\u0416</p>'
    assert korvith.html.fromstring(page).findtext(".//p") == "\u20ac\u0416"


def test_megabytes_of_unclosed_tags_stay_flat() -> None:
    data = b"<div>" * 1_000_000 + b"<p>end"
    started = time.monotonic()
    with korvith.html.document_fromstring(data) as doc:
        depth = max(len(el.xpath("ancestor::*")) for el in doc.iter("div"))
        count = sum(1 for _ in doc.iter())
    assert time.monotonic() - started < 10
    lroot = etree.HTML(data)
    assert count == sum(1 for _ in lroot.iter()) and depth <= 256


def test_no_network_and_no_external_entities(tmp_path) -> None:
    import socket
    secret = tmp_path / "secret.txt"
    secret.write_text("TOPSECRET")
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(1)
    sock.settimeout(0.3)
    port = sock.getsockname()[1]
    page = (f'<!DOCTYPE html SYSTEM "http://127.0.0.1:{port}/x.dtd">'
            f'<p>a</p><iframe src="file://{secret}"></iframe>'
            f'<link rel=stylesheet href="http://127.0.0.1:{port}/s.css">').encode()
    with korvith.html.document_fromstring(page) as doc:
        assert "TOPSECRET" not in doc.tobytes().decode()
        assert doc.findtext(".//p") == "a"
    with pytest.raises(TimeoutError):
        sock.accept()
    sock.close()


def test_html_documents_work_with_plans_and_serialisation() -> None:
    page = b"<table><tr><td class=n>tea</td><td>3</td></tr><tr><td class=n>cake</td></tr>"
    with korvith.html.document_fromstring(page) as doc:
        plan = korvith.Plan({"td": str})
        rows = [korvith.extract(tr, plan) for tr in doc.iter("tr")]
        assert rows == [{"td": "tea"}, {"td": "cake"}]
        out = doc.tobytes()
    assert etree.fromstring(out).tag == "html"  # well-formed XML out


@pytest.mark.parametrize("bad,error", [(42, TypeError), (None, TypeError)])
def test_bad_input(bad, error) -> None:
    with pytest.raises(error):
        korvith.html.document_fromstring(bad)
    with pytest.raises(TypeError, match="encoding must be a str"):
        korvith.html.fromstring(b"<p>", encoding=8)
    with pytest.raises(ValueError, match="applies to bytes"):
        korvith.html.fromstring("<p>", encoding="utf-8")
