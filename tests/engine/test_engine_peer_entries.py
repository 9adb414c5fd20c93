"""Engine entry points for every XPath node, kept parse errors, iterparse
events and pushed input, driven directly through ctypes."""

from __future__ import annotations

import ctypes

import pytest
from conftest import lib

INT_P = ctypes.POINTER(ctypes.c_int)
START, END, START_NS, END_NS, COMMENT, PI = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20


def _snapshot(docs, xml: bytes, expr: bytes) -> int:
    doc, status = docs.parse_ex(xml)
    assert doc and status == 0
    compiled = lib.korvith_xpath_compile(expr)
    try:
        snap = lib.korvith_xpath_snapshot_eval(compiled, doc, None, None, None)
    finally:
        lib.korvith_xpath_compiled_free(compiled)
    assert snap
    return snap


def test_snapshot_holds_every_node_in_document_order(docs) -> None:
    snap = _snapshot(docs, b'<r xmlns:p="u" a="1">t<!--c--><?pi d?><e/></r>',
                     b"/r/@a | /r/node() | /r/namespace::p")
    try:
        n = lib.korvith_snapshot_count(snap)
        kinds, elements = (ctypes.c_int * n)(), (ctypes.c_void_p * n)()
        assert lib.korvith_snapshot_layout(snap, kinds, elements, n) == n
        assert lib.korvith_snapshot_type(snap) == 0
        assert sorted(kinds[:]) == [0, 1, 2, 4, 5, 9]
        assert [e is not None for e in elements[:]] == [k == 0 for k in kinds[:]]
        size = lib.korvith_snapshot_pack(snap, None, 0)
        buf = ctypes.create_string_buffer(size)
        assert lib.korvith_snapshot_pack(snap, buf, size) == size
        pairs = buf.raw[:size].split(b"\0")[:-1]
        got = {(pairs[i], pairs[i + 1]) for i in range(0, len(pairs), 2)}
        assert got == {(b"u", b"p"), (b"1", b"a"), (b"t", b""), (b"c", b""), (b"d", b"pi")}
        assert lib.korvith_snapshot_value(snap, n) is None  # out of range
    finally:
        lib.korvith_snapshot_free(snap)


@pytest.mark.parametrize("expr, kind, check", [
    (b"count(//e)", 2, lambda s: lib.korvith_snapshot_number(s) == 1.0),
    (b"1 = 1", 1, lambda s: lib.korvith_snapshot_boolean(s) == 1),
    (b"string(/r)", 3, lambda s: lib.korvith_snapshot_string(s) == b"t"),
])
def test_snapshot_scalars(docs, expr, kind, check) -> None:
    snap = _snapshot(docs, b"<r>t<e/></r>", expr)
    try:
        assert lib.korvith_snapshot_type(snap) == kind and check(snap)
        assert lib.korvith_snapshot_count(snap) == 0
    finally:
        lib.korvith_snapshot_free(snap)


def test_kept_errors_of_a_recovered_parse(docs) -> None:
    doc, status = docs.parse_ex(b"<a><b></a><c x=1/></a>", recover=1)
    assert doc and status != 0
    count = lib.korvith_document_issue_count(doc)
    assert count >= 2
    buf, line, col = ctypes.create_string_buffer(256), ctypes.c_int(), ctypes.c_int()
    codes = [lib.korvith_document_issue(doc, i, buf, 256, ctypes.byref(line),
                                        ctypes.byref(col)) for i in range(count)]
    assert codes[0] == status and all(codes)
    assert lib.korvith_document_issue(doc, count, buf, 256, ctypes.byref(line),
                                      ctypes.byref(col)) == 0
    assert (buf.value, line.value, col.value) == (b"", 0, 0)
    clean, _ = docs.parse_ex(b"<a/>")
    assert lib.korvith_document_issue_count(clean) == 0


def _events(it: int) -> list[tuple[int, bytes, bytes]]:
    out, kind = [], ctypes.c_int()
    while True:
        lib.korvith_iterparse_next_event(it, ctypes.byref(kind))
        if kind.value == 0:
            return out
        out.append((kind.value, lib.korvith_iterparse_event_text(it, 0),
                    lib.korvith_iterparse_event_text(it, 1)))


def test_pushed_input_and_events() -> None:
    status = ctypes.c_int()
    it = lib.korvith_iterparse_open_push(0, ctypes.byref(status))
    try:
        assert lib.korvith_iterparse_set_events(it, 0x40) == 1  # unknown bit
        assert lib.korvith_iterparse_set_events(it, 0x3F) == 0
        assert lib.korvith_iterparse_wants_input(it) == 1
        assert _events(it) == []
        data = b'<r xmlns:p="u"><!--c--><?t d?><p:a/></r>'
        for i in range(0, len(data), 7):
            assert lib.korvith_iterparse_push(it, data[i:i + 7], len(data[i:i + 7]), 0) == 0
        assert lib.korvith_iterparse_push(it, b"", 0, 1) == 0
        assert lib.korvith_iterparse_push(it, b"<x/>", 4, 0) == 1  # after the end
        assert [e[0] for e in _events(it)] == [START_NS, START, COMMENT, PI, START, END, END,
                                               END_NS]
        assert lib.korvith_iterparse_wants_input(it) == 0
    finally:
        lib.korvith_iterparse_free(it)


def test_sax_push_refuses_after_the_end() -> None:
    from korvith._engine import ext
    step = ext.sax_step
    rec = lib.korvith_sax_open_push(0, 1024)
    try:
        assert lib.korvith_sax_wants_input(rec) == 1
        assert lib.korvith_sax_push(rec, b"<r/>", 4, 1) == 0
        assert lib.korvith_sax_wants_input(rec) == 0
        assert lib.korvith_sax_push(rec, b"<r/>", 4, 1) == 1
        assert step(rec) == 0
    finally:
        lib.korvith_sax_free(rec)
