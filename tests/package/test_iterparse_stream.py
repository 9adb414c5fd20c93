"""iterparse filtered by the engine: tags as lxml reads them, flat memory
whichever tag is asked for, and wrappers that stay safe across steps."""

from __future__ import annotations

import gc
import io
import os
import sys
import weakref

import pytest

import korvith

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "engine"))
from memory_probe import run_probe  # noqa: E402

DOC = (b'<r xmlns:p="urn:p"><a n="1"/><p:a n="2"/><b xmlns="urn:d"><a n="3"/></b>'
       b'<!--c--><c><p:b n="4"/><a n="5">t</a></c></r>')

TAGS = ["*", "{*}*", "{}*", "a", "{}a", "{*}a", "{urn:p}*", "{urn:d}a", "{*}b",
        ["a", "{urn:p}b"], ["{urn:p}a", "{*}b", "c"], "missing"]


@pytest.mark.parametrize("tag", TAGS, ids=str)
@pytest.mark.parametrize("release", [False, True])
def test_tag_filters_match_lxml(tag: object, release: bool) -> None:
    etree = pytest.importorskip("lxml.etree")
    want = [(el.tag, el.get("n")) for _, el in etree.iterparse(io.BytesIO(DOC), tag=tag)]
    got = [(el.tag, el.get("n")) for el in korvith.iterparse(DOC, tag=tag, release=release)]
    assert got == want


@pytest.mark.parametrize("tag", ["{*}a", ["{urn:p}b", "c"], "*"], ids=str)
def test_filtered_start_and_end_events_match_lxml(tag: object) -> None:
    etree = pytest.importorskip("lxml.etree")
    events = ("start", "end")
    want = [(ev, el.tag) for ev, el in etree.iterparse(io.BytesIO(DOC), events=events, tag=tag)]
    got = [(ev, el.tag) for ev, el in korvith.iterparse(DOC, events=events, tag=tag)]
    assert got == want


def test_namespace_events_pass_the_filter() -> None:
    got = [(ev, v if ev != "end" else v.tag)
           for ev, v in korvith.iterparse(DOC, tag="{urn:d}a",
                                          events=("start-ns", "end", "end-ns"))]
    assert got == [("start-ns", ("p", "urn:p")), ("start-ns", ("", "urn:d")),
                   ("end", "{urn:d}a"), ("end-ns", None), ("end-ns", None)]


@pytest.mark.parametrize(("tag", "error"), [
    (3, TypeError), (["a", None], TypeError), ("", ValueError), ("{a", ValueError),
    ("{a}", ValueError), ("a\0b", ValueError),
])
def test_bad_tags_are_refused(tag: object, error: type[Exception]) -> None:
    with pytest.raises(error):
        korvith.iterparse(DOC, tag=tag)


RECORDS = b"<r>" + b"".join(b"<rec id='%d'><x>%d</x><n>%d</n><m/></rec>" % (i, i, i)
                            for i in range(50)) + b"</r>"


@pytest.mark.parametrize("events", [None, ("end",), ("start", "end")])
def test_child_tag_frees_the_records_before(events: object) -> None:
    it = korvith.iterparse(RECORDS, tag="n", events=events)
    seen = []
    for item in it:
        el = item[1] if events else item
        if events and item[0] != "end":
            continue
        record = el.getparent()
        # The x before it went as the step passed over it, the records
        # before as soon as they ended; the m after it is still there.
        seen.append((el.text, [c.tag for c in record], len(it.root)))
    assert seen == [(str(i), ["n", "m"], 50 - i) for i in range(50)]
    it.close()


def test_start_events_alone_still_release() -> None:
    # No end events asked for: each record goes at its end all the same,
    # with the wrappers handed out before.
    it = korvith.iterparse(RECORDS, tag="rec", events=("start",))
    seen, previous = [], None
    for event, el in it:
        if previous is not None:
            with pytest.raises(korvith.KorvithError, match="released by iterparse"):
                previous.tag
        seen.append((event, el.get("id"), len(it.root)))
        previous = el
    assert seen == [("start", str(i), 50 - i) for i in range(50)]
    kept = [el.get("id") for _, el in korvith.iterparse(RECORDS, tag="rec", events=("start",),
                                                       release=False)]
    assert kept == [str(i) for i in range(50)]


def test_wrappers_reached_from_a_released_element_are_poisoned() -> None:
    it = korvith.iterparse(RECORDS, tag="n")
    first = next(it)
    parent, root, after = first.getparent(), it.root, first.getnext()
    assert (parent.get("id"), root.tag, after.tag) == ("0", "r", "m")
    second = next(it)
    for stale in (first, parent, root, after):
        with pytest.raises(korvith.KorvithError, match="released by iterparse"):
            stale.tag
    assert second.getparent().get("id") == "1"
    it.close()
    with pytest.raises(korvith.KorvithError, match="closed"):
        second.text
    assert next(it, None) is None


class ClosesOnRead(io.BytesIO):
    def __init__(self, data: bytes) -> None:
        super().__init__(data)
        self.it: korvith.iterparse | None = None
        self.reads = 0

    def read(self, size: int | None = -1) -> bytes:
        self.reads += 1
        if self.reads == 2 and self.it is not None:
            self.it.close()
        return super().read(size)


def test_closing_from_the_source_read_ends_the_stream() -> None:
    data = b"<r>" + b"<e>x</e>" * 200_000 + b"</r>"  # more than one 1 MiB block
    source = ClosesOnRead(data)
    it = korvith.iterparse(source, tag="e")
    source.it = it
    got = [el.text for el in it]
    assert 0 < len(got) < 200_000 and set(got) == {"x"}
    assert it.closed


class ClosesWhenDropped:
    def __init__(self, it: korvith.iterparse) -> None:
        self.it = it

    def __del__(self) -> None:
        self.it.close()


def test_closing_while_poisoning_ends_the_stream() -> None:
    # Poisoning drops each wrapper's _ptr object, which can run any code:
    # here it closes the iterator in the middle of the step.
    it = korvith.iterparse(RECORDS, tag="n")
    first = next(it)
    first._ptr = ClosesWhenDropped(it)
    with pytest.raises(StopIteration):
        next(it)
    assert it.closed
    with pytest.raises(korvith.KorvithError):
        first.text


def test_an_abandoned_iterator_is_collected() -> None:
    # The iterator, its wrappers' document object and the cursor refer to
    # each other: the cycle collector must be able to free them.
    it = korvith.iterparse(RECORDS, tag="n")
    el = next(it)
    gone = weakref.ref(it)
    assert el.text == "0"
    del it, el
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("data, line, got", [
    (b"<r><a><n>1</n></a><p:a><n>2</n></p:a></r>", 1, ["1"]),
    (b"<r>\n<a><n>1</n></a>\n<a><n>2</n>\x01</a></r>", 3, ["1", "2"]),
])
@pytest.mark.parametrize("events", [None, ("start", "end")])
def test_errors_mid_stream_after_the_elements_before(data: bytes, line: int, got: list[str],
                                                     events: object) -> None:
    seen = []
    with pytest.raises(korvith.ParseError) as info:
        for item in korvith.iterparse(data, tag="{*}n", events=events):
            el = item[1] if events else item
            if not events or item[0] == "end":
                seen.append(el.text)
    assert seen == got and info.value.line == line


# ---------------------------------------------------------------- memory
#
# Peak RSS growth of a fresh process streaming a generated file, for a tag
# that is a child of each record, against the record tag and against
# keeping the whole tree. KORVITH_BIG_STREAMS=1 adds a 300 MB file.

PROBE = r"""
import sys
import korvith
path, tag, release = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
before = peak_kib()
n = 0
for el in korvith.iterparse(path, tag=tag, release=release):
    n += 1
print(n, peak_kib() - before)
"""


def write_records(path: str, count: int) -> None:
    with open(path, "wb") as f:
        f.write(b'<catalog xmlns:x="urn:x">\n')
        for i in range(0, count, 1000):
            f.write(b"".join(
                b'<item id="%d"><name>item number %d</name><x:code>C%d</x:code><qty>%d</qty>'
                b"<note>plain text with a bit of padding to look like real data</note></item>\n"
                % (j, j, j, j % 7) for j in range(i, min(i + 1000, count))))
        f.write(b"</catalog>\n")


def growth(path: str, tag: str, release: bool = True) -> tuple[int, int]:
    out = run_probe(PROBE, path, tag, "1" if release else "0")
    return int(out[0]), int(out[1])


SIZES = [40_000] + ([1_500_000] if os.environ.get("KORVITH_BIG_STREAMS") == "1" else [])


@pytest.mark.parametrize("count", SIZES)
def test_memory_is_flat_whatever_the_tag(tmp_path, count: int) -> None:
    path = str(tmp_path / "records.xml")
    write_records(path, count)
    try:
        n_item, item = growth(path, "item")
        n_name, name = growth(path, "name")
        n_code, code = growth(path, "{urn:x}code")
        n_none, none = growth(path, "missing")
        assert n_item == n_name == n_code == count and n_none == 0
        if count <= 100_000:
            n_kept, kept = growth(path, "name", release=False)
            assert n_kept == count
            assert max(name, code, none) < kept // 8, (name, code, none, kept)
        # Within twice the record tag's growth (plus allocator slack).
        assert max(name, code, none) <= 2 * item + 4096, (item, name, code, none)
    finally:
        os.unlink(path)
