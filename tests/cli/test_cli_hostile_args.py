"""Hostile or mistaken command lines end in a one-line error and the
usage exit status (2), or exit 1 for bad input, never in a traceback or an
endless read."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

from korvith import cli

XML = b"<r><a k='v'>x</a></r>"


def run(tmp_path, *args):
    return subprocess.run([sys.executable, "-m", "korvith", *args], cwd=tmp_path,
                          capture_output=True, timeout=60)


def _plan(tmp_path, text: str) -> str:
    (tmp_path / "plan.json").write_text(text, encoding="utf-8")
    return "plan.json"


DEEP_PLAN = '{"tag": "r", "fields": {"x": ' + "[" * 3000 + "]" * 3000 + "}}"

# (arguments, plan file text or None, exit status, the whole first stderr line)
CASES = [
    (["fmt", "--indent", "61", "in.xml"], None, 2,
     "korvith fmt: error: --indent must be from 0 to 60, not 61"),
    (["fmt", "-o", "/nonexistent/dir/x", "in.xml"], None, 2,
     "korvith fmt: error: --output /nonexistent/dir/x: No such file or directory"),
    (["fmt", "--encoding", "nonesuch", "in.xml"], None, 2,
     "korvith fmt: error: --encoding: unknown encoding 'nonesuch'"),
    (["demo", "--size", "nan"], None, 2,
     "korvith demo: error: argument --size: must be a positive number of MB up to 100000, "
     "not 'nan'"),
    (["extract", "in.xml", "--plan", "plan.json"], '{"tag": "a\\u0000b", "fields": {}}', 2,
     "korvith extract: error: record tag 'a\\x00b' contains a NUL character"),
    (["extract", "in.xml", "--plan", "plan.json"],
     '{"tag": "r", "attributes": ["k\\u0000"], "fields": {}}', 2,
     "korvith extract: error: plan.json: name 'k\\x00' contains a NUL character"),
    (["extract", "in.xml", "--plan", "plan.json"],
     '{"tag": "r", "fields": {"x\\u0000": "str"}}', 2,
     "korvith extract: error: plan.json: name 'x\\x00' contains a NUL character"),
    (["extract", "in.xml", "--plan", "plan.json"], DEEP_PLAN, 2,
     "korvith extract: error: plan.json: plan nested deeper than 100 levels"),
    (["query", "/dev/zero", "//a"], None, 1, "/dev/zero:1:1: Document is empty"),
    (["stats", "/dev/zero"], None, 1, "/dev/zero:1:1: Document is empty"),
    (["extract", "/dev/zero", "--plan", "plan.json"], '{"tag": "r", "fields": {}}', 1,
     "/dev/zero:1:1: Start tag expected, '<' not found"),
]


@pytest.mark.parametrize("args,plan,status,line", CASES,
                         ids=[" ".join(c[0][:2]) + f"-{i}" for i, c in enumerate(CASES)])
def test_bad_command_lines_end_in_one_clear_line(tmp_path, args, plan, status, line) -> None:
    (tmp_path / "in.xml").write_bytes(XML)
    if plan is not None:
        _plan(tmp_path, plan)
    r = run(tmp_path, *args)
    err = r.stderr.decode()
    assert r.returncode == status, err
    assert "Traceback" not in err
    assert line in err.splitlines()


def test_utf16_output_refusal_says_why(tmp_path) -> None:
    (tmp_path / "in.xml").write_bytes(XML)
    r = run(tmp_path, "fmt", "--encoding", "utf-16", "in.xml")
    assert r.returncode == 2
    assert r.stderr.decode().startswith(
        "korvith fmt: error: --encoding: cannot serialize to 'utf-16': UTF-16 and UTF-32 output "
        "holds NUL bytes")


@pytest.mark.parametrize("command", [["stats", "--html"], ["query", "--html"]])
def test_whole_reads_of_a_device_are_bounded(monkeypatch, capsys, command) -> None:
    monkeypatch.setattr(cli, "DEVICE_READ_LIMIT", 4096)
    extra = ["//a"] if command[0] == "query" else []
    assert cli.main([*command, "/dev/zero", *extra]) == 1
    assert capsys.readouterr().err == (
        "/dev/zero: a device or pipe giving more than 0 MB; save it to a file first\n")


def test_deep_plan_json_is_refused_before_it_is_built(tmp_path) -> None:
    # Valid JSON nested far past the limit but within the decoder's own.
    plan = {"tag": "r", "fields": {"x": "str"}}
    for _ in range(60):
        plan = {"fields": {"sub": plan}}
    plan["tag"] = "r"
    (tmp_path / "in.xml").write_bytes(XML)
    _plan(tmp_path, json.dumps(plan))
    r = run(tmp_path, "extract", "in.xml", "--plan", "plan.json")
    assert r.returncode == 2
    assert r.stderr.decode().splitlines() == [
        "korvith extract: error: plan.json: plan nested deeper than 100 levels"]
