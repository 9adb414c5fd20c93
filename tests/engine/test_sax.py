"""SAX recordings of the real engine replayed into handlers."""

from __future__ import annotations

import ctypes
import sys
import textwrap

import pytest

import korvith
from korvith import _engine
from korvith.sax import SaxHandler, sax_parse
from memory_probe import run_probe, write_items

lib = _engine.lib  # every export declared by the package (_engine.EXPORTS)


class Record(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_uint8), ("reserved", ctypes.c_uint8 * 7)] + [
        (f, ctypes.c_uint32) for f in
        ("name_off", "name_len", "text_off", "text_len", "attrs_off", "attr_count", "line", "column")]


def raw_records(data: bytes, chunk: int = 0) -> list[list[tuple]]:
    """Per step: (kind, name, text, attribute strings, line, column)."""
    rec = lib.korvith_sax_open_buffer(data, len(data), 0, chunk)
    steps = []
    try:
        while True:
            more = lib.korvith_sax_step(rec)
            count, size = ctypes.c_size_t(0), ctypes.c_size_t(0)
            first = lib.korvith_sax_records(rec, ctypes.byref(count))
            arena = ctypes.string_at(lib.korvith_sax_arena(rec, ctypes.byref(size)), size.value)
            rows = (Record * count.value).from_address(first) if count.value else []
            out = []
            for r in rows:
                attrs = arena[r.attrs_off:].split(b"\0")[: 2 * r.attr_count] if r.attr_count else []
                out.append((r.kind, arena[r.name_off:r.name_off + r.name_len],
                            arena[r.text_off:r.text_off + r.text_len], attrs, r.line, r.column))
            steps.append(out)
            if more == 0:
                return steps
    finally:
        lib.korvith_sax_free(rec)


def test_record_layout_is_forty_bytes():
    assert ctypes.sizeof(Record) == 40
    [records] = raw_records(b'<a x="1" y="&amp;"/>')
    assert records == [
        (0, b"", b"", [], 0, 0),
        (2, b"a", b"", [b"x", b"1", b"y", b"&"], 0, 0),
        (3, b"a", b"", [], 0, 0),
        (1, b"", b"", [], 0, 0),
    ]


def test_error_record_has_line_and_column():
    steps = raw_records(b"<a>\n  <b></c>\n</a>")
    errors = [r for step in steps for r in step if r[0] == 10]
    assert errors[0][2].startswith(b"Opening and ending tag mismatch")
    assert errors[0][4:] == (2, 10)


def test_steps_hold_only_their_own_events():
    data = b"<r>" + b"<i>t</i>" * 1000 + b"</r>"
    steps = raw_records(data, chunk=512)
    assert len(steps) == len(data) // 512 + 1
    starts = [r for step in steps for r in step if r[0] == 2]
    assert len(starts) == 1001
    assert max(len(step) for step in steps) < 400


class Log(SaxHandler):
    def __init__(self) -> None:
        self.events: list[tuple] = []

    def __getattribute__(self, name):
        attr = object.__getattribute__(self, name)
        if name in EVENTS:
            return lambda *args: object.__getattribute__(self, "events").append((name, *args))
        return attr


EVENTS = {"start_document", "end_document", "start_element", "end_element", "characters", "comment",
          "cdata", "processing_instruction", "start_prefix_mapping", "end_prefix_mapping", "error"}

DOC = b"""<?xml version="1.0"?>
<!DOCTYPE r [<!ENTITY who "world">]>
<r xmlns="urn:d" xmlns:p="urn:p" p:a="1" b="2"><?go now?><!-- c --><p:x>hello &who; &#233;</p:x><![CDATA[<raw>]]></r>
"""

EXPECTED = [
    ("start_document",),
    ("start_prefix_mapping", "", "urn:d"),
    ("start_prefix_mapping", "p", "urn:p"),
    ("start_element", "{urn:d}r", {"{urn:p}a": "1", "b": "2"}),
    ("processing_instruction", "go", "now"),
    ("comment", " c "),
    ("start_element", "{urn:p}x", {}),
    ("characters", "hello world \u00e9"),
    ("end_element", "{urn:p}x"),
    ("cdata", "<raw>"),
    ("end_element", "{urn:d}r"),
    ("end_prefix_mapping", "p"),
    ("end_prefix_mapping", ""),
    ("end_document",),
]


@pytest.mark.parametrize("as_file", [False, True])
def test_sax_parse_replays_every_event_kind(tmp_path, as_file):
    source = DOC
    if as_file:
        source = tmp_path / "doc.xml"
        source.write_bytes(DOC)
    handler = Log()
    sax_parse(source, handler)
    assert handler.events == EXPECTED


@pytest.mark.parametrize("chunk", [1, 7, 64, 1 << 20])
def test_chunking_does_not_change_elements_or_text(chunk):
    data = b"<r>" + b"".join(b'<i n="%d">text %d</i>' % (i, i) for i in range(200)) + b"</r>"
    handler = Log()
    sax_parse(data, handler, chunk_size=chunk)
    starts = [e for e in handler.events if e[0] == "start_element"]
    assert starts[1:] == [("start_element", "i", {"n": str(i)}) for i in range(200)]
    text = "".join(e[1] for e in handler.events if e[0] == "characters")
    assert text == "".join(f"text {i}" for i in range(200))


def test_parse_error_reaches_handler_and_stops():
    handler = Log()
    sax_parse(b"<a><b></a>", handler)
    assert handler.events[-1][0] == "error"
    assert handler.events[-1][2:] == (1, 11)
    assert ("end_element", "a") not in handler.events


def test_base_handler_raises_parse_error():
    with pytest.raises(korvith.ParseError, match="mismatch"):
        sax_parse(b"<a></b>", SaxHandler())


@pytest.mark.parametrize("xml", [
    b'<!DOCTYPE r [<!ENTITY e SYSTEM "file:///etc/passwd">]><r>&e;</r>',
    b'<!DOCTYPE r SYSTEM "http://127.0.0.1:9/x.dtd"><r/>',
])
def test_external_entities_and_dtds_are_never_loaded(xml):
    handler = Log()
    sax_parse(xml, handler)
    text = "".join(e[1] for e in handler.events if e[0] == "characters")
    assert "root:" not in text
    assert ("start_element", "r", {}) in handler.events


def test_handler_exception_stops_the_parse():
    seen = []

    class Stop(SaxHandler):
        def start_element(self, name, attrs):
            seen.append(name)
            if name == "b":
                raise KeyError("stop")

    with pytest.raises(KeyError):
        sax_parse(b"<a><b/><c/></a>", Stop(), chunk_size=2)
    assert seen == ["a", "b"]


@pytest.mark.parametrize("source, error", [
    ("/nonexistent/file.xml", FileNotFoundError),
    (12, TypeError),
])
def test_bad_sources(source, error):
    with pytest.raises(error):
        sax_parse(source, SaxHandler())


def test_bad_chunk_size():
    with pytest.raises(ValueError, match="chunk_size"):
        sax_parse(b"<a/>", SaxHandler(), chunk_size=0)


MEMORY_PROBE = textwrap.dedent("""
    import sys
    from korvith.sax import SaxHandler, sax_parse
    class Count(SaxHandler):
        n = 0
        def start_element(self, name, attrs): self.n += 1
    before = peak_kib()
    h = Count()
    sax_parse(sys.argv[1], h)
    after = peak_kib()
    print(h.n, (after - before) * 1024)
""")


def _sax_probe(tmp_path, count):
    path = tmp_path / f"items-{count}.xml"
    size = write_items(path, count)
    n, growth = run_probe(MEMORY_PROBE, str(path))
    assert int(n) == 1 + 3 * count
    return size, int(growth)


def test_sax_memory_stays_flat(tmp_path):
    # Flat means the peak does not grow with the input: four times the
    # records must cost (almost) no more memory than the smaller file.
    small_size, small_growth = _sax_probe(tmp_path, 60_000)
    big_size, big_growth = _sax_probe(tmp_path, 240_000)
    extra = big_growth - small_growth
    assert extra < (big_size - small_size) // 4, (small_growth, big_growth, big_size)
