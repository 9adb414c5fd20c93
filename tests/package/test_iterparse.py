"""Streaming iterparse: elements at their end tags, safe after release."""

from __future__ import annotations

import io
import os
import random
import sys

import pytest

import korvith

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "engine"))
from release_oracle import EV_ALL, comparable, generated_document, lxml_stream  # noqa: E402

FEED = b"""<feed>
  <meta><title>News</title></meta>
  <entry id="1"><title>One</title><body>first</body></entry>
  <entry id="2"><title>Two</title><body>second</body></entry>
  <ns:entry xmlns:ns="urn:n" id="3"><title>Three</title></ns:entry>
</feed>
"""


def test_every_element_in_end_tag_order():
    with korvith.iterparse(FEED) as it:
        tags = [el.tag for el in it]
    assert tags == ["title", "meta", "title", "body", "entry", "title", "body", "entry",
                    "title", "{urn:n}entry", "feed"]


@pytest.mark.parametrize("tag, ids", [
    ("entry", ["1", "2"]),
    ("{urn:n}entry", ["3"]),
    ("{*}entry", ["1", "2", "3"]),
    (["entry", "{urn:n}entry"], ["1", "2", "3"]),
    ("missing", []),
])
def test_tag_filter(tag, ids):
    assert [el.get("id") for el in korvith.iterparse(FEED, tag=tag)] == ids


@pytest.mark.parametrize("source", ["path", "bytes", "file"])
def test_sources(tmp_path, source):
    path = tmp_path / "feed.xml"
    path.write_bytes(FEED)
    arg = {"path": path, "bytes": FEED, "file": io.BytesIO(FEED)}[source]
    assert [e.findtext("title") for e in korvith.iterparse(arg, tag="entry")] == ["One", "Two"]


def test_yielded_element_is_complete_and_usable():
    for entry in korvith.iterparse(FEED, tag="entry"):
        assert entry.find("body").text in ("first", "second")
        assert entry.xpath("count(*)") == 2.0
        assert entry.tobytes().startswith(b'<entry id="')
        break


def test_events_pairs_like_elementtree():
    seen = [(event, el.get("id")) for event, el in korvith.iterparse(FEED, tag="entry",
                                                                     events=("end",))]
    assert seen == [("end", "1"), ("end", "2")]
    with pytest.raises(ValueError, match="unknown iterparse event 'begin'"):
        korvith.iterparse(FEED, events=("start", "begin"))


def test_released_element_raises_instead_of_crashing():
    it = korvith.iterparse(FEED, tag="entry")
    first = next(it)
    title = first.find("title")
    assert title.text == "One"
    second = next(it)  # moving on frees the first entry
    assert second.get("id") == "2"
    for stale in (first, title):
        with pytest.raises(korvith.KorvithError, match="released by iterparse.*release=False"):
            stale.tag
    it.close()


def test_close_poisons_every_element():
    it = korvith.iterparse(FEED)
    kept = [next(it) for _ in range(3)]
    assert [e.tag for e in kept] == ["title", "meta", "title"]
    it.close()
    assert it.closed
    for el in kept:
        with pytest.raises(korvith.KorvithError, match="closed document"):
            el.text
    with pytest.raises(StopIteration):
        next(it)


def test_without_release_the_tree_stays_whole():
    it = korvith.iterparse(FEED)
    entries = [el for el in it if el.tag == "entry"]
    assert [e.findtext("body") for e in entries] == ["first", "second"]
    assert [c.tag for c in it.root] == ["meta", "entry", "entry", "{urn:n}entry"]
    it.close()


@pytest.mark.parametrize("data, line", [
    (b"<r>\n<entry id='1'/>\n<entry>\n</r>", 4),
    (b"<r><entry id='1'/>\n\n<entry id='2'>&bogus;</entry></r>", 3),
])
def test_parse_error_after_good_elements(data, line):
    got = []
    with pytest.raises(korvith.ParseError) as info:
        for entry in korvith.iterparse(data, tag="entry"):
            got.append(entry.get("id"))
    assert got == ["1"]
    assert info.value.line == line


def test_missing_file():
    with pytest.raises(FileNotFoundError):
        korvith.iterparse("/nonexistent/feed.xml")


def test_large_stream_keeps_working():
    data = b"<r>" + b"".join(b"<e n='%d'><v>%d</v></e>" % (i, i) for i in range(20000)) + b"</r>"
    total = sum(int(e.findtext("v")) for e in korvith.iterparse(data, tag="e"))
    assert total == sum(range(20000))


# Release as the package drives it: the element yielded last, freed when the
# loop moves on (no event is read in between), against the lxml oracle of
# tests/engine/release_oracle.py, with the same documents and errors kept.

EVENT_SETS = [None, ("end",), ("start", "end"),
              ("start", "end", "start-ns", "end-ns", "comment", "pi")]


def package_stream(source: object, tag: object, events: object,
                   release: bool) -> tuple[list[bytes], bytes | None, str | None]:
    """The matching elements serialised as yielded, the root's serialisation
    at the end (None once it was released) and the parse error, if any."""
    seen: list[bytes] = []
    error = None
    it = korvith.iterparse(source, tag=tag, events=events, release=release)
    try:
        for item in it:
            if events is not None:
                event, item = item
                if event != "end":
                    continue
            seen.append(item.tobytes(with_tail=False))
    except korvith.ParseError as exc:
        error = f"{exc} line {exc.line}"
    try:
        root = it.root  # None once released (it matched the tag)
        return seen, root.tobytes() if root is not None else None, error
    finally:
        it.close()


def oracle_mask(events: object) -> int:
    return EV_ALL if events is not None and "end-ns" in events else 0


@pytest.mark.parametrize("seed", range(6))
def test_release_matches_the_lxml_oracle(seed: int) -> None:
    etree = pytest.importorskip("lxml.etree")
    size = [500, 5_000, 40_000, 150_000, 3_000, 90_000][seed]
    data = generated_document(200 + seed, size, entities=seed % 2 == 0)
    for tag in (None, "item", "{*}item", ["b", "c"]):
        tags = None if tag is None else [tag] if isinstance(tag, str) else tag
        for events in EVENT_SETS:
            for release in (False, True):
                mode = "filtered" if release else "off"
                seen, remaining, error = package_stream(data, tag, events, release)
                want_seen, want_remaining = lxml_stream(etree, data, tags, mode,
                                                        oracle_mask(events))
                assert error is None
                got, want = comparable(etree, seen, want_seen)
                assert got == want, (tag, events, release)
                if tag is None and release:
                    assert remaining is None  # the root went too
                else:
                    assert remaining == want_remaining, (tag, events, release)
    # Pushed from a file object (the package feeds the engine in blocks).
    seen, remaining, _ = package_stream(io.BytesIO(data), "item", None, True)
    want_seen, want_remaining = lxml_stream(etree, data, ["item"], "filtered")
    got, want = comparable(etree, seen, want_seen)
    assert (got, remaining) == (want, want_remaining)


@pytest.mark.parametrize("seed", range(4))
def test_release_keeps_errors_and_the_elements_before_them(seed: int) -> None:
    etree = pytest.importorskip("lxml.etree")
    good = generated_document(300 + seed, 60_000, entities=seed % 2 == 1)
    cut = random.Random(seed).randrange(good.index(b"<r>") + 3, len(good) - 10)
    bad = good[:cut] + b"\x01" + good[cut + 1:] if seed < 2 else good[:cut]
    for tag in ("item", ["b", "c"]):
        tags = [tag] if isinstance(tag, str) else tag
        for events in (None, EVENT_SETS[-1]):
            outcomes = set()
            for release in (False, True):
                seen, _, error = package_stream(bad, tag, events, release)
                want_seen, _ = lxml_stream(etree, good, tags, "filtered" if release else "off",
                                           oracle_mask(events))
                assert error is not None
                got, want = comparable(etree, seen, want_seen[:len(seen)])
                assert got == want, (tag, events, release)
                outcomes.add((len(seen), error))
            assert len(outcomes) == 1, outcomes
