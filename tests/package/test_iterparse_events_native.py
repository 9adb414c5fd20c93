"""iterparse with events, stepped in C: the same (event, value) pairs as
lxml's iterparse from every kind of source, parse errors at the same point,
released and closed wrappers that raise instead of reading freed memory,
and a close() from another thread (or from code the step runs) that ends
the stream cleanly."""

from __future__ import annotations

import gc
import io
import random
import sys
import threading
import time
import weakref
from collections.abc import Iterator
from typing import Any

import pytest

import korvith
from korvith import xpath_nodes

etree = pytest.importorskip("lxml.etree")

CLOSED = "operation on a closed document"
RELEASED = "released by iterparse"
ALL = ("start", "end", "start-ns", "end-ns", "comment", "pi")

DOCS = {
    # Default and prefixed namespaces redeclared, undeclared and reused.
    "namespaces": (b'<r xmlns="urn:a" xmlns:p="urn:p"><p:x xmlns:p="urn:q" p:k="v">'
                   b'<x xmlns="">t</x></p:x><x a="1"/><p:y xmlns="urn:b"><x/></p:y></r>'),
    # Comments and PIs before, inside and after the root, one PI without data.
    "comments_pis": (b'<?top data?><!--before--><r><!--in--><?target some data?>'
                     b'<a>t<!--c2-->u</a><?empty?><x>v</x></r><!--after-->'),
    # The same name nested in itself, and text around children.
    "nested": b'<a n="0">h<a n="1"><a n="2">x</a>t</a><b><a n="3"/><x/></b>z</a>',
    "records": b"<all>" + b"".join(b'<x i="%d"><a>%d</a><!--%d--></x>' % (i, i * 3, i)
                                   for i in range(40)) + b"</all>",
}
EVENT_SETS = [("start", "end"), ("start",), ("end", "start-ns", "end-ns"), ALL,
              ("comment", "pi"), ("start-ns", "start")]
TAGS = [None, "x", "{*}x", ["a", "{urn:q}x"], "{urn:a}*"]


def normal(event: str, value: Any, children: bool = True) -> tuple[Any, ...]:
    """One event as both libraries can be compared on it, read at once (a
    released element cannot be read later). With release, the children
    yielded before an element's end are gone, and with them where its text
    ends: leave both out."""
    if event == "start":
        return (event, value.tag, sorted(value.attrib.items()))
    if event == "end" and not children:
        return (event, value.tag, sorted(value.attrib.items()))
    if event == "end":
        return (event, value.tag, value.text, [c.tag for c in value if isinstance(c.tag, str)])
    if event == "comment":
        return (event, value.text if hasattr(value, "tag") else str(value))
    if event == "pi":
        return (event, value.target, (value.text or "") if hasattr(value, "tag") else str(value))
    return (event, value)


def lxml_events(data: bytes, events: tuple[str, ...], tag: Any = None,
                children: bool = True) -> list[tuple[Any, ...]]:
    return [normal(*pair, children)
            for pair in etree.iterparse(io.BytesIO(data), events=events, tag=tag)]


def korvith_events(source: Any, events: tuple[str, ...], tag: Any = None,
                   release: bool = False) -> list[tuple[Any, ...]]:
    with korvith.iterparse(source, tag=tag, events=events, release=release) as it:
        return [normal(*pair, not release) for pair in it]


class SmallReads(io.RawIOBase):
    """A file object that answers every read() with at most `size` bytes."""

    def __init__(self, data: bytes, size: int) -> None:
        self.data, self.size, self.pos, self.reads = data, size, 0, 0

    def readable(self) -> bool:
        return True

    def read(self, n: int | None = -1) -> bytes:
        self.reads += 1
        chunk = self.data[self.pos:self.pos + self.size]
        self.pos += len(chunk)
        return chunk


@pytest.mark.parametrize("name", sorted(DOCS))
@pytest.mark.parametrize("events", EVENT_SETS, ids="+".join)
@pytest.mark.parametrize("tag", TAGS, ids=str)
@pytest.mark.parametrize("release", [False, True])
def test_events_match_lxml(name: str, events: tuple[str, ...], tag: Any, release: bool) -> None:
    data = DOCS[name]
    assert korvith_events(data, events, tag, release) == lxml_events(data, events, tag,
                                                                     not release)


@pytest.mark.parametrize("events", [("start", "end"), ALL], ids="+".join)
@pytest.mark.parametrize("source", ["bytes", "path", "file", "small_reads", "byte_reads"])
def test_every_source_gives_the_same_events(tmp_path, events: tuple[str, ...],
                                            source: str) -> None:
    data = (b'<?top data?><r xmlns="urn:a" xmlns:p="urn:p"><!--in--><p:x xmlns:p="urn:q">'
            + DOCS["records"] + b'<?t d?></p:x><x xmlns="">t</x></r><!--after-->')
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    reader = SmallReads(data, 1 if source == "byte_reads" else 7)
    sources = {"bytes": data, "path": str(path),
               "file": open(path, "rb"), "small_reads": reader, "byte_reads": reader}
    try:
        assert korvith_events(sources[source], events) == lxml_events(data, events)
    finally:
        sources["file"].close()
    if source.endswith("reads"):
        assert reader.reads > len(data) // reader.size  # fed block by block, to the end


def test_values_are_pairs_tuples_none_and_strings() -> None:
    got = list(korvith.iterparse(b'<?top data?><!--before--><r><!--in--><?target some data?>'
                                 b'<q xmlns:n="urn:n"/></r>', events=ALL))
    assert [ev for ev, _ in got] == ["pi", "comment", "start", "comment", "pi", "start-ns",
                                     "start", "end", "end-ns", "end"]
    assert all(type(pair) is tuple and len(pair) == 2 for pair in got)
    top, before, comment_in, target, ns, end_ns = (got[i][1] for i in (0, 1, 3, 4, 5, 8))
    assert (type(top), top, top.kind, top.target) == (xpath_nodes.XPathString, "data", "pi",
                                                      "top")
    assert (before, before.kind, before.target) == ("before", "comment", None)
    assert (comment_in, target, target.target) == ("in", "some data", "target")
    assert (type(ns), ns, end_ns) == (tuple, ("n", "urn:n"), None)
    assert isinstance(got[2][1], korvith.Element) and got[2][1].tag == "r"


def test_the_iterator_protocol_and_the_end_of_the_stream() -> None:
    it = korvith.iterparse(DOCS["nested"], events=("start", "end"))
    assert iter(it) is it and isinstance(it, Iterator)
    assert sum(1 for _ in it) == 12
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    assert not it.closed
    assert [c.tag for c in it.root] == ["a", "b"]  # release=False: the tree stays whole
    it.close()
    assert it.closed


def test_a_second_init_is_refused_and_the_stream_goes_on() -> None:
    it = korvith.iterparse(DOCS["records"], tag="x", events=("end",))
    assert next(it)[1].get("i") == "0"
    with pytest.raises(RuntimeError, match="already initialised"):
        it.__init__(DOCS["nested"], events=("start",))
    assert [el.get("i") for _, el in it] == [str(i) for i in range(1, 40)]


BAD = [
    b"<r><a>1</a>\n<b><c/></b>\n<d></e></r>",          # mismatched end tag, line 3
    b"<r><a>x</a><!--c--><b>&bogus;</b></r>",           # undefined entity
    b"<r><a/>\n<a/>\n\x01</r>",                          # bad character
    b"<r><a>1</a></r><extra/>",                         # content after the root
    b"<r><?pi x?><a>" + b"<b>t</b>" * 3000 + b"</a",    # truncated
]


def _until_error(pairs: Any, children: bool) -> tuple[list[tuple[Any, ...]], int | None]:
    seen = []
    try:
        for pair in pairs:
            seen.append(normal(*pair, children))
    except (korvith.ParseError, etree.XMLSyntaxError) as exc:
        return seen, getattr(exc, "line", None) or exc.lineno
    return seen, None


@pytest.mark.parametrize("data", BAD, ids=range(len(BAD)))
@pytest.mark.parametrize("source", ["bytes", "small_reads"])
@pytest.mark.parametrize("release", [False, True])
def test_errors_mid_stream_come_where_lxml_raises_them(data: bytes, source: str,
                                                       release: bool) -> None:
    want = _until_error(etree.iterparse(io.BytesIO(data), events=ALL), not release)
    it = korvith.iterparse(data if source == "bytes" else SmallReads(data, 5), events=ALL,
                           release=release)
    assert want[1] is not None and _until_error(it, not release) == want
    with pytest.raises(StopIteration):  # the error ends the stream
        next(it)


@pytest.mark.parametrize("events", [("start", "end"), ALL], ids="+".join)
def test_an_unbound_prefix_ends_the_stream_where_the_element_stream_ends(
        events: tuple[str, ...]) -> None:
    # lxml recovers from an undeclared prefix; korvith raises at it, with
    # and without events (its element stream does the same).
    data = b'<r xmlns:p="urn:p"><p:a/>\n<q:b/></r>'
    with pytest.raises(korvith.ParseError) as info:
        seen = []
        for ev, value in korvith.iterparse(data, events=events):
            seen.append((ev, value.tag if ev in ("start", "end") else value))
    assert info.value.line == 2
    assert [s for s in seen if s[0] in ("start", "end")] == [
        ("start", "r"), ("start", "{urn:p}a"), ("end", "{urn:p}a")]
    with pytest.raises(korvith.ParseError):
        list(korvith.iterparse(data))


# ------------------------------------------------------------ release


def test_each_step_past_an_end_event_releases_what_came_before() -> None:
    it = korvith.iterparse(DOCS["records"], tag="x", events=("start", "end"), release=True)
    ev, start_of_first = next(it)
    assert (ev, start_of_first.get("i")) == ("start", "0")
    ev, first = next(it)
    assert (ev, first.get("i"), first.findtext("a")) == ("end", "0", "0")
    child = first.find("a")
    ev, second = next(it)
    assert (ev, second.get("i")) == ("start", "1")
    for stale in (start_of_first, first, child):
        with pytest.raises(korvith.KorvithError, match=RELEASED):
            stale.get("i")
    assert it.root.tag == "all"  # the root is never released
    rest = [(ev, el.get("i")) for ev, el in it]
    assert rest[:3] == [("end", "1"), ("start", "2"), ("end", "2")] and len(rest) == 77
    it.close()


@pytest.mark.parametrize("events", [("start",), ("start", "comment"), ("start-ns", "start")],
                         ids="+".join)
def test_without_end_events_elements_are_still_released(events: tuple[str, ...]) -> None:
    it = korvith.iterparse(DOCS["records"], tag="x", events=events, release=True)
    starts = []
    for ev, el in it:
        if ev != "start":
            continue
        assert (el.tag, el.get("i")) == ("x", str(len(starts)))
        if starts:  # the previous one ended (unseen) and is released
            with pytest.raises(korvith.KorvithError, match=RELEASED):
                starts[-1].tag
        starts.append(el)
    assert len(starts) == 40
    with pytest.raises(korvith.KorvithError, match=RELEASED):
        starts[-1].tag
    it.close()


def test_without_release_every_wrapper_stays_usable_until_close() -> None:
    it = korvith.iterparse(DOCS["nested"], events=("start", "end"), release=False)
    kept = list(it)
    assert [(ev, el.get("n")) for ev, el in kept if el.tag == "a"] == [
        ("start", "0"), ("start", "1"), ("start", "2"), ("end", "2"), ("end", "1"),
        ("start", "3"), ("end", "3"), ("end", "0")]
    assert kept[0][1].findtext("a/a") == "x"
    it.close()
    for _, el in kept:
        with pytest.raises(korvith.KorvithError, match=CLOSED):
            el.tag


@pytest.mark.parametrize("release", [False, True])
def test_a_wrapper_keeps_its_abandoned_iterator_until_both_are_collected(release: bool) -> None:
    it = korvith.iterparse(DOCS["records"], events=("start", "comment", "end"), release=release)
    for ev, value in it:
        if ev == "end":
            break
    gone = weakref.ref(it)
    del it
    gc.collect()
    assert gone() is not None  # the element still leads to its tree
    assert (value.tag, value.text) == ("a", "0")
    del value
    gc.collect()
    assert gone() is None


# ------------------------------------------------------------ closing


class ClosingString(xpath_nodes.XPathString):
    """Closes `closes` while the step makes its value."""

    closes: korvith.iterparse | None = None

    def __new__(cls, value: str, kind: str, name: str | None = None) -> ClosingString:
        if cls.closes is not None:
            cls.closes.close()
        return super().__new__(cls, value, kind, name)


def test_closing_while_the_step_makes_a_comment_value(monkeypatch) -> None:
    monkeypatch.setattr(xpath_nodes, "XPathString", ClosingString)
    it = korvith.iterparse(DOCS["records"], events=("end", "comment"))
    ev, a = next(it)
    ClosingString.closes = it
    try:
        ev, text = next(it)
    finally:
        ClosingString.closes = None
    # The texts were read before the close freed the tree.
    assert (ev, text, text.kind) == ("comment", "0", "comment")
    assert it.closed
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        a.tag


class ClosesOnRead(SmallReads):
    it: korvith.iterparse | None = None

    def read(self, n: int | None = -1) -> bytes:
        if self.reads == 3 and self.it is not None:
            self.it.close()
        return super().read(n)


def test_closing_from_the_source_read_ends_the_event_stream() -> None:
    source = ClosesOnRead(DOCS["records"], 64)
    it = korvith.iterparse(source, events=("start", "end"))
    source.it = it
    got = [(ev, el.tag) for ev, el in it]
    assert 0 < len(got) < 161 and it.closed
    assert got[:3] == [("start", "all"), ("start", "x"), ("start", "a")]


@pytest.fixture
def frequent_switches() -> Iterator[None]:
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def _records(count: int) -> bytes:
    return b"<all>" + b"".join(b'<rec i="%d"><v>%d</v><!--%d--></rec>' % (i, i * 7, i)
                               for i in range(count)) + b"</all>"


@pytest.mark.parametrize("release", [False, True])
@pytest.mark.parametrize("source", ["bytes", "small_reads"])
def test_close_from_another_thread_while_iterating(frequent_switches, release: bool,
                                                   source: str) -> None:
    # The closing thread waits until the loop has passed a random record,
    # then closes while the loop goes on: every answer the loop gets is the
    # right one or the closed error, and the stream ends early, cleanly.
    data = _records(300)
    rng = random.Random(7)
    wrong: list[str] = []
    counts = {"answers": 0, "rounds": 0, "closed_early": 0}
    deadline = time.monotonic() + 0.6
    while counts["rounds"] < 3 or time.monotonic() < deadline:
        it = korvith.iterparse(data if source == "bytes" else SmallReads(data, 97), tag="rec",
                               events=("start", "end", "comment"), release=release)
        passed = threading.Event()
        closer = threading.Thread(target=lambda: (passed.wait(5), it.close()))
        closer.start()
        close_after, n = rng.randrange(200), -1
        for ev, value in it:
            if ev == "comment":
                n = int(value)
                continue
            if ev != "end":
                continue
            if n == close_after:
                passed.set()
            try:
                got, index = value.tobytes(), int(value.get("i"))
            except korvith.KorvithError as exc:
                if CLOSED not in str(exc) and RELEASED not in str(exc):
                    wrong.append(repr(exc))
                continue
            if index != n or got != b'<rec i="%d"><v>%d</v><!--%d--></rec>' % (n, n * 7, n):
                wrong.append(f"{n}: {got!r}")
            counts["answers"] += 1
        passed.set()
        closer.join()
        assert it.closed
        counts["rounds"] += 1
        counts["closed_early"] += n < 299
    assert wrong == []
    assert counts["answers"] > 0 and counts["closed_early"] > 0
