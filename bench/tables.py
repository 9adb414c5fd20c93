"""XML records into a pandas DataFrame: korvith.read_xml against
pandas.read_xml (lxml and etree parsers, with and without its iterparse
option) and a hand-written lxml iterparse loop, on the same file and the
same five columns.

    scripts/kenv env PYTHONPATH=. python3 -m bench.tables              # 200,000 records
    scripts/kenv env PYTHONPATH=. python3 -m bench.tables --scale 0.01 --rounds 1

Each tool reads the file from disk; its time is the best of ``--rounds``
(each after a ``gc.collect()``). Every frame is checked against korvith's
(same rows, same values, after casting to korvith's dtypes): a tool that
disagrees prints ``mismatch`` and the run exits 1. The ratio column is the
tool's time over korvith's: above 1, korvith is faster.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import random
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pandas as pd
from lxml import etree

import korvith

from .corpus import CACHE

RECORDS = 200_000
COLUMNS = ["id", "name", "price", "qty", "city"]
DTYPES = {"id": object, "name": object, "price": "float64", "qty": "Int64", "city": object}
ITERPARSE = {"item": COLUMNS}
CITIES = ("Oslo", "Lyon", "Porto", "Graz", "Turku", "Cork", "Brno", "Split")
TARGETS = {"pandas.read_xml": 5.0, "hand-written lxml loop": 3.0}


def write_items(path: Path, count: int, seed: int = 16) -> None:
    """``count`` flat records, each an id attribute and four children."""
    rng = random.Random(seed)
    temporary = path.with_suffix(".part")
    with open(temporary, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<catalog>\n')
        for i in range(count):
            f.write(f'  <item id="p{i}"><name>{rng.choice(CITIES)} item {i}</name>'
                    f'<price>{rng.randint(1, 99999) / 100}</price><qty>{rng.randint(0, 500)}</qty>'
                    f'<city>{rng.choice(CITIES)}</city></item>\n')
        f.write("</catalog>\n")
    os.replace(temporary, path)


def items_file(count: int) -> Path:
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"tables-items-{count}.xml"
    if not path.exists():
        write_items(path, count)
    return path


# ------------------------------------------------------------------ the tools

def korvith_read_xml(path: Path) -> pd.DataFrame:
    return korvith.read_xml(path, "item", {"@id": str, "name": str, "price": float,
                                           "qty": int, "city": str})


def pandas_lxml(path: Path) -> pd.DataFrame:
    return pd.read_xml(path, xpath="//item", parser="lxml")


def pandas_etree(path: Path) -> pd.DataFrame:
    return pd.read_xml(path, xpath=".//item", parser="etree")


def pandas_iterparse_lxml(path: Path) -> pd.DataFrame:
    return pd.read_xml(path, iterparse=ITERPARSE, parser="lxml")


def pandas_iterparse_etree(path: Path) -> pd.DataFrame:
    return pd.read_xml(path, iterparse=ITERPARSE, parser="etree")


def lxml_loop(path: Path) -> pd.DataFrame:
    """What people write by hand: iterparse, one dict per record, free the
    element and the siblings before it, a DataFrame from the dicts."""
    rows = []
    for _, el in etree.iterparse(str(path), tag="item"):
        qty = el.findtext("qty")
        price = el.findtext("price")
        rows.append({"id": el.get("id"), "name": el.findtext("name"),
                     "price": float(price) if price else None,
                     "qty": int(qty) if qty else None, "city": el.findtext("city")})
        el.clear()
        while el.getprevious() is not None:
            del el.getparent()[0]
    return pd.DataFrame(rows, columns=COLUMNS)


TOOLS: list[tuple[str, Callable[[Path], pd.DataFrame]]] = [
    ("korvith.read_xml", korvith_read_xml),
    ("pandas.read_xml lxml", pandas_lxml),
    ("pandas.read_xml etree", pandas_etree),
    ("pandas.read_xml iterparse lxml", pandas_iterparse_lxml),
    ("pandas.read_xml iterparse etree", pandas_iterparse_etree),
    ("hand-written lxml loop", lxml_loop),
]


def same_frame(frame: pd.DataFrame, reference: pd.DataFrame) -> bool:
    try:
        cast = frame[COLUMNS].astype(DTYPES).reset_index(drop=True)
        pd.testing.assert_frame_equal(cast, reference, check_exact=True)
    except (AssertionError, KeyError, TypeError, ValueError):
        return False
    return True


def best_time(run: Callable[[Path], pd.DataFrame], path: Path, rounds: int
              ) -> tuple[float, pd.DataFrame]:
    best, frame = math.inf, None
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        frame = run(path)
        best = min(best, time.perf_counter() - start)
    assert frame is not None
    return best, frame


def measure(path: Path, rounds: int) -> list[dict[str, Any]]:
    results: list[dict[str, Any]] = []
    reference = None
    for label, run in TOOLS:
        seconds, frame = best_time(run, path, rounds)
        if reference is None:
            reference = frame
        results.append({"tool": label, "seconds": seconds, "rows": len(frame),
                        "same": same_frame(frame, reference)})
    return results


def report(results: list[dict[str, Any]], path: Path, rounds: int) -> list[str]:
    ours = results[0]["seconds"]
    lines = [f"N = {results[0]['rows']:,} records, {len(COLUMNS)} columns, "
             f"{path.stat().st_size / 2**20:.1f} MiB, best of {rounds}",
             f"{'tool':<34}{'seconds':>10}{'records/s':>14}{'ratio':>9}  check"]
    for r in results:
        lines.append(f"{r['tool']:<34}{r['seconds']:>10.4f}{r['rows'] / r['seconds']:>14,.0f}"
                     f"{r['seconds'] / ours:>9.2f}  {'ok' if r['same'] else 'mismatch'}")
    for prefix, target in TARGETS.items():
        slowest_ratio = min(r["seconds"] / ours for r in results if r["tool"].startswith(prefix))
        verdict = "met" if slowest_ratio >= target else "NOT met"
        lines.append(f"target >= {target:g}x vs {prefix}: {verdict} "
                     f"(smallest ratio {slowest_ratio:.2f})")
    return lines


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--scale", type=float, default=1.0,
                   help=f"records = {RECORDS:,} x SCALE (0.001 for a smoke test)")
    p.add_argument("--rounds", type=int, default=3, help="runs per tool; the best is kept")
    args = p.parse_args(argv)
    if not 0 < args.scale <= 100 or args.rounds < 1:
        p.error("--scale must be in (0, 100] and --rounds at least 1")
    path = items_file(max(1, round(RECORDS * args.scale)))
    results = measure(path, args.rounds)
    for line in report(results, path, args.rounds):
        print(line)
    return 0 if all(r["same"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
