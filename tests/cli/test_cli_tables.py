"""``korvith extract --format jsonl|csv|parquet -o OUT``, run as a user runs it."""

from __future__ import annotations

import csv
import io
import json
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

ITEMS = b"""<shop>
  <item id="1"><name>a, "q"</name><n>1</n><t>x</t><t>y</t><m><w>Ann</w></m></item>
  <item><name></name><t>z</t></item>
  <item id="3"><name>caf\xc3\xa9
line</name><n>-7</n></item>
</shop>"""
PLAN = {"tag": "item", "attributes": ["id"],
        "fields": {"name": "str", "n": "int", "t": ["str"], "m": {"fields": {"w": "str"}}}}
RECORDS = [
    {"id": "1", "name": 'a, "q"', "n": 1, "t": ["x", "y"], "m": {"w": "Ann"}},
    {"id": None, "name": "", "n": None, "t": ["z"], "m": None},
    {"id": "3", "name": "café\nline", "n": -7, "t": [], "m": None},
]


def run(cwd: Path, *args: str) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "korvith", *args], cwd=cwd,
                          capture_output=True, timeout=120)


@pytest.fixture
def files(tmp_path: Path) -> tuple[str, str]:
    (tmp_path / "items.xml").write_bytes(ITEMS)
    (tmp_path / "plan.json").write_text(json.dumps(PLAN))
    return "items.xml", "plan.json"


def test_csv_text_nulls_empties_and_nested_values(tmp_path: Path, files: tuple[str, str]) -> None:
    xml, plan = files
    result = run(tmp_path, "extract", xml, "--plan", plan, "--format", "csv")
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == (
        '"id","name","n","t","m"\n'
        '"1","a, ""q""",1,"[""x"",""y""]","{""w"":""Ann""}"\n'
        ',"",,"[""z""]",\n'
        '"3","café\nline",-7,"[]",\n')


def test_csv_reads_back_as_the_records(tmp_path: Path, files: tuple[str, str]) -> None:
    xml, plan = files
    out = run(tmp_path, "extract", xml, "--plan", plan, "--format", "csv", "--batch-size", "1")
    rows = list(csv.DictReader(io.StringIO(out.stdout.decode(), newline="")))
    back = [{"id": r["id"] or None, "name": r["name"], "n": int(r["n"]) if r["n"] else None,
             "t": json.loads(r["t"]), "m": json.loads(r["m"]) if r["m"] else None}
            for r in rows]
    assert back == RECORDS


def test_parquet_holds_the_records_one_row_group_per_batch(tmp_path: Path,
                                                           files: tuple[str, str]) -> None:
    xml, plan = files
    result = run(tmp_path, "extract", xml, "--plan", plan, "--format", "parquet", "-o", "o.pq",
                 "--batch-size", "2")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    parquet = pq.ParquetFile(tmp_path / "o.pq")
    assert parquet.num_row_groups == 2  # written batch by batch, not as one table
    assert parquet.read().to_pylist() == RECORDS
    assert parquet.schema_arrow.field("n").type == pa.int64()
    mode = stat.S_IMODE(os.stat(tmp_path / "o.pq").st_mode)
    umask = os.umask(0)
    os.umask(umask)
    assert mode == 0o666 & ~umask


def test_jsonl_to_a_file_is_the_standard_output(tmp_path: Path, files: tuple[str, str]) -> None:
    xml, plan = files
    to_stdout = run(tmp_path, "extract", xml, "--plan", plan)
    assert run(tmp_path, "extract", xml, "--plan", plan, "--format", "jsonl",
               "-o", "o.jsonl").returncode == 0
    assert (tmp_path / "o.jsonl").read_bytes() == to_stdout.stdout
    assert [json.loads(line) for line in to_stdout.stdout.splitlines()] == RECORDS


def test_empty_result_still_has_the_columns(tmp_path: Path, files: tuple[str, str]) -> None:
    xml, plan = files
    assert run(tmp_path, "extract", xml, "--plan", plan, "--tag", "none", "--format",
               "parquet", "-o", "e.pq").returncode == 0
    table = pq.read_table(tmp_path / "e.pq")
    assert (table.num_rows, table.column_names) == (0, ["id", "name", "n", "t", "m"])
    out = run(tmp_path, "extract", xml, "--plan", plan, "--tag", "none", "--format", "csv")
    assert out.stdout == b'"id","name","n","t","m"\n'


@pytest.mark.parametrize("fmt", ["csv", "parquet", "jsonl"])
def test_parse_error_leaves_no_output_file(tmp_path: Path, files: tuple[str, str],
                                           fmt: str) -> None:
    _, plan = files
    (tmp_path / "bad.xml").write_bytes(b"<shop><item><n>1</n></item>\n<item></shop>")
    (tmp_path / "out").write_bytes(b"old")
    result = run(tmp_path, "extract", "bad.xml", "--plan", plan, "--format", fmt, "-o", "out")
    assert result.returncode == 1
    assert result.stderr.decode().startswith("bad.xml:2:")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.xml", "items.xml", "out", "plan.json"]
    assert (tmp_path / "out").read_bytes() == b"old"


def test_unconvertible_text_fails_or_becomes_null(tmp_path: Path, files: tuple[str, str]) -> None:
    _, plan = files
    (tmp_path / "odd.xml").write_bytes(b"<shop><item><n>1</n></item><item><n>many</n></item></shop>")
    failed = run(tmp_path, "extract", "odd.xml", "--plan", plan, "--format", "csv")
    assert failed.returncode == 1
    assert "odd.xml: field 'n': 'many' is not an int" in failed.stderr.decode()
    nulled = run(tmp_path, "extract", "odd.xml", "--plan", plan, "--format", "csv",
                 "--errors", "null")
    # absent id and name are nulls (empty, unquoted), like the unconvertible n
    assert nulled.stdout.decode().splitlines()[1:] == [',,1,"[]",', ',,,"[]",']


@pytest.mark.parametrize("args, message", [
    (["--format", "parquet"], "--format parquet writes a file: give -o OUT"),
    (["--format", "xlsx"], "invalid choice: 'xlsx'"),
    (["--format", "csv", "--html"], "--format csv and parquet read XML, not --html input"),
    (["--batch-size", "0", "--format", "csv"], "must be at least 1"),
    (["--format", "csv", "-o", "no/such/dir/out.csv"], "--output no/such/dir/out.csv:"),
])
def test_usage_errors_exit_2(tmp_path: Path, files: tuple[str, str], args: list[str],
                             message: str) -> None:
    xml, plan = files
    result = run(tmp_path, "extract", xml, "--plan", plan, *args)
    assert result.returncode == 2
    assert message in result.stderr.decode()


def test_located_fields_have_no_column_type(tmp_path: Path, files: tuple[str, str]) -> None:
    xml, _ = files
    (tmp_path / "loc.json").write_text(json.dumps({"tag": "item", "fields": {"n": "located"}}))
    result = run(tmp_path, "extract", xml, "--plan", "loc.json", "--format", "csv")
    assert result.returncode == 2
    assert "loc.json: --format csv:" in result.stderr.decode()
    assert "callback type" in result.stderr.decode()


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_without_pyarrow_the_usage_error_says_what_to_install(tmp_path: Path,
                                                              files: tuple[str, str],
                                                              fmt: str) -> None:
    xml, plan = files
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "from korvith.cli import main\n"
            f"sys.exit(main(['extract', {xml!r}, '--plan', {plan!r}, '--format', {fmt!r}, "
            "'-o', 'out']))")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            timeout=60)
    assert result.returncode == 2
    assert (f"--format {fmt} needs pyarrow: install python3-pyarrow (Debian) or "
            "`pip install pyarrow`") in result.stderr.decode()
    assert not (tmp_path / "out").exists()
