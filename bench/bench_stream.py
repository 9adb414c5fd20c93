"""Streaming benchmark: korvith's iterextract and sax_parse beside lxml and
xml.sax on one generated file, in one run.

    python bench/bench_stream.py [--mb 200] [--keep DIR]

Writes an XML file of about --mb megabytes into a temporary directory, then
runs each tool in a fresh interpreter (so peak RSS is its own) and prints a
table: throughput, peak RSS, and the ratios of korvith against its peer
(time ratio below 1 and memory ratio near or below 1 are wins). Every tool
must produce the same record count and checksum, or the run fails.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

RECORD = (b'<item id="%d"><name>item number %d</name><qty>%d</qty>'
          b"<price>%d.%02d</price><tags>red</tags><tags>blue</tags>"
          b"<note>plain text with a bit of padding to look like real data</note></item>\n")


def generate(path: str, megabytes: int) -> int:
    target = megabytes * 1024 * 1024
    count = 0
    with open(path, "wb", buffering=1 << 20) as f:
        f.write(b"<catalog>\n")
        size = 10
        while size < target:
            batch = b"".join(RECORD % (i, i, i % 97, i % 500, i % 100)
                             for i in range(count, count + 10_000))
            f.write(batch)
            size += len(batch)
            count += 10_000
        f.write(b"</catalog>\n")
    return count


# Each tool reads argv[1], builds one dict per <item> (id, name, qty, price,
# tags) and prints a JSON summary with its peak RSS.
COMMON = textwrap.dedent("""
    import json, sys, time
    path = sys.argv[1]
    count = qty = 0
    tags = 0
    def take(rec):
        global count, qty, tags
        count += 1
        qty += rec["qty"]
        tags += len(rec["tags"])
    start = time.perf_counter()
""")
DONE = textwrap.dedent("""
    seconds = time.perf_counter() - start
    # VmHWM is this process's own peak (ru_maxrss would inherit the
    # launcher's across exec).
    with open("/proc/self/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) * 1024
    print(json.dumps({"count": count, "check": [qty, tags], "seconds": seconds, "rss": rss}))
""")

SAX_BUILDER = textwrap.dedent("""
    class Builder:
        # Builds the item dicts from SAX events; the same code serves both parsers.
        start_document = end_document = comment = cdata = end_prefix_mapping = None
        def error(self, message, line, column):
            raise SyntaxError(f"{message} at {line}:{column}")
        def __init__(self):
            self.rec = None
            self.field = None
            self.buf = []
        def start_element(self, name, attrs):
            if name == "item":
                self.rec = {"id": attrs.get("id"), "name": None, "qty": None,
                            "price": None, "tags": []}
            elif self.rec is not None:
                self.field = name
                self.buf = []
        def characters(self, text):
            if self.field is not None:
                self.buf.append(text)
        def end_element(self, name):
            rec = self.rec
            if name == "item":
                take(rec)
                self.rec = None
            elif self.field is not None:
                text = "".join(self.buf)
                if name == "tags":
                    rec["tags"].append(text)
                elif name == "qty":
                    rec["qty"] = int(text)
                elif name == "price":
                    rec["price"] = float(text)
                elif name == "name":
                    rec["name"] = text
                self.field = None
""")

TOOLS = {
    "korvith iterextract": textwrap.dedent("""
        from korvith.extract import Plan, iterextract
        plan = Plan(attributes=["id"], name=str, qty=int, price=float, tags=[str])
        for rec in iterextract(path, "item", plan):
            take(rec)
    """),
    "lxml iterparse": textwrap.dedent("""
        from lxml import etree
        for _, el in etree.iterparse(path, events=("end",), tag="item"):
            take({"id": el.get("id"), "name": el.findtext("name"),
                  "qty": int(el.findtext("qty")), "price": float(el.findtext("price")),
                  "tags": [t.text for t in el.iterfind("tags")]})
            el.clear()
            while el.getprevious() is not None:
                del el.getparent()[0]
    """),
    "korvith sax_parse": SAX_BUILDER + textwrap.dedent("""
        from korvith.sax import sax_parse
        b = Builder()
        sax_parse(path, b)
    """),
    "xml.sax": SAX_BUILDER + textwrap.dedent("""
        import xml.sax
        class Adapter(xml.sax.ContentHandler):
            def __init__(self, b):
                super().__init__()
                self.startElement = lambda name, attrs: b.start_element(name, dict(attrs))
                self.endElement = b.end_element
                self.characters = b.characters
        xml.sax.parse(path, Adapter(Builder()))
    """),
}
PAIRS = [("korvith iterextract", "lxml iterparse"), ("korvith sax_parse", "xml.sax")]


def run(tool: str, path: str) -> dict | None:
    code = COMMON + TOOLS[tool] + DONE
    proc = subprocess.run([sys.executable, "-P", "-c", code, path], capture_output=True, text=True)
    if proc.returncode != 0:
        print(f"{tool}: failed\n{proc.stderr.strip().splitlines()[-1] if proc.stderr else ''}",
              file=sys.stderr)
        return None
    return json.loads(proc.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=200, help="size of the generated file")
    parser.add_argument("--keep", help="directory for the file (default: a temporary one)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.keep) as tmp:
        path = os.path.join(tmp, "stream.xml")
        records = generate(path, args.mb)
        size = os.path.getsize(path)
        print(f"file: {size / 2**20:.0f} MiB, {records} records")
        results = {tool: run(tool, path) for tool in TOOLS}
    counts = {tuple([r["count"], *r["check"]]) for r in results.values() if r}
    if len(counts) != 1 or next(iter(counts))[0] != records:
        print(f"tools disagree: {counts}", file=sys.stderr)
        return 1
    print(f"{'tool':22} {'seconds':>8} {'MiB/s':>7} {'peak RSS MiB':>13}")
    for tool, r in results.items():
        if r:
            print(f"{tool:22} {r['seconds']:8.2f} {size / 2**20 / r['seconds']:7.1f} {r['rss'] / 2**20:13.1f}")
        else:
            print(f"{tool:22} {'unavailable':>8}")
    print()
    print(f"{'korvith vs peer':40} {'time ratio':>10} {'RSS ratio':>10}")
    for ours, peer in PAIRS:
        a, b = results[ours], results[peer]
        if a and b:
            print(f"{ours + ' / ' + peer:40} {a['seconds'] / b['seconds']:10.2f} {a['rss'] / b['rss']:10.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
