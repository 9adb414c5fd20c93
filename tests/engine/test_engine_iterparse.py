"""Incremental parsing with the push parser: order, streaming, release, errors."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

import pytest

from conftest import NOBLANKS, accel, lib, s
import korvith
from korvith import _engine
from memory_probe import run_probe


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


def peak_growth(path: str, count: int, release: bool) -> tuple[int, int]:
    script = r"""
import sys
from korvith import _engine

lib = _engine.lib
path, count, release = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
# Streamed from a file, so no copy of the input raises the baseline.
h, _ = _engine.iterparse_open_file(path)
before = peak_kib()
n = 0
while True:
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
    out = run_probe(script, path, str(count), str(int(release)))
    return int(out[0]), int(out[1])


def test_memory_stays_flat_when_releasing(tmp_path) -> None:
    count = 300_000
    item = b"<item id='1'><name>some name</name><qty>5</qty></item>"
    path = tmp_path / "stream.xml"
    path.write_bytes(b"<root>" + item * count + b"</root>")
    n_kept, kept = peak_growth(str(path), count, release=False)
    n_released, released = peak_growth(str(path), count, release=True)
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
