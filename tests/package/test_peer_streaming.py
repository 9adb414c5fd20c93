"""iterparse events as ElementTree reports them, the released-element
message, and file objects read in blocks by iterparse and sax_parse."""

from __future__ import annotations

import gzip
import io
import os
import sys
import textwrap
import xml.etree.ElementTree as ET

import pytest

import korvith

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "engine"))
from memory_probe import run_probe  # noqa: E402

EVENTS = ("start", "end", "start-ns", "end-ns", "comment", "pi")
DOC = (b'<?xml version="1.0"?><!--head--><r xmlns="urn:d" xmlns:p="urn:p">'
       b'<?job run?><p:a n="1">t<!--in--></p:a><b xmlns:q="urn:q"><q:c/></b>'
       b'<?tail?></r><!--foot-->')


def et_view(pairs: object) -> list[tuple[str, object]]:
    out: list[tuple[str, object]] = []
    for event, value in pairs:  # type: ignore[attr-defined]
        if event in ("start", "end"):
            out.append((event, value.tag))
        elif event == "comment":
            out.append((event, value if isinstance(value, str) else value.text))
        elif event == "pi":
            if isinstance(value, str):
                out.append((event, f"{value.target} {value}".strip()))
            else:
                out.append((event, value.text))
        else:
            out.append((event, value))
    return out


@pytest.mark.parametrize("events", [
    EVENTS, ("start",), ("start", "end"), ("start-ns", "end-ns"), ("comment", "pi"),
    ("end", "comment"), ("start-ns", "start"),
])
@pytest.mark.parametrize("as_stream", [False, True])
def test_events_match_elementtree(events: tuple[str, ...], as_stream: bool) -> None:
    source = io.BytesIO(DOC) if as_stream else DOC
    ours = et_view(korvith.iterparse(source, events=events))
    theirs = et_view(ET.iterparse(io.BytesIO(DOC), events=events))
    assert ours == theirs and ours


def test_tag_filter_applies_to_element_events_only() -> None:
    got = et_view(korvith.iterparse(DOC, tag="{urn:p}a", events=("start", "end", "comment")))
    assert got == [("comment", "head"), ("start", "{urn:p}a"), ("comment", "in"),
                   ("end", "{urn:p}a"), ("comment", "foot")]


def test_start_elements_carry_attributes_and_end_elements_children() -> None:
    # As in ElementTree, a start element has its attributes; its children
    # are complete only at its end event.
    seen = []
    for event, el in korvith.iterparse(DOC, events=("start", "end")):
        if el.tag == "{urn:d}b" and event == "end":
            seen.append((event, el.attrib, [c.tag for c in el]))
    assert seen == [("end", {}, ["{urn:q}c"])]
    starts = [el.get("n") for ev, el in korvith.iterparse(DOC, events=("start",))
              if el.tag == "{urn:p}a"]
    assert starts == ["1"]


def test_released_element_says_so_and_names_the_way_out() -> None:
    data = b"<r>" + b"".join(b"<i n='%d'><v>x</v></i>" % i for i in range(3)) + b"</r>"
    kept = []
    for event, el in korvith.iterparse(data, tag="i", events=("start", "end")):
        kept.append((event, el))
    with pytest.raises(korvith.KorvithError) as info:
        kept[1][1].get("n")
    assert "released by iterparse" in str(info.value) and "release=False" in str(info.value)
    assert "operation on a closed document" not in str(info.value)
    with_kept = [el for el in korvith.iterparse(data, tag="i", release=False)]
    assert [el.get("n") for el in with_kept] == ["0", "1", "2"]


def test_parse_errors_surface_from_streams() -> None:
    with pytest.raises(korvith.ParseError, match="mismatch") as info:
        list(korvith.iterparse(io.BytesIO(b"<r><a></b></r>"), events=("start", "end")))
    assert info.value.lineno == 1


class Count(korvith.SaxHandler):
    def __init__(self) -> None:
        self.names: list[str] = []

    def start_element(self, name: str, attrs: dict[str, str]) -> None:
        self.names.append(name)


def test_sax_reads_file_objects_in_blocks() -> None:
    data = b"<r>" + b"<i>x</i>" * 5000 + b"</r>"
    for source in (gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(data))), io.BytesIO(data)):
        handler = Count()
        korvith.sax_parse(source, handler, chunk_size=1000)
        assert handler.names == ["r"] + ["i"] * 5000
    handler = Count()
    korvith.sax_parse(io.BytesIO(b"<r><a/></r>"), handler, remove_comments=True)
    assert handler.names == ["r", "a"]


STREAM_PROBE = textwrap.dedent("""
    import gzip, sys, korvith
    kind, path = sys.argv[1], sys.argv[2]
    before = peak_kib()
    n = 0
    with gzip.open(path) as f:
        if kind == "iterparse":
            for el in korvith.iterparse(f, tag="item"):
                n += 1
        else:
            class H(korvith.SaxHandler):
                def start_element(self, name, attrs):
                    global n
                    n += 1
            korvith.sax_parse(f, H())
    print(n, (peak_kib() - before) * 1024)
""")


def _stream_probe(tmp_path: object, kind: str, count: int) -> tuple[int, int]:
    path = os.path.join(str(tmp_path), f"items-{count}.xml.gz")
    with gzip.open(path, "wb", compresslevel=1) as f:
        f.write(b"<items>\n")
        for i in range(count):
            f.write(b'<item id="%d"><name>item number %d with some padding</name></item>\n'
                    % (i, i))
        f.write(b"</items>\n")
    raw_size = sum(len(b'<item id="%d"><name>item number %d with some padding</name></item>\n'
                       % (i, i)) for i in range(count))
    n, growth = run_probe(STREAM_PROBE, kind, path)
    assert int(n) == count + (1 if kind == "sax" else 0) + (count if kind == "sax" else 0)
    return raw_size, int(growth)


@pytest.mark.parametrize("kind", ["iterparse", "sax"])
def test_gzip_streams_are_read_in_blocks(tmp_path: object, kind: str) -> None:
    small_size, small_growth = _stream_probe(tmp_path, kind, 40_000)
    big_size, big_growth = _stream_probe(tmp_path, kind, 160_000)
    # Reading whole, the peak grows with the (uncompressed) input; in
    # blocks, four times the input costs (almost) nothing more.
    assert big_growth - small_growth < (big_size - small_size) // 4, \
        (small_growth, big_growth, big_size)
