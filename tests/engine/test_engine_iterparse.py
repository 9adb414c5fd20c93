"""Incremental parsing with the push parser: order, streaming, release, errors."""

from __future__ import annotations

import contextlib
import ctypes
import random
from collections.abc import Iterator

import pytest

from conftest import NOBLANKS, accel, lib, s
import korvith
from korvith import _engine
from memory_probe import run_probe
from release_oracle import (EV_ALL, EV_END, EV_END_NS, RELEASE_MODES, comparable,
                            generated_document, lxml_stream, tag_matches)


@contextlib.contextmanager
def stream(data: bytes = b"", flags: int = 0, path: object = None) -> Iterator[int]:
    """An iterator over `data` (or the file at `path`) that opened with
    status 0; freed when the block ends."""
    if path is not None:
        h, status = _engine.iterparse_open_file(path, flags)
    else:
        h, status = _engine.iterparse_open_buffer(data, flags)
    assert h and status == 0, status
    try:
        yield h
    finally:
        lib.korvith_iterparse_free(h)


def names_of(handle: int, release: bool = False) -> list[str]:
    out = []
    while True:
        el = lib.korvith_iterparse_next(handle)
        if not el:
            return out
        out.append(s(lib.korvith_element_name(el)))
        if release:
            lib.korvith_iterparse_release(handle, el)


def test_elements_arrive_in_end_tag_order() -> None:
    with stream(b"<r><a><b/></a><c/></r>") as h:
        assert names_of(h) == ["b", "a", "c", "r"]
        assert _engine.iterparse_error(h) == (0, "", 0, 0)
        doc = lib.korvith_iterparse_document(h)
        assert s(lib.korvith_element_name(lib.korvith_document_root(doc))) == "r"


def test_first_element_arrives_before_the_file_is_read(tmp_path) -> None:
    path = tmp_path / "big.xml"
    with open(path, "wb") as f:
        f.write(b"<r>" + b"<item>x</item>" * 400_000 + b"</r>")
    with stream(path=path) as h:
        first = lib.korvith_iterparse_next(h)
        assert s(lib.korvith_element_name(first)) == "item"
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        assert lib.korvith_element_child_count(root) < 400_000 // 10


def test_release_frees_element_and_processed_siblings() -> None:
    with stream(b"<r><a/>t<b/>u<c/></r>") as h:
        a = lib.korvith_iterparse_next(h)
        b = lib.korvith_iterparse_next(h)
        assert s(lib.korvith_element_name(a)) == "a"
        root = lib.korvith_element_parent(b)
        lib.korvith_iterparse_release(h, b)
        # a, the text between and b are gone; the tail of b stays.
        first = lib.korvith_node_first_child(root)
        assert s(lib.korvith_text_node_get_content(first)) == "u"
        assert names_of(h) == ["c", "r"]
        assert lib.korvith_element_child_count(root) == 1


def test_release_of_an_open_element_is_ignored() -> None:
    with stream(b"<r><a/><b/></r>") as h:
        a = lib.korvith_iterparse_next(h)
        root = lib.korvith_element_parent(a)
        lib.korvith_iterparse_release(h, root)  # still open: kept
        assert names_of(h) == ["b", "r"]


def peak_growth(path: str, count: int, release: bool, events: int = 0) -> tuple[int, int]:
    script = r"""
import ctypes
import sys
from korvith import _engine

lib = _engine.lib
path, count, release = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
events = int(sys.argv[4])
# Streamed from a file, so no copy of the input raises the baseline.
h, _ = _engine.iterparse_open_file(path)
if events:
    lib.korvith_iterparse_set_events(h, events)
kind = ctypes.c_int(0)
before = peak_kib()
n = 0
while True:
    if events:
        el = lib.korvith_iterparse_next_event(h, ctypes.byref(kind))
        if kind.value == 0:
            break
        if kind.value != 2:  # elements at their end events
            continue
    else:
        el = lib.korvith_iterparse_next(h)
        if not el:
            break
    n += 1
    if release:
        lib.korvith_iterparse_release(h, el)
after = peak_kib()
lib.korvith_iterparse_free(h)
print(n, (after - before) * 1024)
"""
    out = run_probe(script, path, str(count), str(int(release)), str(events))
    return int(out[0]), int(out[1])


# Elements from next(), and at end events among start events (queued ahead
# of the element released).
@pytest.mark.parametrize("events", [0, 0x03])
def test_memory_stays_flat_when_releasing(tmp_path, events: int) -> None:
    count = 60_000 if events else 300_000
    item = b"<item id='1'><name>some name</name><qty>5</qty></item>"
    path = tmp_path / "stream.xml"
    path.write_bytes(b"<root>" + item * count + b"</root>")
    n_kept, kept = peak_growth(str(path), count, release=False, events=events)
    n_released, released = peak_growth(str(path), count, release=True, events=events)
    assert n_kept == n_released == count * 3 + 1
    # Compared with keeping the whole tree in the same build, since absolute
    # figures differ between plain and sanitizer builds.
    assert released < kept // 3, (released, kept)


@pytest.mark.parametrize(
    ("data", "code", "names"),
    [
        (b"<r><a/><b></r>", 76, ["a"]),
        (b"<r><a/>\xff</r>", 81, ["a"]),
        (b"<r><p:a/></r>", 201, []),
    ],
)
def test_errors_end_the_stream(data: bytes, code: int, names: list[str]) -> None:
    with stream(data) as h:
        assert names_of(h) == names
        err = _engine.iterparse_error(h)
        assert err[0] == code and err[1] and err[2] == 1
        assert lib.korvith_iterparse_next(h) is None


def test_flags_apply_and_bad_flags_are_refused() -> None:
    with stream(b"<r>\n <a/>\n</r>", NOBLANKS) as h:
        a = lib.korvith_iterparse_next(h)
        assert lib.korvith_node_next_sibling(a) is None
    h, status = _engine.iterparse_open_buffer(b"<r/>", 0x800)
    assert h is None and status == 115


def test_missing_file_and_empty_input() -> None:
    h, status = _engine.iterparse_open_file("/nonexistent/korvith.xml")
    assert h is None and status == 1524
    h, status = _engine.iterparse_open_file("/")
    assert h is None and status == 1517
    with stream(b"") as h:
        assert lib.korvith_iterparse_next(h) is None
        assert _engine.iterparse_error(h)[0] == 4
        assert lib.korvith_iterparse_document(h) is None


def test_module_iterparse_next_wraps_elements() -> None:
    sentinel = object()
    with stream(b"<r><a x='1'>t</a></r>") as h:
        el = accel.iterparse_next(h, sentinel)
        assert (el.tag, el.text, el.get("x"), el._document) == ("a", "t", "1", sentinel)


def test_hostile_entities_in_a_stream() -> None:
    from test_engine_parsing import BILLION_LAUGHS
    with stream(BILLION_LAUGHS) as h:
        assert names_of(h) == []
        assert "amplification" in _engine.iterparse_error(h)[1].lower()


ENTITY_MARKUP = b'<!DOCTYPE c [<!ENTITY m "<b>in</b>tail">]><c>&m;<x/>&m;&m;</c>'


def test_iterparse_hands_out_elements_copied_from_entities() -> None:
    # libxml2 parses an entity's content once, into nodes of the entity
    # declaration, and copies them into the tree for each reference. The
    # stream used to hand out the declaration's node (no parent) once and
    # none of the copies; releasing it then emptied the entity.
    got = [(el.tag, el.text, el.getparent().tag if el.getparent() is not None else None)
           for el in korvith.iterparse(ENTITY_MARKUP, release=False)]
    assert got == [("b", "in", "c"), ("x", None, "c"), ("b", "in", "c"), ("b", "in", "c"),
                   ("c", None, None)]
    released = [(el.tag, el.getparent().tag) for el in korvith.iterparse(ENTITY_MARKUP, tag="b")]
    assert released == [("b", "c")] * 3
    plan = korvith.Plan(own=korvith.Text())
    assert list(korvith.iterextract(ENTITY_MARKUP, "b", plan)) == [{"own": "in"}] * 3
    with korvith.parse(ENTITY_MARKUP) as doc:
        assert [e.tag for e in doc.root.iter()] == ["c", "b", "x", "b", "b"]


def test_iterparse_keeping_entities_hands_out_only_tree_elements() -> None:
    with korvith.parse(ENTITY_MARKUP, keep_entities=True) as doc:
        expected = [e.tag for e in doc.root.iter()]
    assert expected == ["c", "x"]
    got = [el.tag for el in korvith.iterparse(ENTITY_MARKUP, keep_entities=True)]
    assert sorted(got) == sorted(expected)
    nested = (b'<!DOCTYPE r [<!ENTITY i "<b><c/></b>"><!ENTITY o "<a>&i;&i;</a>">]>'
              b"<r>&o;<z/>&o;</r>")
    stream = [(el.tag, el.getparent().tag if el.getparent() is not None else None)
              for el in korvith.iterparse(nested)]
    assert stream == [("c", "b"), ("b", "a"), ("c", "b"), ("b", "a"), ("a", "r"), ("z", "r"),
                      ("c", "b"), ("b", "a"), ("c", "b"), ("b", "a"), ("a", "r"), ("r", None)]


# ---------------------------------------------------------------- release
#
# Release skips its search of the queues for the element handed out last
# (nothing of its subtree can still be queued) and searches them for any
# other element. Both must free and keep exactly what the documented rule
# says; release_oracle.py has the generated documents and the lxml oracle.


def clark(el: int) -> str:
    uri, name = s(lib.korvith_element_namespace(el)), s(lib.korvith_element_name(el))
    return f"{{{uri}}}{name}" if uri else name


def serialised(el: int) -> bytes:
    out = lib.korvith_element_serialize(el, None)
    assert out
    try:
        return ctypes.string_at(out)
    finally:
        lib.korvith_free_string(out)


def engine_stream(data: bytes, tags: set[str] | None, mode: str,
                  events: int = 0) -> tuple[list[bytes], bytes | None, tuple[int, str, int, int]]:
    """Runs the engine iterator over `data`; returns the elements that match
    `tags` (serialised when handed out), the root's serialisation at the
    end and the iterator's error. `events` 0 reads next(), else the events
    of that mask (elements at their end events). Releases by `mode` (see
    release_oracle.RELEASE_MODES): "now" and the element of "parent-first"
    take the shortcut, "late" and the parent of "parent-first" the search."""
    h, status = _engine.iterparse_open_buffer(data, 0)
    assert h and status == 0
    try:
        if events:
            assert lib.korvith_iterparse_set_events(h, events) == 0
        seen: list[bytes] = []
        pending = None
        kind = ctypes.c_int(0)
        while True:
            if events:
                el = lib.korvith_iterparse_next_event(h, ctypes.byref(kind))
                if kind.value == 0:
                    break
                if kind.value != EV_END:
                    continue
            else:
                el = lib.korvith_iterparse_next(h)
                if not el:
                    break
            matches = tag_matches(clark(el), tags)
            if matches:
                seen.append(serialised(el))
            parent = lib.korvith_element_parent(el)
            if mode == "late" and pending:
                lib.korvith_iterparse_release(h, pending)
                pending = None
            if not matches or not parent:
                continue
            if mode == "now":
                lib.korvith_iterparse_release(h, el)
            elif mode == "parent-first":
                lib.korvith_iterparse_release(h, parent)
                lib.korvith_iterparse_release(h, el)
            elif mode == "late":
                pending = el
        if pending:
            lib.korvith_iterparse_release(h, pending)
        error = _engine.iterparse_error(h)
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        return seen, serialised(root) if root else None, error
    finally:
        lib.korvith_iterparse_free(h)


TAG_FILTERS = [None, {"item"}, {"{*}item"}, {"b", "c"}]


@pytest.mark.parametrize("events", [0, EV_END, EV_ALL], ids=["next", "end-events", "all-events"])
@pytest.mark.parametrize("seed", range(8))
def test_release_matches_the_lxml_oracle(seed: int, events: int) -> None:
    etree = pytest.importorskip("lxml.etree")
    # Sizes from a few hundred bytes to several 64 KiB chunks, so that the
    # queues hold anything from one element to thousands.
    size = [300, 2_000, 9_000, 30_000, 150_000, 400, 6_000, 130_000][seed]
    data = generated_document(seed, size, entities=seed % 2 == 1)
    for tags in TAG_FILTERS:
        for mode in RELEASE_MODES:
            seen, remaining, error = engine_stream(data, tags, mode, events)
            want_seen, want_remaining = lxml_stream(etree, data, tags, mode, events)
            assert error == (0, "", 0, 0)
            got, want = comparable(etree, seen, want_seen)
            assert got == want, (tags, mode)
            assert remaining == want_remaining, (tags, mode)


@pytest.mark.parametrize("seed", range(6))
def test_release_keeps_errors_and_the_elements_before_them(seed: int) -> None:
    etree = pytest.importorskip("lxml.etree")
    rng = random.Random(1000 + seed)
    good = generated_document(100 + seed, [3_000, 80_000, 20_000][seed % 3], entities=seed % 2 == 0)
    body = good.index(b"<r>") + 3
    cut = rng.randrange(body, len(good) - 10)
    # A control character is an error wherever it stands; a cut input ends
    # inside the document.
    bad = good[:cut] + b"\x01" + good[cut + 1:] if seed < 3 else good[:cut]
    with pytest.raises(etree.XMLSyntaxError):
        etree.fromstring(bad)
    for events in (0, EV_ALL):
        for tags in TAG_FILTERS:
            outcomes = {}
            for mode in RELEASE_MODES:
                seen, _, error = engine_stream(bad, tags, mode, events)
                want_seen, _ = lxml_stream(etree, good, tags, mode, events)
                # The elements completed before the error, as they are in
                # the whole document.
                got, want = comparable(etree, seen, want_seen[:len(seen)])
                assert got == want, (tags, mode, events)
                outcomes[mode] = (len(seen), error)
            assert len(set(outcomes.values())) == 1, outcomes
            assert outcomes["now"][1][0] != 0


def test_release_keeps_an_element_whose_end_ns_events_are_queued() -> None:
    data = b'<r><a xmlns:p="urn:p"><p:b/></a><c/>t</r>'
    with stream(data) as h:
        assert lib.korvith_iterparse_set_events(h, EV_END | EV_END_NS) == 0
        kind = ctypes.c_int(0)
        got = []
        while True:
            el = lib.korvith_iterparse_next_event(h, ctypes.byref(kind))
            if kind.value == 0:
                break
            got.append((kind.value, s(lib.korvith_element_name(el))))
            if kind.value == EV_END and s(lib.korvith_element_name(el)) != "r":
                lib.korvith_iterparse_release(h, el)
        assert got == [(EV_END, "b"), (EV_END, "a"), (EV_END_NS, "a"), (EV_END, "c"),
                       (EV_END, "r")]
        # a stayed at its end event (its end-ns event was queued), then went
        # as a preceding sibling of c.
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        assert serialised(root) == b"<r>t</r>"


def test_release_after_a_structural_edit_searches_the_queues() -> None:
    # An edit that moves a queued element into the one handed out last:
    # release must find it there and keep the element (the package refuses
    # such edits on streamed documents; the engine stays safe anyway).
    with stream(b"<r><a/><b/></r>") as h:
        a = lib.korvith_iterparse_next(h)
        b = lib.korvith_element_next_sibling_any(a)
        assert s(lib.korvith_element_name(b)) == "b"
        assert _engine.ext.edit_attach(b, a, 0) == 0  # append b to a
        lib.korvith_iterparse_release(h, a)  # b is still queued: kept
        assert s(lib.korvith_element_name(lib.korvith_iterparse_next(h))) == "b"
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        assert serialised(root) == b"<r><a><b/></a></r>"
        lib.korvith_iterparse_release(h, a)  # b handed out now: both go
        assert serialised(root) == b"<r/>"


def test_release_after_switching_to_events_searches_the_queues() -> None:
    # Events asked for mid-stream: elements parsed before wait in the plain
    # queue, so an element handed out at its end event can still have
    # descendants there; release must keep it.
    count = 20_000  # several 64 KiB chunks of <i/>
    data = b"<r><big>" + b"<i/>" * count + b"</big></r>"
    with stream(data) as h:
        first = lib.korvith_iterparse_next(h)
        assert s(lib.korvith_element_name(first)) == "i"
        assert lib.korvith_iterparse_set_events(h, EV_END) == 0
        kind = ctypes.c_int(0)
        while True:
            el = lib.korvith_iterparse_next_event(h, ctypes.byref(kind))
            assert kind.value == EV_END
            if s(lib.korvith_element_name(el)) == "big":
                break
        lib.korvith_iterparse_release(h, el)  # <i/> still queued inside: kept
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        assert lib.korvith_element_child_count(root) == 1
        assert lib.korvith_element_child_count(el) == count
        left = 0
        while lib.korvith_iterparse_next(h):  # the <i/> queued before the switch
            left += 1
        assert 0 < left < count


# ---------------------------------------------------------------- filtered steps

FILTER_DOC = (b'<r xmlns:p="urn:p"><a/><p:a/><b xmlns="urn:d"><a/></b><!--c-->'
              b'<c><p:b/></c></r>')


def filtered(data: bytes, tags: list[str], release: bool = False) -> list[str]:
    h, status = _engine.iterparse_open_buffer(data, 0)
    assert h and status == 0
    try:
        packed = b"\0".join(t.encode() for t in tags)
        assert _engine.ext.iterparse_filter(h, packed, len(packed), int(release)) == 0
        out, previous = [], None
        while el := _engine.ext.iterparse_step(h, previous):
            out.append(clark(el))
            previous = el if release else None
        return out
    finally:
        lib.korvith_iterparse_free(h)


@pytest.mark.parametrize("tags", [
    [], ["*"], ["{*}*"], ["{}*"], ["a"], ["{}a"], ["{*}a"], ["{urn:p}*"], ["{urn:d}a"],
    ["{urn:p}b", "c"], ["a", "{urn:p}a", "{*}b"], ["missing"],
])
@pytest.mark.parametrize("release", [False, True])
def test_filter_matches_lxml(tags: list[str], release: bool) -> None:
    etree = pytest.importorskip("lxml.etree")
    import io
    want = [el.tag for _, el in etree.iterparse(io.BytesIO(FILTER_DOC), tag=tags or None)]
    assert filtered(FILTER_DOC, tags, release) == want


@pytest.mark.parametrize("tags", [b"", b"{a", b"{a}", b"a\0{b}", b"a\0\0b"])
def test_malformed_filters_are_refused(tags: bytes) -> None:
    with stream(b"<r><a/></r>") as h:
        if tags:
            assert _engine.ext.iterparse_filter(h, tags, len(tags), 0) == 1
        else:
            assert _engine.ext.iterparse_filter(h, None, 3, 0) == 1
        # The filter stays as it was (none): every element.
        assert [clark(el) for el in iter(lambda: _engine.ext.iterparse_step(h, None), None)] == [
            "a", "r"]


def test_step_events_skip_start_and_end_of_other_elements() -> None:
    with stream(FILTER_DOC) as h:
        assert lib.korvith_iterparse_set_events(h, EV_ALL) == 0
        assert _engine.ext.iterparse_filter(h, b"{*}a", 4, 0) == 0
        kind = ctypes.c_int(0)
        got = []
        while True:
            el = _engine.ext.iterparse_step_event(h, None, ctypes.byref(kind))
            if kind.value == 0:
                break
            text = s(lib.korvith_iterparse_event_text(h, 0)) or ""
            got.append((kind.value, clark(el) if kind.value in (1, 2) else text))
    assert got == [(4, "p"), (1, "a"), (2, "a"), (1, "{urn:p}a"), (2, "{urn:p}a"), (4, ""),
                   (1, "{urn:d}a"), (2, "{urn:d}a"), (8, ""), (0x10, "c"), (8, "p")]


RECORDS = (b"<r><rec>A<x>0</x><n>1</n></rec><rec><x>0</x>A<n>1</n>B<m>2</m></rec>"
           b"<rec><n>3</n></rec></r>")


def test_release_frees_the_ancestors_earlier_siblings() -> None:
    with stream(RECORDS) as h:
        got = [lib.korvith_iterparse_next(h) for _ in range(5)]
        assert [s(lib.korvith_element_name(el)) for el in got] == ["x", "n", "rec", "x", "n"]
        lib.korvith_iterparse_release(h, got[-1])
        # The first record went (before the second's parent), the second
        # keeps what follows the element.
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        assert serialised(root) == b"<r><rec>B<m>2</m></rec><rec><n>3</n></rec></r>"


@pytest.mark.parametrize(("tag", "steps", "remaining"), [
    # Each step releases the match before; elements passed over go too
    # unless a match encloses them (the n of each rec).
    (b"n", 3, b"<r><rec><n>3</n></rec></r>"),
    (b"n", 4, b"<r/>"),
    (b"rec", 3, b"<r><rec><n>3</n></rec></r>"),
    (b"missing", 1, b"<r/>"),
])
def test_filtered_step_frees_what_it_passes_over(tag: bytes, steps: int, remaining: bytes) -> None:
    with stream(RECORDS) as h:
        assert _engine.ext.iterparse_filter(h, tag, len(tag), 1) == 0
        el = None
        for _ in range(steps):
            el = _engine.ext.iterparse_step(h, el)
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        assert serialised(root) == remaining


def test_release_keeps_queued_elements_before_an_ancestor_after_a_switch() -> None:
    # Events asked for mid-stream: <i/> elements wait in the plain queue
    # inside <big>, a preceding sibling of <c>; releasing <d> inside <c>
    # must keep <big> and all of them.
    count = 20_000
    data = b"<r><big>" + b"<i/>" * count + b"</big><c><d/></c></r>"
    with stream(data) as h:
        assert s(lib.korvith_element_name(lib.korvith_iterparse_next(h))) == "i"
        assert lib.korvith_iterparse_set_events(h, EV_END) == 0
        kind = ctypes.c_int(0)
        while True:
            el = lib.korvith_iterparse_next_event(h, ctypes.byref(kind))
            assert kind.value == EV_END
            if s(lib.korvith_element_name(el)) == "d":
                break
        lib.korvith_iterparse_release(h, el)
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        assert lib.korvith_element_child_count(root) == 2  # big and c
        names = set()
        while queued := lib.korvith_iterparse_next(h):
            names.add(s(lib.korvith_element_name(queued)))
        assert names == {"i"}


def test_release_after_an_edit_keeps_a_queued_element_moved_before_an_ancestor() -> None:
    with stream(b"<r><a/><p><b/></p><q/></r>") as h:
        a = lib.korvith_iterparse_next(h)
        b = lib.korvith_iterparse_next(h)
        assert (s(lib.korvith_element_name(a)), s(lib.korvith_element_name(b))) == ("a", "b")
        p = lib.korvith_element_parent(b)
        q = lib.korvith_element_next_sibling_any(p)
        assert _engine.ext.edit_attach(q, a, 0) == 0  # queued q now inside a, before p
        lib.korvith_iterparse_release(h, b)  # would free a with q: kept
        root = lib.korvith_document_root(lib.korvith_iterparse_document(h))
        assert serialised(root) == b"<r><a><q/></a><p><b/></p></r>"
        assert names_of(h) == ["p", "q", "r"]
