"""XSLT transforms against lxml (same output bytes on generated corpus
files), parameters, and the secure defaults: no writing, no network, reads
only where allowed, bounded recursion, input never changed."""

from __future__ import annotations

import socket
import time
from pathlib import Path

import pytest
from lxml import etree

import korvith
from corpus import GIR_XSL, MIME_TEXT_XSL, gir, mime_database

XSL = 'xmlns:xsl="http://www.w3.org/1999/XSL/Transform" version="1.0"'


def _both(style: str, data: bytes, **params):
    """(korvith output bytes, lxml output bytes) for the same transform."""
    lparams = {k: (etree.XSLT.strparam(v[1]) if isinstance(v, tuple) else v)
               for k, v in params.items()}
    kparams = {k: (korvith.strparam(v[1]) if isinstance(v, tuple) else v)
               for k, v in params.items()}
    lresult = etree.XSLT(etree.fromstring(style.encode()))(etree.fromstring(data), **lparams)
    with korvith.parse(data) as doc:
        result = korvith.XSLT(korvith.parse(style.encode()))(doc, **kparams)
    with result:
        return bytes(result), bytes(lresult)


@pytest.mark.parametrize("style,data,params", [
    (GIR_XSL, gir(4), {}),
    (GIR_XSL, gir(2), {"title": ("s", "it's \"quoted\"")}),
    (GIR_XSL, gir(1), {"title": "concat('a', 'b')"}),
    (MIME_TEXT_XSL, mime_database(5), {}),
    (MIME_TEXT_XSL, mime_database(2), {"sep": ("s", " => ")}),
], ids=["gir", "gir-strparam", "gir-xpath-param", "mime-text", "mime-text-param"])
def test_transforms_match_lxml(style, data, params) -> None:
    got, expected = _both(style, data, **params)
    assert got == expected
    assert got  # the transforms all produce output


def test_result_is_a_document_and_text_output_is_its_string() -> None:
    with korvith.parse(gir(3)) as doc:
        result = korvith.XSLT(korvith.parse(GIR_XSL.encode()))(doc, title="'t'")
        assert result.root.tag == "report" and result.root.get("count") == "3"
        assert [c.get("name") for c in result.findall("class")] == \
            ["Widget2", "Widget1", "Widget0"]
        assert result.findtext("first") == "TestWidget0"
        assert result.xpath("string(/report/class[1]/@upper)") == "**WIDGET2"
        text = korvith.XSLT(korvith.parse(MIME_TEXT_XSL.encode()))(korvith.parse(
            mime_database(2)))
        assert str(text) == "application/x-test0:*.t0\napplication/x-test1:*.t1\n"
        with pytest.raises(korvith.KorvithError, match="no root element"):
            text.root


@pytest.mark.parametrize("value", ["plain", "it's", 'say "hi"', "both ' and \"", ""])
def test_strparam_reaches_the_stylesheet_unchanged(value) -> None:
    style = korvith.XSLT(f'<xsl:stylesheet {XSL}><xsl:output method="text"/>'
                         '<xsl:param name="v"/><xsl:template match="/">'
                         '<xsl:value-of select="$v"/></xsl:template></xsl:stylesheet>'.encode())
    with korvith.parse(b"<r/>") as doc:
        assert str(style(doc, v=korvith.strparam(value))) == value
        assert str(style(doc, v=korvith.XSLT.strparam(value))) == value


def test_input_document_is_never_changed() -> None:
    # xsl:strip-space makes libxslt remove whitespace in the source tree.
    style = korvith.XSLT(f'<xsl:stylesheet {XSL}><xsl:strip-space elements="*"/>'
                         '<xsl:template match="/"><n><xsl:value-of select="count(//text())"/>'
                         '</n></xsl:template></xsl:stylesheet>'.encode())
    data = b"<r>\n  <a>x</a>\n  <b> </b>\n</r>"
    with korvith.parse(data) as doc:
        before = doc.tobytes()
        with style(doc) as result:
            assert result.root.text == "1"
        assert doc.tobytes() == before
        assert [c.text for c in doc.root] == ["x", " "]
        assert str(style(doc.root[0])).endswith("<n>1</n>\n")


# ------------------------------------------------------------------ security

@pytest.fixture
def listener():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(4)
    sock.settimeout(0.3)
    yield sock.getsockname()[1]
    with pytest.raises(TimeoutError):
        sock.accept()
    sock.close()


def _style(body: str, extra: str = "") -> bytes:
    return f'<xsl:stylesheet {XSL} {extra}>{body}</xsl:stylesheet>'.encode()


def _doc_call(href: str) -> str:
    return f'<xsl:template match="/"><r><xsl:copy-of select="document(\'{href}\')"/></r>' \
           '</xsl:template>'


@pytest.mark.parametrize("case", ["network", "etc", "disabled", "write", "mkdir"])
def test_runtime_accesses_are_refused_naming_them(tmp_path, listener, case) -> None:
    (tmp_path / "data.xml").write_text("<d>secret</d>")
    out = tmp_path / "sub" / "out.txt"
    bodies = {
        "network": (_doc_call(f"http://127.0.0.1:{listener}/y"), True,
                    f"refused to load 'http://127.0.0.1:{listener}/y': network access"),
        "etc": (_doc_call("file:///etc/passwd"), True, "refused to load '/etc/passwd': "
                                                       "outside the allowed directories"),
        "disabled": (_doc_call("data.xml"), False, "document() is disabled"),
        "write": (f'<xsl:template match="/"><exsl:document href="{tmp_path}/out.txt" '
                  'method="text">x</exsl:document><r/></xsl:template>', False,
                  f"refused to write '{tmp_path}/out.txt'"),
        "mkdir": (f'<xsl:template match="/"><exsl:document href="{out}" method="text">x'
                  '</exsl:document><r/></xsl:template>', False, "refused to"),
    }
    body, documents, needle = bodies[case]
    path = tmp_path / "style.xsl"
    path.write_bytes(_style(body, 'xmlns:exsl="http://exslt.org/common" '
                                  'extension-element-prefixes="exsl"'))
    transform = korvith.XSLT(path, documents=documents)
    started = time.monotonic()
    with korvith.parse(b"<r/>") as doc, pytest.raises(korvith.XSLTError) as info:
        transform(doc)
    assert time.monotonic() - started < 2
    messages = [e.message for e in info.value.error_log]
    assert any(needle in m for m in messages), messages
    assert not (tmp_path / "out.txt").exists() and not (tmp_path / "sub").exists()


def test_document_reads_allowed_files_only_when_enabled(tmp_path) -> None:
    (tmp_path / "data.xml").write_text("<d>local</d>")
    path = tmp_path / "style.xsl"
    path.write_bytes(_style(_doc_call("data.xml")))
    with korvith.parse(b"<r/>") as doc:
        assert korvith.XSLT(path, documents=True)(doc).root.findtext("d") == "local"
        # The same file from a stylesheet elsewhere: outside its directory.
        other = tmp_path / "other"
        other.mkdir()
        (other / "style.xsl").write_bytes(_style(_doc_call("../data.xml")))
        with pytest.raises(korvith.XSLTError, match="outside the allowed directories"):
            korvith.XSLT(other / "style.xsl", documents=True)(doc)
        allowed = korvith.XSLT(other / "style.xsl", documents=True, allow_dirs=[tmp_path])
        assert allowed(doc).root.findtext("d") == "local"


@pytest.mark.parametrize("case,needle", [
    ("cycle", "stylesheet include cycle"),
    ("indirect", "stylesheet include cycle"),
    ("network", "network access is not allowed"),
    ("etc", "refused to load 'file:///etc/passwd'"),
    ("outside", "outside the allowed directories"),
    ("doctype", "may not have a document type declaration"),
])
def test_hostile_includes_fail_at_compile_time(tmp_path, listener, case, needle) -> None:
    sub = tmp_path / "s"
    sub.mkdir()
    (tmp_path / "up.xsl").write_bytes(_style(""))
    (sub / "b.xsl").write_bytes(_style('<xsl:import href="a.xsl"/>'))
    (sub / "dt.xsl").write_text(f'<!DOCTYPE x SYSTEM "http://127.0.0.1:{listener}/x.dtd">'
                                + _style("").decode())
    hrefs = {"cycle": "a.xsl", "indirect": "b.xsl",
             "network": f"http://127.0.0.1:{listener}/x.xsl", "etc": "file:///etc/passwd",
             "outside": "../up.xsl", "doctype": "dt.xsl"}
    (sub / "a.xsl").write_bytes(_style(f'<xsl:include href="{hrefs[case]}"/>'))
    with pytest.raises(korvith.XSLTError) as info:
        korvith.XSLT(sub / "a.xsl")
    assert needle in str(info.value) or any(needle in e.message for e in info.value.error_log)


def test_allowed_includes_and_imports_work(tmp_path) -> None:
    lib = tmp_path / "lib"
    lib.mkdir()
    (lib / "t.xsl").write_bytes(_style('<xsl:template match="r"><out>lib</out></xsl:template>'))
    (tmp_path / "near.xsl").write_bytes(_style('<xsl:template name="n"><near/></xsl:template>'))
    (tmp_path / "main.xsl").write_bytes(_style(
        '<xsl:import href="lib/t.xsl"/><xsl:include href="near.xsl"/>'))
    with korvith.parse(b"<r/>") as doc:
        assert korvith.XSLT(tmp_path / "main.xsl")(doc).root.text == "lib"
        # From a parsed file the document's name gives the directory.
        style = korvith.parse_file(tmp_path / "main.xsl")
        assert korvith.XSLT(style)(doc).root.text == "lib"


def test_infinite_recursion_is_bounded_with_a_clear_error() -> None:
    style = _style('<xsl:template match="/"><xsl:call-template name="f"/></xsl:template>'
                   '<xsl:template name="f"><x><xsl:call-template name="f"/></x></xsl:template>')
    with korvith.parse(b"<r/>") as doc:
        for depth in (50, korvith.xslt.DEFAULT_MAX_DEPTH):
            with pytest.raises(korvith.XSLTError, match="infinite template recursion") as info:
                korvith.XSLT(style, max_depth=depth)(doc)
            assert any(f"currently set to {depth}" in e.message for e in info.value.error_log)
        # A legitimately deep recursion below the bound runs.
        count = _style('<xsl:template match="/"><out><xsl:call-template name="c"><xsl:with-param '
                       'name="n" select="40"/></xsl:call-template></out></xsl:template>'
                       '<xsl:template name="c"><xsl:param name="n"/><xsl:if test="$n &gt; 0">'
                       '<i/><xsl:call-template name="c"><xsl:with-param name="n" '
                       'select="$n - 1"/></xsl:call-template></xsl:if></xsl:template>')
        assert korvith.XSLT(count, max_depth=200)(doc).xpath("count(//i)") == 40.0
        with pytest.raises(korvith.XSLTError, match="infinite template recursion"):
            korvith.XSLT(count, max_depth=20)(doc)


def test_errors_do_not_leak_between_transforms() -> None:
    style = korvith.XSLT(_style('<xsl:param name="fail"/><xsl:template match="/">'
                                '<xsl:if test="$fail"><xsl:message terminate="yes">stop here'
                                '</xsl:message></xsl:if><ok/></xsl:template>'))
    with korvith.parse(b"<r/>") as doc:
        with pytest.raises(korvith.XSLTError, match="stop here"):
            style(doc, fail="true()")
        assert style(doc, fail="false()").root.tag == "ok"
        assert list(style.error_log) == []


@pytest.mark.parametrize("kwargs,error,match", [
    ({"v": 3j}, TypeError, "XPath expression"),
    ({"v": "a\0b"}, ValueError, "NUL"),
    ({"v": "1 +"}, korvith.XSLTError, "Invalid expression"),
])
def test_bad_parameters(kwargs, error, match) -> None:
    style = korvith.XSLT(_style('<xsl:param name="v"/><xsl:template match="/"><r/>'
                                '</xsl:template>'))
    with korvith.parse(b"<r/>") as doc, pytest.raises(error, match=match):
        style(doc, **kwargs)


def test_bad_stylesheets_and_arguments() -> None:
    with pytest.raises(korvith.XSLTError, match="does not compile"):
        korvith.XSLT(_style('<xsl:template match="///"/>'))
    with pytest.raises(korvith.XSLTError, match="not defined|not well-formed"):
        korvith.XSLT(b"<xsl:stylesheet")
    with pytest.raises(TypeError, match="XSLT stylesheet must be"):
        korvith.XSLT(42)
    with pytest.raises(ValueError, match="max_depth"):
        korvith.XSLT(_style(""), max_depth=0)
    style = korvith.XSLT(_style(""))
    doc = korvith.parse(b"<r/>")
    doc.close()
    with pytest.raises(korvith.KorvithError, match="closed document"):
        style(doc)
    with pytest.raises(TypeError, match="korvith Document or Element"):
        style(etree.fromstring(b"<r/>"))


def test_result_outlives_the_stylesheet_object(tmp_path: Path) -> None:
    with korvith.parse(gir(2)) as doc:
        result = korvith.XSLT(korvith.parse(GIR_XSL.encode()))(doc)
    import gc
    gc.collect()
    assert result.root.get("count") == "2" and bytes(result).startswith(b"<?xml")
    result.close()
