"""Stylesheet compile and run errors reach the caller with their line, and
nothing reaches the process's stderr; the EXSLT functions work per
transform without being registered in libxslt's process-wide registry."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest
from lxml import etree

import korvith

HEAD = ('<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"\n'
        ' xmlns:str="http://exslt.org/strings" xmlns:math="http://exslt.org/math"'
        ' xmlns:set="http://exslt.org/sets" xmlns:date="http://exslt.org/dates-and-times"'
        ' xmlns:exsl="http://exslt.org/common">\n')
TEXT_OUT = '<xsl:output method="text"/>'

# (case, stylesheet body from line 3 on, error line, message fragment)
COMPILE_ERRORS = [
    ("unknown-top", '<xsl:foo/>\n<xsl:template match="/"/>', 3, "unknown XSLT element xsl:foo"),
    ("unknown-in-template", '<xsl:template match="/">\n<xsl:bogus/></xsl:template>', 4,
     "unknown XSLT element xsl:bogus"),
    ("top-level-in-template", '<xsl:template match="/">\n<xsl:template name="x"/>'
     '</xsl:template>', 4, "xsl:template is only allowed at the top level"),
    ("instruction-at-top", '<xsl:value-of select="1"/>\n<xsl:template match="/"/>', 3,
     "xsl:value-of is not allowed at the top level"),
    ("bad-select", '<xsl:template match="/">\n<xsl:value-of select="1 +"/></xsl:template>', 4,
     "xsl:value-of: the select expression '1 +' does not compile (Invalid expression)"),
    ("bad-test", '<xsl:template match="/">\n<xsl:if test="(">x</xsl:if></xsl:template>', 4,
     "xsl:if: the test expression '(' does not compile"),
    ("bad-sort", '<xsl:template match="/">\n<xsl:for-each select="*"><xsl:sort select="+"/>'
     '</xsl:for-each></xsl:template>', 4, "xsl:sort: the select expression '+'"),
    ("bad-key-use", '<xsl:key name="k" match="a" use="1 +"/>\n<xsl:template match="/"/>', 3,
     "xsl:key: the use expression '1 +'"),
    ("bad-variable", '<xsl:template match="/"/>\n<xsl:variable name="v" select="]"/>', 4,
     "xsl:variable: the select expression ']'"),
    ("bad-match", '<xsl:template match="/"/>\n<xsl:template match="a["><r/></xsl:template>', 4,
     "xsl:template: the match pattern 'a[' does not compile"),
    ("number-as-pattern", '<xsl:template match="1">\n<r/></xsl:template>', 3,
     "the match pattern '1' does not compile (not a pattern)"),
    ("bad-value-template", '<xsl:template match="/">\n<r a="x{1 +}y"/></xsl:template>', 4,
     "attribute 'a': the expression '1 +' does not compile"),
    ("missing-select", '<xsl:template match="/">\n<xsl:value-of/></xsl:template>', 4,
     "xsl:value-of: the select attribute is missing"),
    ("missing-test", '<xsl:template match="/">\n<xsl:choose><xsl:when>x</xsl:when></xsl:choose>'
     '</xsl:template>', 4, "xsl:when: the test attribute is missing"),
    ("missing-name", '<xsl:template match="/">\n<xsl:call-template/></xsl:template>', 4,
     "xsl:call-template: the name attribute is missing"),
]
# libxslt compiles these and fails (or prints) only when the element runs.
LXML_ACCEPTS = {"unknown-in-template"}


def _style(body: str) -> bytes:
    return (HEAD + body + "</xsl:stylesheet>").encode()


@pytest.mark.parametrize("case,body,line,message", COMPILE_ERRORS,
                         ids=[c[0] for c in COMPILE_ERRORS])
def test_compile_errors_carry_line_and_message_and_print_nothing(capfd, case, body, line,
                                                                 message) -> None:
    data = _style(body)
    if case not in LXML_ACCEPTS:
        with pytest.raises(etree.XSLTParseError):
            etree.XSLT(etree.fromstring(data))
    with pytest.raises(korvith.XSLTError) as info:
        korvith.XSLT(data)
    entries = [(e.line, e.message) for e in info.value.error_log]
    assert any(n == line and message in m for n, m in entries), entries
    assert f"line {line}: " in str(info.value) and message in str(info.value)
    assert capfd.readouterr().err == ""


def test_not_a_stylesheet_and_included_errors_name_their_file(tmp_path: Path, capfd) -> None:
    with pytest.raises(korvith.XSLTError, match="line 1: the document is not a stylesheet"):
        korvith.XSLT(b"<foo/>")
    (tmp_path / "lib.xsl").write_bytes(_style('<xsl:template name="t">\n<xsl:nope/>'
                                              '</xsl:template>'))
    main = tmp_path / "main.xsl"
    main.write_bytes(_style('<xsl:include href="lib.xsl"/><xsl:template match="/"/>'))
    with pytest.raises(korvith.XSLTError) as info:
        korvith.XSLT(str(main))
    [entry] = info.value.error_log
    assert (entry.line, entry.message) == (4, "unknown XSLT element xsl:nope")
    assert entry.filename.endswith("lib.xsl")
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("body,message", [
    ('<xsl:template match="/">\n<xsl:call-template name="nope"/></xsl:template>',
     "The called template 'nope' was not found."),
    ('<xsl:template match="/">\n<xsl:value-of select="q:x"/></xsl:template>',
     "Undefined namespace prefix: q"),
    ('<xsl:template match="/">\n<xsl:value-of select="$v"/></xsl:template>',
     "Variable 'v' has not been declared."),
], ids=["call", "prefix", "variable"])
def test_runtime_errors_carry_the_instruction_line_like_lxml(capfd, body, message) -> None:
    data = _style(body)
    lxml_style = etree.XSLT(etree.fromstring(data))
    with pytest.raises(etree.XSLTApplyError):
        lxml_style(etree.fromstring(b"<a/>"))
    lxml_lines = {e.line for e in lxml_style.error_log} - {0}
    style = korvith.XSLT(data)
    with pytest.raises(korvith.XSLTError) as info:
        style(korvith.parse(b"<a/>"))
    entries = [(e.line, e.message) for e in info.value.error_log]
    assert (4, message) in entries
    assert lxml_lines == {4}
    assert capfd.readouterr().err == ""


def test_errors_of_one_compile_or_transform_never_reach_the_next(capfd) -> None:
    with pytest.raises(korvith.XSLTError):
        korvith.XSLT(_style('<xsl:template match="/">\n<xsl:bogus/></xsl:template>'))
    good = korvith.XSLT(_style(TEXT_OUT + '<xsl:template match="/">'
                               '<xsl:message>hello</xsl:message>ok</xsl:template>'))
    assert list(good.error_log) == []
    failing = korvith.XSLT(_style('<xsl:template match="/">\n<xsl:call-template name="n"/>'
                                  '</xsl:template>'))
    with pytest.raises(korvith.XSLTError):
        failing(korvith.parse(b"<a/>"))
    assert str(good(korvith.parse(b"<a/>"))) == "ok"
    assert [e.message for e in good.error_log] == ["hello"]
    assert capfd.readouterr().err == ""


# (expression, whether it gives a node-set)
EXSLT_EXPRESSIONS = [
    ("str:tokenize('a,b;;c', ',;')", True),
    ("str:tokenize('  one two\tthree ')", True),
    ("str:tokenize('h\u00e9!', '')", True),
    ("str:tokenize('a\u00e9b\u00e9c', '\u00e9')", True),
    ("str:split('a, b, , c', ', ')", True),
    ("str:split('aXbxc', 'x')", True),
    ("str:split('abc', '')", True),
    ("str:split('one two')", True),
    ("str:replace('banana', 'an', 'AN')", True),
    ("str:replace('abcabc', //s, //t)", True),
    ("str:replace('ab', '', '-')", True),
    ("str:replace('ab', //none, 'x')", True),
    ("str:padding(5, 'ab')", False),
    ("str:concat(//i)", False),
    ("math:max(//i)", False),
    ("math:min(//i)", False),
    ("math:abs(-2.5)", False),
    ("set:distinct(//i)", True),
    ("set:has-same-node(//i, //i[1])", False),
    ("date:year('2024-05-06')", False),
    ("date:add('2024-01-31', 'P1M')", False),
    ("date:day-name('2024-05-06')", False),
    ("exsl:node-set($tree)/b", True),
    ("exsl:node-set('7')", True),
    ("exsl:node-set(//s)", True),
    ("exsl:object-type($tree)", False),
    ("exsl:object-type(1)", False),
    ("exsl:object-type(//i)", False),
    ("function-available('str:tokenize')", False),
    ("function-available('exsl:node-set')", False),
]


@pytest.mark.parametrize("expr,nodes", EXSLT_EXPRESSIONS, ids=[e[0] for e in EXSLT_EXPRESSIONS])
def test_exslt_functions_match_lxml(expr, nodes) -> None:
    select = expr.replace("'", "&apos;")
    each = (f'<xsl:for-each select="{select}"><v n="{{name()}}"><xsl:value-of select="."/></v>'
            '</xsl:for-each>') if nodes else ""
    data = _style('<xsl:variable name="tree"><b>x</b><b>y</b></xsl:variable>'
                  f'<xsl:template match="/"><out>{each}<s><xsl:value-of select="{select}"/></s>'
                  '</out></xsl:template>')
    source = "<r><i>3</i><i>10</i><i>3</i><s>b</s><s>bc</s><t>X</t></r>".encode()
    expected = bytes(etree.XSLT(etree.fromstring(data))(etree.fromstring(source)))
    got = bytes(korvith.XSLT(data)(korvith.parse(source)))
    assert got == expected
    assert (b"<v" in got) == nodes


PROBE = r'''
import ctypes, sys
import korvith
assert "lxml" not in sys.modules
style = korvith.XSLT(sys.argv[1].encode())
print(str(style(korvith.parse(b"<r/>"))))
xslt = ctypes.CDLL("libxslt.so.1")
xslt.xsltExtModuleFunctionLookup.restype = ctypes.c_void_p
xslt.xsltExtModuleFunctionLookup.argtypes = (ctypes.c_char_p, ctypes.c_char_p)
for name, uri in [(b"tokenize", b"http://exslt.org/strings"), (b"max", b"http://exslt.org/math"),
                  (b"node-set", b"http://exslt.org/common")]:
    print(name.decode(), xslt.xsltExtModuleFunctionLookup(name, uri))
'''


def test_exslt_is_registered_per_transform_not_process_wide() -> None:
    # A fresh interpreter without lxml, which registers EXSLT process-wide
    # when it is imported.
    style = _style(TEXT_OUT + '<xsl:template match="/">'
                   '<xsl:for-each select="str:tokenize(\'x y\')">[<xsl:value-of select="."/>]'
                   '</xsl:for-each><xsl:value-of select="math:max(exsl:node-set(\'7\'))"/>'
                   '</xsl:template>')
    run = subprocess.run([sys.executable, "-c", PROBE, style.decode()], capture_output=True,
                         text=True, check=False, cwd=Path(korvith.__file__).parent.parent)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["[x][y]7", "tokenize None", "max None", "node-set None"]
    assert run.stderr == ""
