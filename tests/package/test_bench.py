"""The benchmark suite (bench/) runs end to end on tiny corpora and reports
every row; its cross-checks catch tools that did different work. No time
is asserted: this only proves the benchmark itself works."""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest
from lxml import etree

import korvith

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))
from bench import compare, corpus  # noqa: E402

# Rows whose standard-library peer has no such feature.
NO_STDLIB_PEER = {"iter_several", "xpath"}


@pytest.fixture(scope="module")
def run(tmp_path_factory: pytest.TempPathFactory) -> tuple[subprocess.CompletedProcess[str], Path]:
    out = tmp_path_factory.mktemp("bench")
    env = {**os.environ, "KORVITH_BENCH_CACHE": str(out / "corpus"),
           "PYTHONPATH": os.pathsep.join([str(Path(korvith.__file__).resolve().parent.parent), str(REPO)])}
    proc = subprocess.run(
        [sys.executable, "-P", "-m", "bench.compare", "--scale", "0.01", "--stream-mb", "0.2",
         "--rounds", "1", "--stream-rounds", "1", "--out", str(out)],
        capture_output=True, text=True, env=env, timeout=300)
    return proc, out


def _table_lines(stdout: str) -> dict[str, list[str]]:
    """Table rows of the printed output by label, split on runs of spaces."""
    rows = {}
    for row in compare.ROWS:
        label = row.label + (" (ms)" if row.unit == "ms" else "")
        line = next((ln for ln in stdout.splitlines() if ln.startswith(label + "  ")), None)
        assert line is not None, f"row {row.key} missing from the table"
        rows[row.key] = line[len(label):].split()
    return rows


def test_prints_every_row_with_finite_ratios(run: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    proc, _ = run
    assert proc.returncode == 0, proc.stderr
    for key, cells in _table_lines(proc.stdout).items():
        cells = [c for c in cells if c != "MiB"]
        ratios = cells[3:5]
        for peer, ratio in zip(("lxml", "stdlib"), ratios):
            if peer == "stdlib" and key in NO_STDLIB_PEER:
                assert ratio == "n/a", (key, cells)
            else:
                assert math.isfinite(float(ratio)) and float(ratio) > 0, (key, peer, cells)


def test_writes_markdown_json_and_chart(run: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    proc, out = run
    assert proc.returncode == 0, proc.stderr
    md = (out / "results.md").read_text()
    for prefix in ("- Machine: ", "- Versions: python ", "- Date: ", "- Best of 1 "):
        assert prefix in md
    assert f"lxml {'.'.join(map(str, etree.LXML_VERSION[:3]))}" in md
    assert md.count("\n| ") == len(compare.ROWS) + 1
    results = json.loads((out / "results.json").read_text())["results"]
    assert set(results) == {r.key for r in compare.ROWS}
    # the streaming tools all built the same 0.2 MiB worth of records
    checks = results["iterextract"]["checks"]
    assert checks["korvith"] == checks["lxml"] == checks["stdlib"]
    assert checks["korvith"][0] > 100
    assert (out / "perf.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


RESULT = {"seconds": {"korvith": 1.0, "lxml": 4.0, "stdlib": 0.5},
          "checks": {"korvith": 3, "lxml": 3, "stdlib": 3}, "missing": []}


@pytest.mark.parametrize(("change", "peer", "expected"), [
    ({}, "lxml", (0.25, "")),
    ({}, "stdlib", (2.0, "")),
    ({"checks": {"korvith": 3, "lxml": 4, "stdlib": 3}}, "lxml", (None, "mismatch")),
    ({"missing": ["stdlib"]}, "stdlib", (None, "n/a")),
    ({"seconds": {"korvith": 1.0}}, "lxml", (None, "error")),
    ({"error": "boom"}, "lxml", (None, "error")),
])
def test_ratio_refuses_results_that_do_not_answer_the_same_question(
        change: dict, peer: str, expected: tuple) -> None:
    assert compare._ratio({**RESULT, **change}, peer) == expected


def test_table_marks_targets() -> None:
    lines = compare.table({"extract": RESULT, "find_first": {**RESULT, "seconds": {
        "korvith": 2.0, "lxml": 1.0, "stdlib": 4.0}}})
    assert lines[0] == ["row", "korvith", "lxml", "stdlib", "k/lxml", "k/stdlib", "target", "met"]
    # extract: 0.25 <= 0.3 vs lxml, 2.0 > 1.0 vs stdlib
    assert lines[1][1:] == ["1000.0", "4000.0", "500.0", "0.25", "2.00", "lxml <= 0.3, stdlib <= 1", "yes/NO"]
    assert lines[2][4:] == ["2.00", "0.50", "lxml <= 1", "NO"]


def test_corpora_are_deterministic_and_well_formed() -> None:
    gir = "".join(corpus.write_gir(scale=0.05))
    assert gir == "".join(corpus.write_gir(scale=0.05))
    root = etree.fromstring(gir.encode())
    names = [c.get("name") for c in root.iter(f"{{{corpus.GIR_CORE}}}class")]
    # one Window, late in the file, so a first-match find has to search
    assert names.count("Window") == 1 and names.index("Window") >= 0.7 * len(names)
    mime = etree.fromstring("".join(corpus.write_mime(scale=0.005)).encode())
    assert mime.find(f"{{{corpus.MIME_NS}}}mime-type/{{{corpus.MIME_NS}}}comment").text.endswith(
        "document (freedesktop.org)")
    records = etree.fromstring("".join(corpus.write_records(12)).encode())
    assert [el.get("id") for el in records] == [str(i) for i in range(12)]
    assert records[3].findtext(f"{{{corpus.RECORDS_NS}}}code") == "C21"


def test_update_readme_replaces_only_the_results_block(tmp_path: Path) -> None:
    readme = tmp_path / "README.md"
    readme.write_text(f"# x\nbefore\n{compare.README_START}\nold table\n{compare.README_END}\nafter\n")
    compare.update_readme(readme, "| new |\n")
    assert readme.read_text() == (f"# x\nbefore\n{compare.README_START}\n| new |\n"
                                  f"{compare.README_END}\nafter\n")
    readme.write_text("no markers\n")
    with pytest.raises(SystemExit, match="no <!-- bench results: start -->"):
        compare.update_readme(readme, "| new |\n")


def test_profile_prints_korvith_functions(tmp_path: Path) -> None:
    env = {**os.environ, "KORVITH_BENCH_CACHE": str(tmp_path),
           "PYTHONPATH": os.pathsep.join([str(Path(korvith.__file__).resolve().parent.parent), str(REPO)])}
    proc = subprocess.run([sys.executable, "-P", "-m", "bench.compare", "--profile", "iter_wild",
                           "--scale", "0.01"], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "function calls" in proc.stdout
    assert "bench/workloads.py" in proc.stdout  # the row's own workload ran under the profiler


def test_interleave_takes_turns_and_keeps_the_best_time() -> None:
    from bench import workloads
    calls: list[str] = []

    def tool(name: str):
        def run() -> int:
            calls.append(name)
            return len(name)
        return run

    out = workloads.interleave({"row": {"korvith": tool("k"), "lxml": tool("l"), "stdlib": None}}, 3)
    assert calls == ["k", "l"] * 3  # tools alternate within each round
    assert out["row"]["checks"] == {"korvith": 1, "lxml": 1}
    assert out["row"]["missing"] == ["stdlib"]
    assert set(out["row"]["seconds"]) == {"korvith", "lxml"}


# Records 0..9 of the generated stream: qty = i % 97, price = i % 500 + (i % 100) / 100.
STREAM_TOTALS = [10, 45, 20, sum(i * 100 + i for i in range(10))]


@pytest.mark.parametrize("row", ["iterextract", "sax"])
@pytest.mark.parametrize("tool", ["korvith", "lxml", "stdlib"])
def test_stream_workloads_count_the_records(tmp_path: Path, row: str, tool: str) -> None:
    from bench import workloads
    path = tmp_path / "ten.xml"
    path.write_text("".join(corpus.write_records(10)))
    assert workloads.STREAMS[row](tool, str(path)) == STREAM_TOTALS


@pytest.mark.parametrize("tool", ["korvith", "lxml", "stdlib"])
def test_iterparse_workload_sums_the_ids(tmp_path: Path, tool: str) -> None:
    from bench import workloads
    path = tmp_path / "ten.xml"
    path.write_text("".join(corpus.write_records(10)))
    assert workloads.STREAMS["iterparse"](tool, str(path)) == [10, 45]


def test_exit_status_names_rows_that_failed_or_disagree(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                          capsys: pytest.CaptureFixture[str]) -> None:
    bad = {"find_first": {**RESULT, "checks": {"korvith": None, "lxml": "x", "stdlib": "x"}},
           "walk": {"error": "worker died"}, "extract": RESULT}
    monkeypatch.setattr(compare, "measure", lambda args: bad)
    assert compare.main(["--out", str(tmp_path), "--no-chart"]) == 1
    err = capsys.readouterr().err
    assert 'find(".//{ns}method"), first match (ms)' in err and "walk:" in err
    assert "extract(Plan)" not in err
    assert "walk: failed: worker died" in (tmp_path / "results.md").read_text()


def test_notes_report_scaling_and_rss_growth() -> None:
    args = compare.parse_args(["--stream-mb", "50"])
    notes = compare.notes({"parse_threads": {"scaling": {"korvith": 1.9, "lxml": 1.5}},
                           "rss_sax": {"growth": {"korvith": 3 * 2**20}}}, args)
    assert notes == ["Thread scaling (throughput of 4 threads over 1): korvith 1.90x, lxml 1.50x.",
                     "sax: peak RSS growth over the process after its imports: korvith 3.0 MiB "
                     "(stream file 50 MiB)."]


def test_digest_keeps_small_results_and_hashes_large_ones() -> None:
    from bench import workloads
    assert workloads.digest((5, "x")) == (5, "x")
    big = [{"id": str(i), "qty": i} for i in range(100)]
    same, other = workloads.digest(big), workloads.digest([*big[:-1], {"id": "99", "qty": "99"}])
    assert same == workloads.digest([dict(d) for d in big]) and same.startswith("sha256:")
    assert other != same  # a value of another type is a different result
