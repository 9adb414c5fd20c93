"""The korvith command line, driven the way a user runs it."""

from __future__ import annotations

import json
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

BOOKS = b"""<?xml version="1.0"?>
<library xmlns:dc="http://purl.org/dc/elements/1.1/">
  <book id="b1" year="1969"><dc:title>Left Hand</dc:title><tags>sf classic</tags><n>3</n></book>
  <book id="b2" year="1976"><dc:title>Selfish Gene</dc:title><tags>bio</tags><n>0</n></book>
  <book id="b3" year="1961"><dc:title>Solaris</dc:title><tags>sf ocean</tags><n>12</n></book>
</library>
"""
DC = "http://purl.org/dc/elements/1.1/"


def run(tmp_path, *args, stdin: bytes | None = None):
    """Run ``python -m korvith ARGS`` from a directory without sources."""
    return subprocess.run([sys.executable, "-m", "korvith", *args], cwd=tmp_path, input=stdin,
                          capture_output=True, timeout=120)


@pytest.fixture
def books(tmp_path):
    path = tmp_path / "books.xml"
    path.write_bytes(BOOKS)
    return path


@pytest.fixture
def bad(tmp_path):
    path = tmp_path / "bad.xml"
    path.write_bytes(b"<a>\n  <b>\n</a>\n")
    return path


class TestQuery:
    @pytest.mark.parametrize("args, expected", [
        (["//book/@id/.."], "Left Handsf classic3\nSelfish Genebio0\nSolarissf ocean12\n"),
        (["//dc:title", "-n", f"dc={DC}"], "Left Hand\nSelfish Gene\nSolaris\n"),
        (["//book", "-o", "count"], "3\n"),
        (["count(//book)"], "3\n"),
        (["count(//book) > 2"], "true\n"),
        (["string(//book[2]/@year)"], "1976\n"),
        (["sum(//n) div 2"], "7.5\n"),
        (["//book[@year < $y]/@id/..", "--var", "y:number=1970", "-o", "count"], "2\n"),
        (["//book[@id = $id]/tags", "--var", "id=b3"], "sf ocean\n"),
        (["//book/@id"], "b1\nb2\nb3\n"),
        (["//book[n > 2]/@year", "-o", "json"],
         '{"value": "1969", "kind": "attribute", "name": "year"}\n'
         '{"value": "1961", "kind": "attribute", "name": "year"}\n'),
    ])
    def test_outputs(self, tmp_path, books, args, expected):
        xpath, *options = args
        result = run(tmp_path, "query", str(books), xpath, *options)
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode() == expected

    @pytest.mark.parametrize("args, expected", [
        (["//book[$all]", "--var", "all:bool=false", "-o", "count"], "0\n"),
        (["//nothing"], ""),
    ])
    def test_no_match_exits_1_like_grep(self, tmp_path, books, args, expected):
        xpath, *options = args
        result = run(tmp_path, "query", str(books), xpath, *options)
        assert (result.returncode, result.stdout.decode(), result.stderr) == (1, expected, b"")

    def test_xml_output_reparses(self, tmp_path, books):
        result = run(tmp_path, "query", str(books), "//book[@id='b2']", "-o", "xml")
        assert result.returncode == 0, result.stderr
        book = ET.fromstring(result.stdout)
        assert book.get("year") == "1976"
        assert book.find(f"{{{DC}}}title").text == "Selfish Gene"

    def test_json_lines(self, tmp_path, books):
        result = run(tmp_path, "query", str(books), "//book", "-o", "json")
        records = [json.loads(line) for line in result.stdout.splitlines()]
        assert [r["attrib"]["id"] for r in records] == ["b1", "b2", "b3"]
        assert records[0]["tag"] == "book" and records[0]["line"] == 3
        assert records[2]["text"] == "Solarissf ocean12"

    def test_several_files_prefix_lines(self, tmp_path, books):
        other = tmp_path / "two.xml"
        other.write_bytes(b"<library><book id='x'/></library>")
        result = run(tmp_path, "query", str(books), str(other), "//book", "-o", "count")
        assert result.stdout.decode().splitlines() == [f"{books}:3", f"{other}:1"]

    def test_standard_input(self, tmp_path):
        result = run(tmp_path, "query", "-", "count(//i)", stdin=b"<r><i/><i/></r>")
        assert (result.returncode, result.stdout) == (0, b"2\n")

    def test_missing_file_fails_but_other_files_are_answered(self, tmp_path, books):
        result = run(tmp_path, "query", "missing.xml", str(books), "count(//book)")
        assert result.returncode == 1
        assert b"missing.xml: No such file or directory" in result.stderr
        assert result.stdout.decode().splitlines() == [f"{books}:3"]

    def test_malformed_file_reports_position(self, tmp_path, bad):
        result = run(tmp_path, "query", str(bad), "//b")
        assert result.returncode == 1
        line = result.stderr.decode().strip()
        assert line.startswith(f"{bad}:3:"), line

    @pytest.mark.parametrize("args, words", [
        (["//x:book"], "undefined namespace prefix 'x'"),
        (["//book[@id = $missing]"], "undefined variable $missing"),
        (["//book[", ], "//book["),
        (["//book", "-n", "nonsense"], "PREFIX=URI"),
        (["//book", "--var", "n:date=1"], "unknown type 'date'"),
        (["//book", "-o", "yaml"], "invalid choice"),
    ])
    def test_usage_errors_exit_2(self, tmp_path, books, args, words):
        xpath, *options = args
        result = run(tmp_path, "query", str(books), xpath, *options)
        assert result.returncode == 2
        assert words in result.stderr.decode()
        assert result.stdout == b""


class TestFmt:
    def test_indents_with_declaration(self, tmp_path):
        src = tmp_path / "flat.xml"
        src.write_bytes(b"<r><a x='1'><b>t</b></a></r>")
        result = run(tmp_path, "fmt", str(src))
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith(b"<?xml")
        assert b'\n  <a x="1">\n    <b>t</b>\n  </a>\n' in result.stdout

    @pytest.mark.parametrize("options, check", [
        (["--no-declaration", "--indent", "0"], lambda out: out == b"<r><a>caf\xc3\xa9</a></r>\n"),
        (["--encoding", "ISO-8859-1"], lambda out: b"caf\xe9" in out and b"ISO-8859-1" in out),
    ])
    def test_options(self, tmp_path, options, check):
        src = tmp_path / "c.xml"
        src.write_bytes("<r><a>café</a></r>".encode())
        result = run(tmp_path, "fmt", str(src), *options)
        assert result.returncode == 0, result.stderr
        assert check(result.stdout), result.stdout

    def test_output_file_and_stdin(self, tmp_path):
        result = run(tmp_path, "fmt", "-", "-o", "out.xml", stdin=b"<r><a/></r>")
        assert result.returncode == 0, result.stderr
        assert ET.fromstring((tmp_path / "out.xml").read_bytes()).find("a") is not None

    @pytest.mark.parametrize("args, code", [(["nope.xml"], 1), (["x.xml", "--indent", "-2"], 2)])
    def test_errors(self, tmp_path, args, code):
        assert run(tmp_path, "fmt", *args).returncode == code


class TestStats:
    def test_counts(self, tmp_path, books):
        result = run(tmp_path, "stats", str(books), "--json")
        assert result.returncode == 0, result.stderr
        info = json.loads(result.stdout)
        assert info["elements"] == 13
        assert info["depth"] == 3
        assert info["attributes"] == 6
        assert info["namespaces"] == [DC]
        assert info["bytes"] == len(BOOKS)
        assert info["parse_seconds"] > 0

    def test_text_report(self, tmp_path, books):
        out = run(tmp_path, "stats", str(books)).stdout.decode()
        assert "elements    13" in out and "MB/s" in out

    def test_bad_file_among_good(self, tmp_path, books, bad):
        result = run(tmp_path, "stats", str(bad), str(books), "--json")
        assert result.returncode == 1
        assert result.stderr.decode().startswith(f"{bad}:3:")
        assert json.loads(result.stdout)["file"] == str(books)


class TestExtract:
    PLAN = {
        "tag": "book",
        "attributes": ["id", "year"],
        "fields": {f"{{{DC}}}title": "str", "tags": {"tokens": "str"}, "n": "int"},
    }

    def write_plan(self, tmp_path, plan) -> str:
        path = tmp_path / "plan.json"
        path.write_text(plan if isinstance(plan, str) else json.dumps(plan))
        return str(path)

    def test_json_lines(self, tmp_path, books):
        plan = self.write_plan(tmp_path, self.PLAN)
        result = run(tmp_path, "extract", str(books), "--plan", plan)
        assert result.returncode == 0, result.stderr
        records = [json.loads(line) for line in result.stdout.splitlines()]
        assert records[0] == {"id": "b1", "year": "1969", f"{{{DC}}}title": "Left Hand",
                              "tags": ["sf", "classic"], "n": 3}
        assert [r["n"] for r in records] == [3, 0, 12]

    def test_tag_option_overrides(self, tmp_path, books):
        plan = self.write_plan(tmp_path, {"fields": {"n": "int"}})
        result = run(tmp_path, "extract", str(books), "--plan", plan, "--tag", "book")
        assert result.stdout.decode().splitlines() == ['{"n": 3}', '{"n": 0}', '{"n": 12}']

    @pytest.mark.parametrize("plan, words", [
        ("{not json", "invalid JSON"),
        ([1, 2], "a plan is a JSON object"),
        ({"fields": {"n": "integer"}}, "expected one of str, int, float, bool"),
        ({"tag": "book", "fields": {"n": ["int", "str"]}}, "exactly one kind"),
        ({"tag": "book", "colour": 1}, "unknown key 'colour'"),
        ({"fields": {"n": "int"}}, "no record tag"),
    ])
    def test_bad_plan_files(self, tmp_path, books, plan, words):
        path = self.write_plan(tmp_path, plan)
        result = run(tmp_path, "extract", str(books), "--plan", path)
        assert result.returncode == 2
        assert words in result.stderr.decode()

    def test_missing_plan_and_missing_input(self, tmp_path, books):
        assert run(tmp_path, "extract", str(books), "--plan", "none.json").returncode == 2
        plan = self.write_plan(tmp_path, self.PLAN)
        result = run(tmp_path, "extract", "none.xml", "--plan", plan)
        assert result.returncode == 1
        assert b"none.xml: No such file or directory" in result.stderr

    def test_malformed_input(self, tmp_path, bad):
        plan = self.write_plan(tmp_path, {"tag": "b", "fields": {}})
        result = run(tmp_path, "extract", str(bad), "--plan", plan)
        assert result.returncode == 1
        assert result.stderr.decode().startswith(f"{bad}:")


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["query"], ["stats"]])
def test_usage_errors(tmp_path, args):
    result = run(tmp_path, *args)
    assert result.returncode == 2
    assert b"usage: korvith" in result.stderr


def test_demo_tour_and_ratios(tmp_path):
    result = run(tmp_path, "demo", "--size", "0.3", "--repeat", "1")
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert "b1: The Left Hand of Darkness (1969), 12.50" in out
    assert "//dc:title: ['The Left Hand of Darkness', 'The Selfish Gene', 'Solaris']" in out
    timing = out[out.index("== timing"):]
    for task in ("parse", "iter + attribute", "findall with predicate", "serialize"):
        row = next(line for line in timing.splitlines() if line.startswith(task))
        assert row.count("x") >= 1 and " ms" in row
    assert result.stderr == b""  # no progress output when stderr is not a terminal


def test_version_and_console_entry(tmp_path):
    result = run(tmp_path, "--version")
    assert result.returncode == 0
    assert result.stdout.decode().startswith("korvith ")


def test_output_to_closed_pipe_is_quiet(tmp_path):
    big = tmp_path / "big.xml"
    big.write_bytes(b"<r>" + b"<i>%d</i>" % 7 * 100_000 + b"</r>")
    proc = subprocess.Popen([sys.executable, "-m", "korvith", "query", str(big), "//i"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline() == b"7\n"
    proc.stdout.close()  # like `| head -1`
    assert proc.wait(timeout=60) == 0
    assert proc.stderr.read() == b""


class TestErrorsWithoutTraceback:
    """Bad arguments and hostile input end in one `korvith CMD: error:` line
    (or `file: message` for input), never a traceback."""

    @staticmethod
    def _plan(tmp_path, plan) -> str:
        (tmp_path / "plan.json").write_text(json.dumps(plan))
        return "plan.json"

    @pytest.mark.parametrize("args, message", [
        (["fmt", "books.xml", "-o", "/nonexistent/dir/x"],
         "korvith fmt: error: --output /nonexistent/dir/x: No such file or directory"),
        (["edit", "books.xml", "--delete", "//n", "-o", "/nonexistent/dir/x"],
         "korvith edit: error: --output /nonexistent/dir/x: No such file or directory"),
        (["fmt", "books.xml", "--encoding", "utf-16"],
         "korvith fmt: error: --encoding: cannot serialize to 'utf-16'"),
        (["demo", "--size", "nan"], "korvith demo: error: argument --size: must be a positive"),
        (["demo", "--size", "inf"], "korvith demo: error: argument --size: must be a positive"),
        (["demo", "--size=-inf"], "korvith demo: error: argument --size: must be a positive"),
        (["demo", "--size=-3"], "korvith demo: error: argument --size: must be a positive"),
        (["demo", "--size", "x"], "korvith demo: error: argument --size: not a number: 'x'"),
    ])
    def test_usage_errors_exit_2(self, tmp_path, books, args, message) -> None:
        r = run(tmp_path, *args)
        err = r.stderr.decode()
        assert r.returncode == 2, err
        assert "Traceback" not in err
        assert err.splitlines()[-1].startswith(message)

    @pytest.mark.parametrize("plan, message", [
        ({"tag": "book\0x", "fields": {"n": "int"}},
         r"korvith extract: error: record tag 'book\x00x' contains a NUL character"),
        ("deep", "korvith extract: error: plan.json: plan nested deeper than 100 levels"),
        ("very deep", "korvith extract: error: plan.json: plan nested"),
    ])
    def test_hostile_plans_are_usage_errors(self, tmp_path, books, plan, message) -> None:
        if plan in ("deep", "very deep"):
            levels = 3000 if plan == "deep" else 200_000  # the latter beyond json's own limit
            text = '{"tag": "book", "fields": {"x": ' * levels + "{}" + "}}" * levels
            (tmp_path / "plan.json").write_text(text)
        else:
            self._plan(tmp_path, plan)
        r = run(tmp_path, "extract", "books.xml", "--plan", "plan.json")
        err = r.stderr.decode()
        assert (r.returncode, "Traceback" in err) == (2, False), err
        assert err.splitlines()[-1].startswith(message)

    def test_plan_just_within_the_depth_limit_runs(self, tmp_path, books) -> None:
        plan: dict = {"fields": {"n": "int"}}
        for _ in range(48):  # each level is two JSON objects deep
            plan = {"fields": {"sub": plan}}
        plan["tag"] = "book"
        self._plan(tmp_path, plan)
        r = run(tmp_path, "extract", "books.xml", "--plan", "plan.json")
        assert r.returncode == 0, r.stderr.decode()
        assert [json.loads(line)["sub"] for line in r.stdout.splitlines()] == [None] * 3

    def test_endless_device_stops_at_its_first_error(self, tmp_path) -> None:
        r = run(tmp_path, "query", "/dev/zero", "//a")
        assert r.returncode == 1
        assert r.stderr.decode() == "/dev/zero:1:1: Document is empty\n"
