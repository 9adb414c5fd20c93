"""What each benchmark row runs, per tool.

Every row answers one question with korvith, lxml and the standard library
(ElementTree, or xml.sax for the SAX row). Each tool's function returns a
check value; the runner compares them, so a row where the tools did not do
the same work is reported as a mismatch instead of a ratio. ``None`` for a
tool means the peer has no such feature; the table says so.

Only korvith's public API is used, so the suite keeps working while the
internals change.
"""

from __future__ import annotations

import gc
import hashlib
import os
import sys
import threading
import time
import xml.etree.ElementTree as ET
from collections.abc import Callable
from typing import Any

from lxml import etree

import korvith

from . import corpus

CORE, C, GLIB = corpus.GIR_CORE, corpus.GIR_C, corpus.GIR_GLIB
NS = {"core": CORE, "c": C, "glib": GLIB}
TINY = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
        b'<config version="2"><item key="a">1</item><item key="b">2</item></config>')

Tools = dict[str, Callable[[], Any] | None]


# ------------------------------------------------------------------ in memory

def _walk_korvith(root: Any) -> tuple[int, int]:
    n = attrs = 0
    for el in root.iter():
        el.tag
        attrs += len(el.attrib)
        el.text
        n += 1
    return n, attrs


def _walk_lxml(root: Any) -> tuple[int, int]:
    n = attrs = 0
    for el in root.iter():
        el.tag
        attrs += len(dict(el.attrib))
        el.text
        n += 1
    return n, attrs


def _walk_et(root: Any) -> tuple[int, int]:
    n = attrs = 0
    for el in root.iter():
        el.tag
        attrs += len(el.attrib)
        el.text
        n += 1
    return n, attrs


def _keep(root: Any) -> int:
    kept = []
    for el in root.iter():
        kept.append(el)
        el.tag
    return len(kept)


def _attr(el: Any, name: str) -> str | None:
    """An attribute of a find() result; None when nothing was found (the
    cross-check then reports the tool that found nothing)."""
    return None if el is None else el.get(name)


def _parse_korvith(path: str) -> tuple[str, int]:
    with korvith.parse_file(path) as doc:
        return doc.root.tag, len(doc.root)


def _parse_lxml(path: str) -> tuple[str, int]:
    root = etree.parse(path).getroot()
    return root.tag, len(root)


def _parse_et(path: str) -> tuple[str, int]:
    root = ET.parse(path).getroot()
    return root.tag, len(root)


def _many(parse: Callable[[str], tuple[str, int]], paths: list[str]) -> int:
    return sum(parse(p)[1] for p in paths)


def gir_rows(scale: float) -> dict[str, Tools]:
    path = str(corpus.gir(scale))
    kdoc = korvith.parse_file(path)
    k, l, e = kdoc.root, etree.parse(path).getroot(), ET.parse(path).getroot()
    method, window = f".//{{{CORE}}}method", f".//{{{CORE}}}class[@name='Window']"
    several = (f"{{{CORE}}}method", f"{{{CORE}}}function", f"{{{CORE}}}constructor",
               f"{{{GLIB}}}signal")
    xpath = "//core:method[core:parameters/core:parameter]"
    return {
        "parse_gir": {"korvith": lambda: _parse_korvith(path), "lxml": lambda: _parse_lxml(path),
                      "stdlib": lambda: _parse_et(path)},
        "walk": {"korvith": lambda: _walk_korvith(k), "lxml": lambda: _walk_lxml(l),
                 "stdlib": lambda: _walk_et(e)},
        # The three write different (equivalent) prefixes, so sizes differ:
        # no cross-check beyond "it produced output".
        "serialize": {"korvith": lambda: len(korvith.tostring(k)) > 0,
                      "lxml": lambda: len(etree.tostring(l)) > 0,
                      "stdlib": lambda: len(ET.tostring(e)) > 0},
        "xpath": {"korvith": lambda: len(kdoc.xpath(xpath, namespaces=NS)),
                  "lxml": lambda: len(l.xpath(xpath, namespaces=NS)), "stdlib": None},
        "find_first": {"korvith": lambda: _attr(k.find(method), "name"),
                       "lxml": lambda: _attr(l.find(method), "name"),
                       "stdlib": lambda: _attr(e.find(method), "name")},
        "find_pred": {"korvith": lambda: _attr(k.find(window), f"{{{C}}}type"),
                      "lxml": lambda: _attr(l.find(window), f"{{{C}}}type"),
                      "stdlib": lambda: _attr(e.find(window), f"{{{C}}}type")},
        # ElementTree's iter() takes no wildcards: its column is iterfind.
        "iter_wild": {"korvith": lambda: sum(1 for _ in k.iter("{*}method")),
                      "lxml": lambda: sum(1 for _ in l.iter("{*}method")),
                      "stdlib": lambda: sum(1 for _ in e.iterfind(".//{*}method"))},
        "iter_several": {"korvith": lambda: sum(1 for _ in k.iter(*several)),
                         "lxml": lambda: sum(1 for _ in l.iter(*several)), "stdlib": None},
        "iter_keep": {"korvith": lambda: _keep(k), "lxml": lambda: _keep(l),
                      "stdlib": lambda: _keep(e)},
        "iterparse_events": {"korvith": lambda: _count_events(korvith.iterparse, path),
                             "lxml": lambda: _count_events(etree.iterparse, path),
                             "stdlib": lambda: _count_events(ET.iterparse, path)},
    }


def mime_rows(scale: float) -> dict[str, Tools]:
    path = str(corpus.mime(scale))
    return {"parse_mime": {"korvith": lambda: _parse_korvith(path), "lxml": lambda: _parse_lxml(path),
                           "stdlib": lambda: _parse_et(path)}}


def cldr_rows(scale: float) -> dict[str, Tools]:
    paths = [str(p) for p in corpus.cldr_files(scale)]
    return {"parse_cldr": {"korvith": lambda: _many(_parse_korvith, paths),
                           "lxml": lambda: _many(_parse_lxml, paths),
                           "stdlib": lambda: _many(_parse_et, paths)}}


PLAN = korvith.Plan(attributes=["id"], name=str, qty=int, price=float, tags=[str])


def record_loop(el: Any) -> dict:
    """The dict korvith's PLAN gives, built by hand (lxml and ElementTree)."""
    return {"id": el.get("id"), "name": el.findtext("name"), "qty": int(el.findtext("qty")),
            "price": float(el.findtext("price")), "tags": [t.text for t in el.iterfind("tags")]}


def _child_hits(items: list[Any], tag: str) -> int:
    hits = 0
    for el in items:
        if el.find(tag) is not None:
            hits += 1
    return hits


def _tiny(parse: Callable[[bytes], Any], count: int) -> str:
    tag = ""
    for _ in range(count):
        tag = parse(TINY).tag
    return tag


def _build(mod: Any, count: int) -> tuple[int, str | None, str | None]:
    """A tree of ``count`` children built with SubElement, an attribute and
    text each (the same loop for every tool)."""
    root = mod.Element("root")
    for i in range(count):
        child = mod.SubElement(root, "item", {"id": str(i)})
        child.text = "x"
    return len(root), root[-1].get("id"), root[-1].text


def records_rows(scale: float) -> dict[str, Tools]:
    path = str(corpus.records(scale))
    kdoc = korvith.parse_file(path)
    k = kdoc.root.findall("item")
    l = etree.parse(path).getroot().findall("item")
    e = ET.parse(path).getroot().findall("item")
    code, tiny = f"{{{corpus.RECORDS_NS}}}code", max(200, int(20_000 * scale))
    built = max(200, int(50_000 * scale))
    extract = korvith.extract
    return {
        "extract": {"korvith": lambda: [extract(el, PLAN) for el in k],
                    "lxml": lambda: [record_loop(el) for el in l],
                    "stdlib": lambda: [record_loop(el) for el in e]},
        "find_ns_child": {"korvith": lambda: _child_hits(k, code), "lxml": lambda: _child_hits(l, code),
                          "stdlib": lambda: _child_hits(e, code)},
        "find_child": {"korvith": lambda: _child_hits(k, "name"), "lxml": lambda: _child_hits(l, "name"),
                       "stdlib": lambda: _child_hits(e, "name")},
        "parse_tiny": {"korvith": lambda: _tiny(korvith.fromstring, tiny),
                       "lxml": lambda: _tiny(etree.fromstring, tiny),
                       "stdlib": lambda: _tiny(ET.fromstring, tiny)},
        "build": {"korvith": lambda: _build(korvith, built),
                  "lxml": lambda: _build(etree, built),
                  "stdlib": lambda: _build(ET, built)},
    }


GROUPS: dict[str, Callable[[float], dict[str, Tools]]] = {
    "gir": gir_rows, "mime": mime_rows, "cldr": cldr_rows, "records": records_rows,
}


def digest(result: Any) -> Any:
    """A small result as it is; a large one (20k extracted dicts) as a hash
    of its repr, so results stay comparable without being shipped around."""
    text = repr(result)
    return result if len(text) <= 200 else "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def interleave(rows: dict[str, Tools], rounds: int) -> dict[str, dict[str, Any]]:
    """Best time of ``rounds`` per row and tool, tools taking turns within
    each round, with a collection before every timed call."""
    out: dict[str, dict[str, Any]] = {}
    for row, tools in rows.items():
        best: dict[str, float] = {}
        checks: dict[str, Any] = {}
        for _ in range(rounds):
            for tool, fn in tools.items():
                if fn is None:
                    continue
                gc.collect()
                start = time.perf_counter()
                result = fn()
                seconds = time.perf_counter() - start
                best[tool] = min(best.get(tool, float("inf")), seconds)
                checks[tool] = digest(result)
                del result
        out[row] = {"seconds": best, "checks": checks, "missing": [t for t, f in tools.items() if f is None]}
    return out


# ------------------------------------------------------------------ threads

def _parse_in_threads(parse: Callable[[bytes], Any], documents: list[bytes]) -> float:
    barrier = threading.Barrier(len(documents) + 1)
    errors: list[BaseException] = []

    def work(data: bytes) -> None:
        barrier.wait()
        try:
            parse(data)
        except BaseException as exc:  # reported by the caller
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(d,)) for d in documents]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - start
    if errors:
        raise errors[0]
    return seconds


def _korvith_parse(data: bytes) -> None:
    korvith.parse(data).close()


def thread_scaling(scale: float, rounds: int, threads: int = 4) -> dict[str, Any]:
    """Per tool: the wall time of ``threads`` documents parsed on as many
    threads, over the time of one parsed on one thread (best of each)."""
    data = corpus.gir(scale).read_bytes()
    documents = [bytes(bytearray(data)) for _ in range(threads)]
    parsers = {"korvith": _korvith_parse, "lxml": etree.fromstring, "stdlib": ET.fromstring}
    one: dict[str, float] = {}
    many: dict[str, float] = {}
    for _ in range(rounds):
        for tool, parse in parsers.items():
            gc.collect()
            one[tool] = min(one.get(tool, float("inf")), _parse_in_threads(parse, documents[:1]))
            gc.collect()
            many[tool] = min(many.get(tool, float("inf")), _parse_in_threads(parse, documents))
    return {"parse_threads": {"seconds": {t: many[t] / one[t] for t in parsers},
                              "checks": {t: threads for t in parsers}, "missing": [],
                              "scaling": {t: threads * one[t] / many[t] for t in parsers}}}


# ------------------------------------------------------------------ streaming

def peak_rss() -> int:
    """This process's own high-water mark in bytes (VmHWM)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def current_rss() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


class Totals:
    """Checksum of a stream of records: count, quantities, tags, prices."""

    def __init__(self) -> None:
        self.count = self.qty = self.tags = 0
        self.cents = 0

    def take(self, rec: dict) -> None:
        self.count += 1
        self.qty += rec["qty"]
        self.tags += len(rec["tags"])
        self.cents += round(rec["price"] * 100)

    def check(self) -> list[int]:
        return [self.count, self.qty, self.tags, self.cents]


class SaxBuilder:
    """Builds the record dicts from SAX-style events; one class serves
    korvith's sax_parse, lxml's parser target and xml.sax."""

    start_document = end_document = comment = cdata = end_prefix_mapping = None

    def __init__(self, totals: Totals) -> None:
        self.totals = totals
        self.rec: dict | None = None
        self.field: str | None = None
        self.buf: list[str] = []

    def error(self, message: str, line: int, column: int) -> None:
        raise SyntaxError(f"{message} at {line}:{column}")

    def start_prefix_mapping(self, prefix: str, uri: str) -> None:
        pass

    def processing_instruction(self, target: str, data: str) -> None:
        pass

    def start_element(self, name: str, attrs: Any) -> None:
        if name == "item":
            self.rec = {"id": attrs.get("id"), "name": None, "qty": None, "price": None, "tags": []}
        elif self.rec is not None:
            self.field = name
            self.buf = []

    def characters(self, text: str) -> None:
        if self.field is not None:
            self.buf.append(text)

    def end_element(self, name: str) -> None:
        rec = self.rec
        if name == "item" and rec is not None:
            self.totals.take(rec)
            self.rec = None
        elif self.field is not None and rec is not None:
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


class _LxmlTarget:
    def __init__(self, builder: SaxBuilder) -> None:
        self.start = builder.start_element
        self.end = builder.end_element
        self.data = builder.characters

    def close(self) -> None:
        return None


def _stream_iterparse(tool: str, path: str) -> list[int]:
    count = ids = 0
    if tool == "korvith":
        for el in korvith.iterparse(path, tag="item"):
            count += 1
            ids += int(el.get("id"))
    elif tool == "lxml":
        for _, el in etree.iterparse(path, events=("end",), tag="item"):
            count += 1
            ids += int(el.get("id"))
            el.clear()
            while el.getprevious() is not None:
                del el.getparent()[0]
    else:
        events = ET.iterparse(path, events=("start", "end"))
        _, root = next(events)
        for event, el in events:
            if event == "end" and el.tag == "item":
                count += 1
                ids += int(el.get("id"))
                root.clear()
    return [count, ids]


def _stream_iterextract(tool: str, path: str) -> list[int]:
    totals = Totals()
    if tool == "korvith":
        for rec in korvith.iterextract(path, "item", PLAN):
            totals.take(rec)
    elif tool == "lxml":
        for _, el in etree.iterparse(path, events=("end",), tag="item"):
            totals.take(record_loop(el))
            el.clear()
            while el.getprevious() is not None:
                del el.getparent()[0]
    else:
        events = ET.iterparse(path, events=("start", "end"))
        _, root = next(events)
        for event, el in events:
            if event == "end" and el.tag == "item":
                totals.take(record_loop(el))
                root.clear()
    return totals.check()


def _stream_sax(tool: str, path: str) -> list[int]:
    totals = Totals()
    builder = SaxBuilder(totals)
    if tool == "korvith":
        korvith.sax_parse(path, builder)
    elif tool == "lxml":
        etree.parse(path, etree.XMLParser(target=_LxmlTarget(builder)))
    else:
        import xml.sax

        class Adapter(xml.sax.ContentHandler):
            def startElement(self, name: str, attrs: Any) -> None:
                builder.start_element(name, dict(attrs))

            def endElement(self, name: str) -> None:
                builder.end_element(name)

            def characters(self, content: str) -> None:
                builder.characters(content)

        xml.sax.parse(path, Adapter())
    return totals.check()


STREAMS: dict[str, Callable[[str, str], list[int]]] = {
    "iterparse": _stream_iterparse, "iterextract": _stream_iterextract, "sax": _stream_sax,
}


def run_stream(row: str, tool: str, path: str) -> dict[str, Any]:
    """One streaming row for one tool in this (fresh) process."""
    gc.collect()
    base = current_rss()
    start = time.perf_counter()
    check = STREAMS[row](tool, path)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "rss": peak_rss(), "base_rss": base, "check": check,
            "size": os.path.getsize(path)}


def pin(cpu: int | None) -> None:
    if cpu is not None and hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {cpu})


def describe_versions() -> dict[str, str]:
    return {"python": sys.version.split()[0], "korvith": korvith.__version__,
            "lxml": ".".join(map(str, etree.LXML_VERSION[:3])),
            "libxml2": ".".join(map(str, etree.LIBXML_VERSION))}


def _count_events(iterparse: Callable[..., Any], path: str) -> tuple[int, int]:
    """Start and end events of a whole file, and the elements whose start
    event saw the tag their end event sees."""
    events = same = 0
    starts: list[str] = []
    for event, el in iterparse(path, events=("start", "end")):
        events += 1
        if event == "start":
            starts.append(el.tag)
        elif starts.pop() == el.tag:
            same += 1
    return events, same
