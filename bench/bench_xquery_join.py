"""XQuery join benchmark: korvith beside BaseX on the same generated files.

    python bench/bench_xquery_join.py [--classes 1500] [--types 900] [--runs 5]
                                      [--plain] [--keep DIR]

Generates a GObject-introspection-like repository (--classes classes, each
with methods, parameters and documentation) and a MIME-database-like file
(--types types with translated comments, globs, aliases and parents), then
times each join query in korvith (a prepared query, best of --runs) and in
one BaseX process (prof:track around xquery:eval, best of --runs), checks
that both give the same number of items, and prints the times and the ratio
korvith / BaseX. --plain also times korvith with hoisting and hash joins
switched off (evaluation as written: one document scan per row).
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

GIR_PROLOG = 'declare namespace g = "http://www.gtk.org/introspection/core/1.0"; '
MIME_PROLOG = 'declare namespace m = "http://www.freedesktop.org/standards/shared-mime-info"; '

QUERIES = [
    ("gir", GIR_PROLOG + "for $c in //g:class where //g:class[@parent = $c/@name] return $c"),
    ("gir", GIR_PROLOG + "for $c in //g:class return count(//g:class[@parent = $c/@name])"),
    ("gir", GIR_PROLOG + "for $c in //g:class where $c/@name = //g:class/@parent return $c"),
    ("mime", MIME_PROLOG + "for $t in //m:mime-type "
             "where //m:mime-type/m:sub-class-of[@type = $t/@type] return $t"),
    ("mime", MIME_PROLOG + "for $a in //m:alias where //m:mime-type[@type = $a/@type] return $a"),
    ("mime", MIME_PROLOG + "for $t in //m:mime-type "
             "where $t/m:sub-class-of/@type = //m:mime-type/m:alias/@type return $t"),
]


def generate_gir(path: str, classes: int, rng: random.Random) -> None:
    names = [f"Widget{i}" for i in range(classes)]
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0"?>\n<repository version="1.2" '
                'xmlns="http://www.gtk.org/introspection/core/1.0" '
                'xmlns:c="http://www.gtk.org/introspection/c/1.0">\n<namespace name="Gtk">\n')
        for i, name in enumerate(names):
            parent = names[rng.randrange(i)] if i > 4 else "GObject.InitiallyUnowned"
            f.write(f'<class name="{name}" c:type="Gtk{name}" parent="{parent}">\n'
                    f"<doc>The {name} widget. " + "Some documentation text. " * 6 + "</doc>\n")
            for m in range(8):
                f.write(f'<method name="m{m}" c:identifier="gtk_{name.lower()}_m{m}">'
                        f"<doc>Does thing {m}.</doc><return-value><type name=\"none\"/>"
                        "</return-value><parameters>")
                for p in range(3):
                    f.write(f'<parameter name="p{p}"><type name="gint"/></parameter>')
                f.write("</parameters></method>\n")
            f.write("</class>\n")
        f.write("</namespace>\n</repository>\n")


def generate_mime(path: str, types: int, rng: random.Random) -> None:
    names = [f"application/x-type{i}" for i in range(types)]
    langs = ["de", "fr", "es", "it", "ja", "pl", "pt", "ru", "sv", "zh_CN"] * 2
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0"?>\n'
                '<mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">\n')
        for i, name in enumerate(names):
            f.write(f'<mime-type type="{name}">\n<comment>type {i} document</comment>\n')
            for lang in langs:
                f.write(f'<comment xml:lang="{lang}">type {i} ({lang})</comment>\n')
            for _ in range(rng.randrange(3)):
                f.write(f'<sub-class-of type="{rng.choice(names)}"/>\n')
            for k in range(rng.randrange(3)):
                alias = rng.choice(names) if rng.random() < 0.3 else f"application/x-old{i}-{k}"
                f.write(f'<alias type="{alias}"/>\n')
            for k in range(1 + rng.randrange(3)):
                f.write(f'<glob pattern="*.t{i}x{k}"/>\n')
            f.write("</mime-type>\n")
        f.write("</mime-info>\n")


def time_korvith(files: dict[str, str], runs: int, plain: bool) -> list[tuple[float, int]]:
    import korvith
    from korvith import _engine
    configure = _engine.ext.xquery_configure
    docs = {kind: korvith.parse_file(path) for kind, path in files.items()}
    results = []
    for kind, text in QUERIES:
        query = korvith.XQuery(text)
        if plain:
            configure(query._handle, 1_000_000, 1)
        best = float("inf")
        count = 0
        for _ in range(1 if plain else runs):
            start = time.perf_counter()
            result = query(docs[kind])
            best = min(best, time.perf_counter() - start)
            count = len(result) if isinstance(result, list) else 1
        results.append((best * 1000, count))
        query.close()
    return results


BASEX_DRIVER = """
declare variable $queries external;
declare variable $runs external;
for $q in tokenize(unparsed-text($queries), '&#10;')[. != '']
let $parts := tokenize($q, '&#9;')
let $doc := doc($parts[1])
let $tracks := for $i in 1 to xs:integer($runs)
               return prof:track(xquery:eval($parts[2], map { '': $doc }))
return min($tracks ! ?time) || ' ' || count($tracks[1]?value)
"""


def time_basex(files: dict[str, str], runs: int, workdir: str) -> list[tuple[float, int]] | None:
    basex = shutil.which("basex")
    if basex is None:
        return None
    with open(os.path.join(workdir, "queries.txt"), "w", encoding="utf-8") as f:
        for kind, text in QUERIES:
            f.write(f"{files[kind]}\t{text}\n")
    with open(os.path.join(workdir, "driver.xq"), "w", encoding="utf-8") as f:
        f.write(BASEX_DRIVER)
    env = dict(os.environ, HOME=workdir)
    out = subprocess.run([basex, "-bqueries=queries.txt", f"-bruns={runs}", "driver.xq"],
                         cwd=workdir, capture_output=True, text=True, env=env, check=True)
    rows = [line.split() for line in out.stdout.splitlines() if line.strip()]
    return [(float(ms), int(count)) for ms, count in rows]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--classes", type=int, default=1500)
    parser.add_argument("--types", type=int, default=900)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--keep", metavar="DIR")
    args = parser.parse_args()
    workdir = args.keep or tempfile.mkdtemp(prefix="korvith-join-")
    os.makedirs(workdir, exist_ok=True)
    rng = random.Random(17)
    files = {"gir": os.path.join(workdir, "Gtk-like.gir"),
             "mime": os.path.join(workdir, "mime-like.xml")}
    generate_gir(files["gir"], args.classes, rng)
    generate_mime(files["mime"], args.types, rng)
    sizes = {k: os.path.getsize(p) / 1e6 for k, p in files.items()}
    print(f"GIR-like: {args.classes} classes, {sizes['gir']:.1f} MB; "
          f"MIME-like: {args.types} types, {sizes['mime']:.1f} MB; best of {args.runs} runs")
    ours = time_korvith(files, args.runs, False)
    plain = time_korvith(files, args.runs, True) if args.plain else None
    theirs = time_basex(files, args.runs, workdir)
    failed = False
    for i, (kind, text) in enumerate(QUERIES):
        body = text.split("; ", 1)[1]
        ms, count = ours[i]
        line = f"{kind:4} korvith {ms:9.1f} ms"
        if plain is not None:
            line += f"  as written {plain[i][0]:9.1f} ms"
        if theirs is not None:
            bms, bcount = theirs[i]
            line += f"  basex {bms:8.1f} ms  ratio {ms / max(bms, 0.001):6.2f}"
            if bcount != count:
                line += f"  ITEM COUNTS DIFFER ({count} vs {bcount})"
                failed = True
        print(f"{line}  n={count}  {body}")
    if theirs is None:
        print("basex is not installed: no comparison")
    if not args.keep:
        shutil.rmtree(workdir, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
