"""The command line for scripts: argument order, exit status on no match,
every node kind printed, JSON without NaN, per-file lines and help."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest
from lxml import etree

MIXED = b'<r xmlns:p="urn:p" a="1"><b>one\ntwo</b><!--note--><?job run?><p:c/></r>'


def run(cwd, *args):
    return subprocess.run([sys.executable, "-m", "korvith", *args], cwd=cwd,
                          capture_output=True, timeout=120)


@pytest.fixture
def files(tmp_path):
    (tmp_path / "m.xml").write_bytes(MIXED)
    (tmp_path / "n.xml").write_bytes(b"<r><b>three</b></r>")
    return tmp_path


@pytest.mark.parametrize("args, words", [
    (["m.xml", "n.xml"], ["no XPath given", "'n.xml' is a file", "FILE... XPATH"]),
    (["//b", "m.xml"], ["the XPath comes after the files", "korvith query m.xml '//b'"]),
])
def test_query_argument_order_mistakes_are_usage_errors(files, args, words):
    result = run(files, "query", *args)
    assert result.returncode == 2 and result.stdout == b""
    for word in words:
        assert word in result.stderr.decode()


@pytest.mark.parametrize("xpath, mode, expected", [
    ("//text()", "text", ["one", "two"]),
    ("//comment() | //processing-instruction()", "text", ["note", "run"]),
    ("//comment() | //processing-instruction() | //@a", "xml",
     ['a="1"', "<!--note-->", "<?job run?>"]),
    ("/r/namespace::p", "xml", ['xmlns:p="urn:p"']),
    ("/r/namespace::p", "text", ["urn:p"]),
])
def test_every_node_kind_is_printed(files, xpath, mode, expected):
    result = run(files, "query", "m.xml", xpath, "-o", mode)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == expected
    # one JSON line per node, as many nodes as lxml selects
    as_json = run(files, "query", "m.xml", xpath, "-o", "json").stdout.splitlines()
    assert len(as_json) == len(etree.fromstring(MIXED).xpath(xpath))


def test_json_lines_name_node_kinds(files):
    result = run(files, "query", "m.xml", "//@a | //comment()", "-o", "json")
    lines = [json.loads(x) for x in result.stdout.splitlines()]
    assert lines == [{"value": "1", "kind": "attribute", "name": "a"},
                     {"value": "note", "kind": "comment"}]


@pytest.mark.parametrize("xpath, value", [
    ("1 div 0", "Infinity"), ("-1 div 0", "-Infinity"), ("0 div 0", "NaN"), ("2 div 4", 0.5),
])
def test_json_output_is_always_json(files, xpath, value):
    result = run(files, "query", "m.xml", xpath, "-o", "json")
    assert result.returncode == 0
    assert json.loads(result.stdout, parse_constant=lambda c: pytest.fail(c)) == {"value": value}


def test_multiline_values_keep_their_file_on_every_line(files):
    result = run(files, "query", "m.xml", "n.xml", "//b")
    assert result.stdout.decode().splitlines() == ["m.xml:one", "m.xml:two", "n.xml:three"]


@pytest.mark.parametrize("args, word", [
    (["--indent", "99"], "--indent must be from 0 to 60"),
    (["--encoding", "no-such-codec"], "unknown encoding 'no-such-codec'"),
])
def test_fmt_bad_options_are_usage_errors(files, args, word):
    result = run(files, "fmt", "m.xml", *args)
    assert result.returncode == 2 and word in result.stderr.decode()
    assert b"Traceback" not in result.stderr


@pytest.mark.parametrize("command", ["query", "extract", "fmt", "stats", "demo"])
def test_every_help_shows_an_example(files, command):
    out = run(files, command, "--help").stdout.decode()
    assert "examples:\n  korvith " + command in out


def test_plan_option_is_explained(files):
    out = " ".join(run(files, "extract", "--help").stdout.decode().split())
    assert "--plan PLAN.json the record shape as JSON" in out
