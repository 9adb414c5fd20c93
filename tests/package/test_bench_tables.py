"""bench/tables.py runs end to end on a tiny file and prints every tool
with finite numbers and agreeing frames. No time is asserted."""

from __future__ import annotations

import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

import korvith  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))
from bench import tables  # noqa: E402


@pytest.fixture(scope="module")
def output(tmp_path_factory: pytest.TempPathFactory) -> str:
    cache = tmp_path_factory.mktemp("bench-tables")
    env = {**os.environ, "KORVITH_BENCH_CACHE": str(cache),
           "PYTHONPATH": os.pathsep.join([str(Path(korvith.__file__).resolve().parent.parent),
                                          str(REPO)])}
    proc = subprocess.run([sys.executable, "-P", "-m", "bench.tables", "--scale", "0.001",
                           "--rounds", "1"], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_every_tool_has_finite_numbers_and_agrees(output: str) -> None:
    lines = output.splitlines()
    assert lines[0].startswith("N = 200 records, 5 columns, ")
    for label, _ in tables.TOOLS:
        row = next(line for line in lines if line.startswith(label + "  "))
        seconds, per_second, ratio, check = row[len(label):].split()
        assert check == "ok", row
        for number in (seconds, per_second.replace(",", ""), ratio):
            assert math.isfinite(float(number)) and float(number) > 0, row
    assert [line.split(":")[0] for line in lines[-2:]] == [
        "target >= 5x vs pandas.read_xml", "target >= 3x vs hand-written lxml loop"]


def test_mismatching_frame_is_reported(tmp_path: Path) -> None:
    path = tmp_path / "items.xml"
    tables.write_items(path, 5)
    reference = tables.korvith_read_xml(path)
    assert tables.same_frame(tables.lxml_loop(path), reference)
    assert tables.same_frame(tables.pandas_lxml(path), reference)
    changed = reference.copy()
    changed.loc[3, "qty"] += 1
    assert not tables.same_frame(changed, reference)
    assert not tables.same_frame(reference.iloc[:4], reference)
