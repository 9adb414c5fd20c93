"""korvith beside lxml and the standard library, on generated corpora.

    python -m bench.compare [--rounds 7] [--stream-mb 25] [--scale 1] [--out bench]

In-memory rows run in one process per corpus file, the three tools taking
turns within each round (best of --rounds, ``gc.collect()`` before every
timed call), pinned to one CPU. Streaming rows run each tool in a fresh
process (best of --stream-rounds) and read its peak RSS from the process's
own high-water mark. Every row checks that the tools produced the same
result; a row where they did not says "mismatch" instead of a ratio.

Prints one table (times, korvith/lxml and korvith/stdlib ratios, the
target and whether it is met), and writes it as ``results.md``, as
``results.json`` and as a chart ``perf.png`` into --out. A ratio below 1
means korvith is faster (or, for RSS rows, smaller).
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
TOOLS = ("korvith", "lxml", "stdlib")


@dataclass(frozen=True)
class Row:
    key: str
    label: str
    source: str                       # a group of workloads.GROUPS, "threads" or "stream:<row>"
    target_lxml: float | None = None  # korvith/lxml must be at most this
    target_stdlib: float | None = None
    unit: str = "ms"                  # "ms", "x" (a plain ratio) or "MiB"


ROWS = [
    Row("iterparse", "iterparse(tag) with release, stream file", "stream:iterparse", 0.8),
    Row("iterextract", "iterextract vs a hand-written iterparse loop", "stream:iterextract", 0.35),
    Row("extract", "extract(Plan) on each of 20k records", "records", 0.3, 1.0),
    Row("find_first", 'find(".//{ns}method"), first match', "gir", 1.0),
    Row("find_pred", "find(\".//{ns}class[@name='Window']\")", "gir", 1.0),
    Row("find_ns_child", 'find("{urn:x}code") on each of 20k elements', "records", 0.3),
    Row("find_child", 'find("name") on each of 20k elements', "records", 0.3),
    Row("iter_wild", 'iter("{*}method") (stdlib: iterfind)', "gir", 1.0),
    Row("iter_several", "iter() with 4 tags", "gir", 1.0),
    Row("iter_keep", "iter() + .tag, elements kept in a list", "gir", 1.0),
    Row("parse_tiny", "fromstring() of a tiny document, 20k times", "records", 1.0),
    Row("parse_threads", "4 threads parsing 10 MB each: time / 1 thread", "threads", 1.0, unit="x"),
    Row("parse_gir", "parse GIR-like file, 10 MB", "gir", 1.07),
    Row("parse_mime", "parse MIME-like file with a DTD, 2.5 MB", "mime", 1.07),
    Row("parse_cldr", "parse 1,122 small CLDR-like files", "cldr", 1.07),
    Row("walk", "walk: tag, attrib dict, text of every element", "gir", 0.5),
    Row("serialize", "tostring() of the GIR-like root", "gir", 1.0),
    Row("xpath", "xpath //core:method[core:parameters/core:parameter]", "gir", 1.0),
    Row("sax", "SAX building records (lxml: parser target)", "stream:sax", None, 0.75),
    Row("iterparse_events", "iterparse(events=start,end) of the GIR-like file", "gir", 1.0),
    Row("build", "build 50k elements with SubElement, attribute and text", "records", 1.0),
    Row("rss_iterparse", "peak RSS: iterparse(tag) with release", "rss:iterparse", unit="MiB"),
    Row("rss_iterextract", "peak RSS: iterextract", "rss:iterextract", unit="MiB"),
    Row("rss_sax", "peak RSS: SAX", "rss:sax", unit="MiB"),
]
GROUPS = ("gir", "mime", "cldr", "records")
STREAMS = ("iterparse", "iterextract", "sax")


# ------------------------------------------------------------------ children

def _child_env() -> dict[str, str]:
    """The environment for child processes: the korvith this process would
    import first, then this checkout (for the bench package)."""
    import korvith
    paths = [str(Path(korvith.__file__).resolve().parent.parent), str(HERE.parent)]
    if os.environ.get("PYTHONPATH"):
        paths.append(os.environ["PYTHONPATH"])
    return {**os.environ, "PYTHONPATH": os.pathsep.join(paths)}


def _child(args: list[str]) -> dict[str, Any]:
    proc = subprocess.run([sys.executable, "-P", "-m", "bench.compare", *args],
                          capture_output=True, text=True, env=_child_env())
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        return {"error": tail[0]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _worker(args: argparse.Namespace) -> int:
    from . import workloads
    if args.worker == "threads":
        result = workloads.thread_scaling(args.scale, args.rounds)
    else:
        workloads.pin(args.cpu)
        result = workloads.interleave(workloads.GROUPS[args.worker](args.scale), args.rounds)
    print(json.dumps(result, default=repr))
    return 0


def _profile(args: argparse.Namespace) -> int:
    """korvith's side of one row under cProfile, in this process."""
    import cProfile
    import pstats

    from . import corpus, workloads
    row = next(r for r in ROWS if r.key == args.profile)
    call: Callable[[], Any] | None
    if row.source.startswith(("stream:", "rss:")):
        path = str(corpus.stream(args.stream_mb))
        name = row.source.split(":")[1]
        def call() -> Any:
            return workloads.STREAMS[name]("korvith", path)
    elif row.source == "threads":
        data = corpus.gir(args.scale).read_bytes()
        def call() -> Any:
            return workloads._korvith_parse(data)
    else:
        call = workloads.GROUPS[row.source](args.scale)[row.key]["korvith"]
    assert call is not None
    profiler = cProfile.Profile()
    profiler.runcall(call)
    pstats.Stats(profiler, stream=sys.stdout).sort_stats("tottime").print_stats(15)
    return 0


def _stream_worker(args: argparse.Namespace) -> int:
    from . import workloads
    workloads.pin(args.cpu)
    print(json.dumps(workloads.run_stream(args.stream, args.tool, args.path)))
    return 0


# ------------------------------------------------------------------ running

def _run_stream_row(row: str, path: str, rounds: int, cpu: int | None) -> dict[str, Any]:
    seconds: dict[str, float] = {}
    rss: dict[str, int] = {}
    growth: dict[str, int] = {}
    checks: dict[str, Any] = {}
    errors: dict[str, str] = {}
    for _ in range(rounds):
        for tool in TOOLS:
            args = ["--stream", row, "--tool", tool, "--path", path]
            if cpu is not None:
                args += ["--cpu", str(cpu)]
            result = _child(args)
            if "error" in result:
                errors[tool] = result["error"]
                continue
            seconds[tool] = min(seconds.get(tool, math.inf), result["seconds"])
            rss[tool] = max(rss.get(tool, 0), result["rss"])
            growth[tool] = max(growth.get(tool, 0), result["rss"] - result["base_rss"])
            checks[tool] = result["check"]
    return {"seconds": seconds, "rss": rss, "growth": growth, "checks": checks,
            "errors": errors, "missing": []}


def measure(args: argparse.Namespace) -> dict[str, Any]:
    """Every row's raw results, keyed by row."""
    from . import corpus
    wanted = [r for r in ROWS if not args.only or r.key in args.only]
    sources = {r.source for r in wanted}
    raw: dict[str, Any] = {}
    common = ["--scale", str(args.scale), "--rounds", str(args.rounds)]
    cpu = ["--cpu", str(args.cpu)] if args.cpu is not None else []
    for group in GROUPS:
        if group in sources:
            print(f"running {group} ...", file=sys.stderr, flush=True)
            result = _child(["--worker", group, *common, *cpu])
            raw.update(result if "error" not in result else
                       {r.key: {"error": result["error"]} for r in wanted if r.source == group})
    if "threads" in sources:
        print("running threads ...", file=sys.stderr, flush=True)
        result = _child(["--worker", "threads", *common])
        raw.update(result if "error" not in result else {"parse_threads": {"error": result["error"]}})
    stream_rows = {r.source.split(":")[1] for r in wanted if r.source.startswith(("stream:", "rss:"))}
    if stream_rows:
        path = str(corpus.stream(args.stream_mb))
        for name in STREAMS:
            if name in stream_rows:
                print(f"running stream {name} ...", file=sys.stderr, flush=True)
                result = _run_stream_row(name, path, args.stream_rounds, args.cpu)
                raw[name] = result
                raw["rss_" + name] = {**result, "seconds": {t: v / 2**20 for t, v in result["rss"].items()}}
    return {r.key: raw.get(r.key, {"error": "not run"}) for r in wanted}


# ------------------------------------------------------------------ table

def _ratio(result: dict[str, Any], peer: str) -> tuple[float | None, str]:
    """korvith's value over the peer's, or why there is none."""
    if "error" in result:
        return None, "error"
    if peer in result.get("missing", []):
        return None, "n/a"
    seconds, checks = result["seconds"], result["checks"]
    if "korvith" not in seconds or peer not in seconds:
        return None, "error"
    if checks.get("korvith") != checks.get(peer):
        return None, "mismatch"
    return seconds["korvith"] / seconds[peer], ""


def _cell(row: Row, result: dict[str, Any], tool: str) -> str:
    if "error" in result:
        return "error"
    if tool in result.get("missing", []):
        return "n/a"
    value = result["seconds"].get(tool)
    if value is None:
        return "error"
    if row.unit == "ms":
        return f"{value * 1000:.1f}"
    if row.unit == "MiB":
        return f"{value:.1f} MiB"
    return f"{value:.2f}"


def table(results: dict[str, Any]) -> list[list[str]]:
    """Rows of strings: the header first."""
    lines = [["row", "korvith", "lxml", "stdlib", "k/lxml", "k/stdlib", "target", "met"]]
    for row in ROWS:
        if row.key not in results:
            continue
        result = results[row.key]
        ratios = [_ratio(result, peer) for peer in ("lxml", "stdlib")]
        targets = []
        met = []
        for (value, _), target, peer in zip(ratios, (row.target_lxml, row.target_stdlib), ("lxml", "stdlib")):
            if target is not None:
                targets.append(f"{peer} <= {target:g}")
                if value is not None:
                    met.append("yes" if value <= target else "NO")
        lines.append([row.label + (" (ms)" if row.unit == "ms" else ""),
                      *(_cell(row, result, t) for t in TOOLS),
                      *(f"{v:.2f}" if v is not None else why for v, why in ratios),
                      ", ".join(targets) or ("flat" if row.unit == "MiB" else "-"),
                      "/".join(met) or "-"])
    return lines


def notes(results: dict[str, Any], args: argparse.Namespace) -> list[str]:
    out = []
    threads = results.get("parse_threads", {})
    if "scaling" in threads:
        out.append("Thread scaling (throughput of 4 threads over 1): " + ", ".join(
            f"{t} {s:.2f}x" for t, s in threads["scaling"].items()) + ".")
    for name in STREAMS:
        result = results.get("rss_" + name, {})
        if "growth" in result and result["growth"]:
            out.append(f"{name}: peak RSS growth over the process after its imports: " + ", ".join(
                f"{t} {g / 2**20:.1f} MiB" for t, g in result["growth"].items())
                + f" (stream file {args.stream_mb:g} MiB).")
    for key, result in results.items():
        for tool, message in result.get("errors", {}).items():
            out.append(f"{key}: {tool} failed: {message}")
        if "error" in result:
            out.append(f"{key}: failed: {result['error']}")
    return out


def render_text(lines: list[list[str]]) -> str:
    widths = [max(len(line[i]) for line in lines) for i in range(len(lines[0]))]
    return "\n".join("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                               for i, (cell, w) in enumerate(zip(line, widths))) for line in lines)


def render_markdown(lines: list[list[str]]) -> str:
    def md(line: list[str]) -> str:
        return "| " + " | ".join(c.replace("|", "\\|") for c in line) + " |"
    return "\n".join([md(lines[0]), "|" + "---|" * len(lines[0]), *(md(line) for line in lines[1:])])


def machine() -> str:
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{os.cpu_count()} cores, {model}, {platform.system()} {platform.release()}"


def header(args: argparse.Namespace, versions: dict[str, str]) -> list[str]:
    return [f"Machine: {machine()}",
            "Versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()),
            f"Date: {args.date}; load average at the start {args.load}",
            f"Best of {args.rounds} (in memory, tools interleaved, pinned to CPU {args.cpu}) and of "
            f"{args.stream_rounds} fresh processes per tool (streaming); corpus scale {args.scale:g}, "
            f"stream file {args.stream_mb:g} MiB.",
            "Times in ms; ratios are korvith / peer (below 1: korvith is faster or smaller); "
            "stdlib is ElementTree, or xml.sax for the SAX row."]


def chart(lines: list[list[str]], title: list[str], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [line for line in lines[1:] if "RSS" not in line[0]]
    labels = [line[0] for line in rows]

    def num(text: str) -> float:
        try:
            return float(text)
        except ValueError:
            return math.nan

    y = range(len(rows))
    fig, ax = plt.subplots(figsize=(11, 0.42 * len(rows) + 2.2))
    ax.barh([i - 0.2 for i in y], [num(r[4]) for r in rows], height=0.4, label="korvith / lxml")
    ax.barh([i + 0.2 for i in y], [num(r[5]) for r in rows], height=0.4, label="korvith / stdlib")
    for i, line in enumerate(rows):
        for part in line[6].split(", "):
            if part.startswith("lxml <= "):
                ax.plot([float(part[8:])] * 2, [i - 0.4, i], color="black", linewidth=2)
            elif part.startswith("stdlib <= "):
                ax.plot([float(part[10:])] * 2, [i, i + 0.4], color="black", linewidth=2)
    ax.axvline(1.0, color="grey", linestyle="--", linewidth=1)
    ax.set_xscale("log")
    ax.set_yticks(list(y), labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel("time ratio, log scale (below 1: korvith faster); black ticks: targets")
    ax.legend(loc="lower right", fontsize=8)
    ax.set_title("\n".join(title[:3]), fontsize=8, loc="left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ------------------------------------------------------------------ main

def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=7, help="timed rounds of in-memory rows (best of)")
    p.add_argument("--stream-rounds", type=int, default=3, help="fresh processes per streaming tool")
    p.add_argument("--stream-mb", type=float, default=25.0, help="size of the stream file (100 for the issue's)")
    p.add_argument("--scale", type=float, default=1.0, help="size of the other corpora (0.01: a smoke test)")
    p.add_argument("--cpu", type=int, default=(os.cpu_count() or 1) - 1,
                   help="CPU to pin single-threaded rows to")
    p.add_argument("--no-pin", dest="cpu", action="store_const", const=None, help="do not pin")
    p.add_argument("--only", type=lambda s: s.split(","), help="comma-separated row keys")
    p.add_argument("--out", type=Path, default=HERE, help="directory for results.md/.json and perf.png")
    p.add_argument("--no-chart", action="store_true")
    p.add_argument("--readme", type=Path, help="also write the table into this README's results block")
    p.add_argument("--profile", choices=[r.key for r in ROWS], metavar="ROW",
                   help="run korvith's side of one row under cProfile and print the top functions")
    p.add_argument("--worker", choices=[*GROUPS, "threads"], help=argparse.SUPPRESS)
    p.add_argument("--stream", choices=STREAMS, help=argparse.SUPPRESS)
    p.add_argument("--tool", choices=TOOLS, help=argparse.SUPPRESS)
    p.add_argument("--path", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.rounds < 1 or args.stream_rounds < 1:
        p.error("--rounds and --stream-rounds must be at least 1")
    if args.only:
        unknown = set(args.only) - {r.key for r in ROWS}
        if unknown:
            p.error(f"unknown rows: {', '.join(sorted(unknown))}")
    args.date = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    args.load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return args


README_START, README_END = "<!-- bench results: start -->", "<!-- bench results: end -->"


def update_readme(path: Path, markdown: str) -> None:
    """Replace the text between the README's result markers with ``markdown``."""
    text = path.read_text()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        raise SystemExit(f"{path}: no {README_START} ... {README_END} block")
    path.write_text(text[:start + len(README_START)] + "\n" + markdown + text[end:])


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if args.worker:
        return _worker(args)
    if args.stream:
        return _stream_worker(args)
    if args.profile:
        return _profile(args)
    from . import workloads
    results = measure(args)
    lines = table(results)
    head = header(args, workloads.describe_versions())
    extra = notes(results, args)
    print("\n".join(head), render_text(lines), "\n".join(extra), sep="\n\n")
    args.out.mkdir(parents=True, exist_ok=True)
    markdown = "\n\n".join(["\n".join(f"- {h}" for h in head), render_markdown(lines),
                            "\n".join(f"- {n}" for n in extra)]).rstrip() + "\n"
    (args.out / "results.md").write_text(markdown)
    if args.readme:
        update_readme(args.readme, markdown)
    (args.out / "results.json").write_text(json.dumps(
        {"header": head, "notes": extra, "results": results}, indent=1, default=repr) + "\n")
    if not args.no_chart:
        chart(lines, head, args.out / "perf.png")
    bad = [line[0] for line in lines[1:] if any(c in ("error", "mismatch") for c in line[1:6])]
    if bad:
        print("rows that failed or disagree: " + "; ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
