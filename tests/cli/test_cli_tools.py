"""The validate, c14n and xslt subcommands and --html, run as a user runs
them; lxml gives the expected verdicts, lines and bytes."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest
from lxml import etree

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "package"))
from corpus import MIME_RNG, MIME_TEXT_XSL, MIME_XSD, XML_XSD, mime_database  # noqa: E402

PAGE = b"<html><head><title>Shop</title></head><body><ul><li class=t>tea<li>cake</ul>"


def run(cwd, *args):
    return subprocess.run([sys.executable, "-m", "korvith", *map(str, args)], cwd=cwd,
                          capture_output=True, timeout=120)


@pytest.fixture
def files(tmp_path: Path) -> Path:
    (tmp_path / "mime.xsd").write_text(MIME_XSD)
    (tmp_path / "xml.xsd").write_text(XML_XSD)
    (tmp_path / "mime.rng").write_text(MIME_RNG)
    (tmp_path / "good.xml").write_bytes(mime_database(3))
    (tmp_path / "bad.xml").write_bytes(mime_database(3, bad_line_type=2))
    (tmp_path / "text.xsl").write_text(MIME_TEXT_XSL)
    (tmp_path / "page.html").write_bytes(PAGE)
    return tmp_path


@pytest.mark.parametrize("option,schema", [("--schema", "mime.xsd"), ("--relaxng", "mime.rng")])
def test_validate_prints_file_line_column_and_exits_1_on_any_invalid(files, option,
                                                                     schema) -> None:
    ok = run(files, "validate", option, schema, "good.xml")
    assert (ok.returncode, ok.stdout) == (0, b"good.xml: valid\n")
    res = run(files, "validate", option, schema, "good.xml", "bad.xml")
    assert res.returncode == 1
    lines = res.stdout.decode().splitlines()
    cls = etree.XMLSchema if option == "--schema" else etree.RelaxNG
    oracle = cls(etree.parse(str(files / schema)))
    assert not oracle.validate(etree.parse(str(files / "bad.xml")))
    expected = [f"bad.xml:{e.line}:{e.column}: {e.message}" for e in oracle.error_log]
    assert lines == ["good.xml: valid", *expected]
    assert lines[1].startswith("bad.xml:20:0: ")


def test_validate_with_dtds_and_usage_errors(files) -> None:
    (files / "r.dtd").write_text("<!ELEMENT r (e*)><!ELEMENT e EMPTY>")
    (files / "r.xml").write_bytes(b"<r>\n<e/>\n<x/>\n</r>")
    (files / "i.xml").write_bytes(b"<!DOCTYPE r [<!ELEMENT r EMPTY>]><r/>")
    res = run(files, "validate", "--dtd", "r.dtd", "r.xml")
    assert res.returncode == 1
    assert res.stdout.decode().splitlines()[-1] == "r.xml:3:0: No declaration for element x"
    res = run(files, "validate", "-q", "--internal-dtd", "i.xml")
    assert (res.returncode, res.stdout) == (0, b"")
    assert run(files, "validate", "--internal-dtd", "r.xml").returncode == 1
    # Usage: no schema kind, an unreadable schema, a schema that fails.
    assert run(files, "validate", "r.xml").returncode == 2
    missing = run(files, "validate", "--schema", "nope.xsd", "r.xml")
    assert missing.returncode == 2 and b"nope.xsd" in missing.stderr
    (files / "net.xsd").write_text('<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">'
                                   '<xs:include schemaLocation="http://127.0.0.1:9/x.xsd"/>'
                                   '</xs:schema>')
    net = run(files, "validate", "--schema", "net.xsd", "r.xml")
    assert net.returncode == 2 and b"http://127.0.0.1:9/x.xsd" in net.stderr


@pytest.mark.parametrize("args,opts", [
    ((), {"with_comments": False}),
    (("--with-comments",), {"with_comments": True}),
    (("--exclusive",), {"exclusive": True, "with_comments": False}),
])
def test_c14n_matches_lxml(files, args, opts) -> None:
    res = run(files, "c14n", *args, "good.xml")
    assert res.returncode == 0
    assert res.stdout == etree.tostring(etree.parse(str(files / "good.xml")), method="c14n",
                                        **opts)


def test_xslt_writes_the_output_and_takes_parameters(files) -> None:
    res = run(files, "xslt", "text.xsl", "good.xml", "-p", "sep=' =")
    assert res.returncode == 0
    assert res.stdout.decode().splitlines() == [f"application/x-test{i}' =*.t{i}"
                                                for i in range(3)]
    res = run(files, "xslt", "text.xsl", "good.xml", "-x", "sep=concat('<', '>')")
    assert res.stdout.decode().splitlines()[0] == "application/x-test0<>*.t0"
    (files / "doc.xsl").write_text(
        '<xsl:stylesheet xmlns:xsl="http://www.w3.org/1999/XSL/Transform" version="1.0">'
        "<xsl:template match='/'><r><xsl:copy-of select=\"document('/etc/passwd')\"/></r>"
        '</xsl:template></xsl:stylesheet>')
    refused = run(files, "xslt", "doc.xsl", "good.xml")
    assert refused.returncode == 1 and b"refused to read '/etc/passwd'" in refused.stderr
    assert run(files, "xslt", "missing.xsl", "good.xml").returncode == 2


def test_html_option_on_query_stats_and_extract(files) -> None:
    q = run(files, "query", "--html", "page.html", "//li")
    assert (q.returncode, q.stdout) == (0, b"tea\ncake\n")
    assert run(files, "query", "page.html", "//li").returncode == 1  # not XML
    s = run(files, "stats", "--html", "--json", "page.html")
    assert s.returncode == 0
    stats = json.loads(s.stdout)
    assert stats["elements"] == 7 and stats["depth"] == 4
    (files / "plan.json").write_text(json.dumps({"tag": "li", "attributes": ["class"]}))
    e = run(files, "extract", "--html", "page.html", "--plan", "plan.json")
    assert e.returncode == 0, e.stderr
    assert [json.loads(line) for line in e.stdout.splitlines()] == [{"class": "t"},
                                                                    {"class": None}]
