"""Parses on one thread share the engine's parser context: every parse must
come out as if it had a context of its own, whatever the parses before it
did (options, failures, stops, forced encodings), on every entry point;
nested parses and documents that move between threads stay correct."""

from __future__ import annotations

import ctypes
import io
import os
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import korvith
from korvith import _korvithaccel as accel

from conftest import ParseOptions, last_error, lib, run_in_threads

XML_NS = "{http://www.w3.org/XML/1998/namespace}"


def out(doc: korvith.Document) -> bytes:
    return korvith.tostring(doc.root)


def errors(doc: korvith.Document) -> list[tuple[str, int, int]]:
    return [(e.message, e.line, e.column) for e in doc.errors]


# Each step: input, keyword options, and the expected outcome: the root
# serialised and the kept errors, or the ParseError (message, line,
# column, status).
Outcome = tuple[bytes, list[tuple[str, int, int]]] | tuple[str, int, int, int]

MISMATCH = "Opening and ending tag mismatch: a line 1 and r"
DTD_ENTITY = b'<!DOCTYPE r [<!ENTITY e "v">]><r>&e;</r>'
DTD_DEFAULT = b'<!DOCTYPE r [<!ATTLIST r d CDATA "dv">]><r/>'
DEEP = b"<a>" * 300 + b"</a>" * 300

STEPS: list[tuple[str, bytes, dict[str, Any], Outcome]] = [
    ("plain", b'<r><a x="1">t</a></r>', {}, (b'<r><a x="1">t</a></r>', [])),
    ("namespaces", b'<r xmlns="u" xml:lang="en"><p:a xmlns:p="v" xml:space="keep"/></r>', {},
     (b'<r xmlns="u" xml:lang="en"><p:a xmlns:p="v" xml:space="keep"/></r>', [])),
    ("strict_error", b"<r><a></r>", {}, (MISMATCH, 1, 11, 76)),
    ("recover", b"<r><a></r>", {"recover": True}, (b"<r><a/></r>", [(MISMATCH, 1, 11)])),
    ("max_depth", b"<a><b><c/></b></a>", {"max_depth": 2},
     ("Document nested deeper than the max_depth option allows (2)", 1, 9, 114)),
    ("no_max_depth", b"<a><b><c/></b></a>", {}, (b"<a><b><c/></b></a>", [])),
    ("huge", DEEP, {"huge": True}, (b"<a>" * 299 + b"<a/>" + b"</a>" * 299, [])),
    ("keep_entities", DTD_ENTITY, {"keep_entities": True}, (b"<r>&e;</r>", [])),
    ("entities", DTD_ENTITY, {}, (b"<r>v</r>", [])),
    ("defaults", DTD_DEFAULT, {}, (b'<r d="dv"/>', [])),
    ("no_defaults", DTD_DEFAULT, {"attribute_defaults": False}, (b"<r/>", [])),
    ("blanks", b"<r> <a/> </r>", {}, (b"<r> <a/> </r>", [])),
    ("no_blanks", b"<r> <a/> </r>", {"remove_blank_text": True}, (b"<r><a/></r>", [])),
    ("cdata", b"<r><![CDATA[x<]]></r>", {}, (b"<r><![CDATA[x<]]></r>", [])),
    ("no_cdata", b"<r><![CDATA[x<]]></r>", {"no_cdata": True}, (b"<r>x&lt;</r>", [])),
    ("no_comments_pis", b"<r>a<!--c-->b<?p d?>c</r>",
     {"remove_comments": True, "remove_pis": True}, (b"<r>abc</r>", [])),
    ("comments_pis", b"<r>a<!--c-->b<?p d?>c</r>", {}, (b"<r>a<!--c-->b<?p d?>c</r>", [])),
    ("latin1_forced", b"<r>\xe9</r>", {"encoding": "latin-1"}, ("<r>\xe9</r>".encode(), [])),
    ("latin1_unforced", b"<r>\xe9</r>", {}, ("Invalid bytes in character encoding", 1, 4, 81)),
    ("utf8", "<r>\xe9</r>".encode(), {}, ("<r>\xe9</r>".encode(), [])),
    ("stopped_early", b"<r>" + b"<a>x</a>" * 2000 + b"<b></r>" + b"<c/>" * 2000, {},
     ("Opening and ending tag mismatch: b line 1 and r", 1, 16011, 76)),
]
STEPS_BY_NAME = {s[0]: s for s in STEPS}
ORDERS = {
    "forward": [s[0] for s in STEPS],
    "backward": [s[0] for s in reversed(STEPS)],
    # Every step right after a failing or option-heavy one.
    "after_failures": [n for s in STEPS
                       for n in ("strict_error", "huge", "max_depth", "recover", "latin1_forced",
                                 "keep_entities", "no_blanks", "no_cdata", "no_comments_pis",
                                 "no_defaults", "stopped_early", s[0])],
}


def parse_via(entry: str, tmp_path: Path, data: bytes, kw: dict[str, Any]) -> korvith.Document:
    if entry == "memory":
        return korvith.parse(data, **kw)
    if entry == "stream":
        return korvith.parse(io.BytesIO(data), **kw)
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    return korvith.parse_file(path, **kw)


def check_step(entry: str, tmp_path: Path, name: str) -> None:
    _, data, kw, expected = STEPS_BY_NAME[name]
    if isinstance(expected[0], bytes):
        with parse_via(entry, tmp_path, data, kw) as doc:
            assert (out(doc), errors(doc)) == expected, name
        return
    with pytest.raises(korvith.ParseError) as caught:
        parse_via(entry, tmp_path, data, kw)
    err = caught.value
    assert (err.message, err.line, err.column, err.status) == expected, name


@pytest.mark.parametrize("order", sorted(ORDERS))
@pytest.mark.parametrize("entry", ["memory", "stream", "file"])
def test_each_parse_is_independent_of_the_previous(entry: str, order: str,
                                                   tmp_path: Path) -> None:
    for name in ORDERS[order]:
        check_step(entry, tmp_path, name)


@pytest.mark.parametrize("first", ["strict_error", "max_depth", "latin1_unforced",
                                   "stopped_early", "huge"])
def test_failure_status_and_error_record_do_not_reach_the_next_parse(first: str) -> None:
    _, data, kw, _ = STEPS_BY_NAME[first]
    try:
        korvith.parse(data, **kw).close()
    except korvith.ParseError:
        pass
    status = ctypes.c_int(-1)
    doc = lib.korvith_parse_string_fn(b"<ok/>", 5, ctypes.byref(status))
    try:
        assert doc and status.value == 0
        assert last_error() == (0, "", 0, 0)
    finally:
        lib.korvith_document_free(doc)


class _DocStruct(ctypes.Structure):
    # The leading fields of libxml2's xmlDoc, up to its dictionary.
    _fields_ = [("private", ctypes.c_void_p), ("type", ctypes.c_int),
                ("name", ctypes.c_void_p), ("children", ctypes.c_void_p),
                ("last", ctypes.c_void_p), ("parent", ctypes.c_void_p),
                ("next", ctypes.c_void_p), ("prev", ctypes.c_void_p),
                ("doc", ctypes.c_void_p), ("compression", ctypes.c_int),
                ("standalone", ctypes.c_int), ("int_subset", ctypes.c_void_p),
                ("ext_subset", ctypes.c_void_p), ("old_ns", ctypes.c_void_p),
                ("version", ctypes.c_void_p), ("encoding", ctypes.c_void_p),
                ("ids", ctypes.c_void_p), ("refs", ctypes.c_void_p),
                ("url", ctypes.c_void_p), ("charset", ctypes.c_int),
                ("dict", ctypes.c_void_p)]


@pytest.mark.parametrize("opts", [None, (0, -1, 0, 1)])
def test_every_document_has_a_dictionary_of_its_own(opts: tuple[int, ...] | None) -> None:
    made = []
    try:
        for _ in range(4):
            status = ctypes.c_int(-1)
            data = b'<r xmlns:p="u"><p:a b="c"/></r>'
            rec = ctypes.byref(ParseOptions(*opts)) if opts else None
            doc = lib.korvith_parse_string_ex(data, len(data), rec, ctypes.byref(status))
            assert doc and status.value == 0
            made.append(doc)
        dicts = [_DocStruct.from_address(doc).dict for doc in made]
        assert all(dicts) and len(set(dicts)) == len(made)
    finally:
        for doc in made:
            lib.korvith_document_free(doc)


class _ParsingReader(io.RawIOBase):
    """A file object whose first read parses other documents (through
    `inner`) before handing out its own content."""

    def __init__(self, data: bytes, inner: Callable[[], Any]) -> None:
        self.data = io.BytesIO(data)
        self.inner = inner
        self.inner_results: list[Any] = []

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        if not self.inner_results:
            self.inner_results.append(self.inner())
        return self.data.read(size)


def _inner_small() -> Any:
    with korvith.parse(b'<inner xmlns="i"><x k="1"/></inner>') as doc:
        return out(doc)


def _inner_options() -> Any:
    with korvith.parse(b"<inner> <x/> </inner>", remove_blank_text=True, max_depth=5) as doc:
        return out(doc)


def _inner_failure() -> Any:
    with pytest.raises(korvith.ParseError) as caught:
        korvith.parse(b"<inner><x></inner>")
    return caught.value.message


def _inner_stream() -> Any:
    reader = _ParsingReader(b"<middle><m/></middle>", _inner_small)
    with korvith.parse(reader) as doc:
        return out(doc), reader.inner_results


@pytest.mark.parametrize(("inner", "inner_result"), [
    (_inner_small, b'<inner xmlns="i"><x k="1"/></inner>'),
    (_inner_options, b"<inner><x/></inner>"),
    (_inner_failure, "Opening and ending tag mismatch: x line 1 and inner"),
    (_inner_stream, (b"<middle><m/></middle>", [b'<inner xmlns="i"><x k="1"/></inner>'])),
])
@pytest.mark.parametrize("outer_kw", [{}, {"recover": True}, {"keep_entities": True}])
def test_a_parse_inside_a_reader_callback(inner: Callable[[], Any], inner_result: Any,
                                          outer_kw: dict[str, Any]) -> None:
    outer = b'<!DOCTYPE o [<!ENTITY e "v">]><outer xml:lang="en">&e;<y/></outer>'
    reader = _ParsingReader(outer, inner)
    with korvith.parse(reader, **outer_kw) as doc:
        text = b"&e;" if outer_kw.get("keep_entities") else b"v"
        assert out(doc) == b'<outer xml:lang="en">' + text + b"<y/></outer>"
        assert doc.root.get(XML_NS + "lang") == "en"
        assert errors(doc) == []
    assert reader.inner_results == [inner_result]
    # The thread's own context is still in order afterwards.
    check_step("memory", Path("."), "recover")
    check_step("memory", Path("."), "namespaces")


def test_an_outer_failure_after_a_nested_parse_keeps_its_own_error() -> None:
    reader = _ParsingReader(b"<outer><a></outer>", _inner_small)
    with pytest.raises(korvith.ParseError) as caught:
        korvith.parse(reader)
    assert caught.value.message == "Opening and ending tag mismatch: a line 1 and outer"
    assert reader.inner_results == [b'<inner xmlns="i"><x k="1"/></inner>']


def _doc_bytes(i: int) -> bytes:
    return (f'<r xmlns="u{i}" xmlns:p="p{i}" xml:lang="l{i}">'
            f'<p:item n{i}="{i}">t{i}</p:item></r>').encode()


def test_documents_parsed_on_one_thread_are_edited_and_freed_on_another() -> None:
    count = 150
    handoff: list[korvith.Document] = []
    ready = threading.Condition()
    results: dict[int, bytes] = {}

    def producer() -> None:
        for i in range(count):
            doc = korvith.parse(_doc_bytes(i))
            with ready:
                handoff.append(doc)
                ready.notify()
            # Keep the producer's context busy with other parses meanwhile.
            korvith.parse(b"<o><z/></o>", remove_blank_text=True).close()

    def consumer() -> None:
        for i in range(count):
            with ready:
                ready.wait_for(lambda: handoff)
                doc = handoff.pop(0)
            root = doc.root
            # New names go into the document's dictionary on this thread.
            korvith.SubElement(root, f"{{u{i}}}added{i}", {f"k{i}": "v"})
            root.set(f"fresh{i}", str(i))
            results[i] = out(doc)
            doc.close()

    assert run_in_threads([producer, consumer]) == []
    for i in range(count):
        assert results[i] == (
            f'<r xmlns="u{i}" xmlns:p="p{i}" xml:lang="l{i}" fresh{i}="{i}">'
            f'<p:item n{i}="{i}">t{i}</p:item><added{i} k{i}="v"/></r>').encode()


def test_many_threads_parse_at_once() -> None:
    names = [s[0] for s in STEPS if s[0] not in ("huge", "stopped_early")]
    mismatches: list[tuple[int, str]] = []

    def work(t: int) -> Callable[[], None]:
        def run() -> None:
            for round_ in range(6):
                for k in range(len(names)):
                    name = names[(k + t + round_) % len(names)]
                    try:
                        check_step("memory", Path("."), name)
                    except AssertionError:
                        mismatches.append((t, name))
                address, registry, status = accel.parse(_doc_bytes(t), False)
                assert status == 0
                accel.close_document(address)
        return run

    assert run_in_threads([work(t) for t in range(6)]) == []
    assert mismatches == []


@pytest.mark.parametrize("size", [300_000, 2_000_000])
def test_a_big_input_then_small_ones(size: int) -> None:
    big = b"<r>" + b"<a>x</a>" * (size // 8) + b"</r>"
    with korvith.parse(big) as doc:
        assert len(doc.root) == size // 8
    with korvith.parse(io.BytesIO(big), remove_blank_text=True) as doc:
        assert len(doc.root) == size // 8
    for name in ("plain", "strict_error", "recover", "namespaces"):
        check_step("memory", Path("."), name)


# Documents that declare UTF-8 in the plainest form are read without a
# converter; every outcome must match the same document declared in a
# spelling that takes the converter (same length, so same positions).
UTF8_BODIES = [
    (b"<r>\xc3\xa9\xf0\x9f\x98\x80</r>", (0, "<r>\xe9\U0001F600</r>".encode())),
    (b"<r>\xe9</r>", (81, "Invalid bytes in character encoding")),
    (b"<r>" + b"y" * 5000 + b"\xff</r>", (81, "Invalid bytes in character encoding")),
    (b"<r>\xed\xa0\x80</r>", (81, "Invalid bytes in character encoding")),
    (b"<r>\xef\xbf\xbe</r>", (9, "PCDATA invalid Char value 65534")),
    (b"<r>\x01</r>", (9, "PCDATA invalid Char value 1")),
    (b"<r>ab\xc3", (9, "Incomplete UTF-8 sequence starting with C3")),
    (b'<r a="\xc3">t</r>', (81, "Invalid bytes in character encoding")),
]


def _outcome(data: bytes, recover: bool) -> tuple[Any, ...]:
    try:
        with korvith.parse(data, recover=recover, remove_blank_text=False) as doc:
            return out(doc), errors(doc)
    except korvith.ParseError as err:
        return err.message, err.line, err.column, err.status


@pytest.mark.parametrize("quote", ['"', "'"])
@pytest.mark.parametrize(("body", "expected"), UTF8_BODIES)
def test_a_plain_utf8_declaration_reads_as_any_other(quote: str, body: bytes,
                                                     expected: tuple[int, Any]) -> None:
    plain = f"<?xml version={quote}1.0{quote} encoding={quote}UTF-8{quote}?>".encode()
    other = plain.replace(b"UTF-8", b"utf-8")
    for recover in (False, True):
        got = _outcome(plain + body, recover)
        assert got == _outcome(other + body, recover)
    status, detail = expected
    strict = _outcome(plain + body, False)
    if status == 0:
        assert strict == (detail, [])
    else:
        assert (strict[0], strict[3]) == (detail, status)


# Small borrowed input is parsed from a zero-terminated copy (on the stack
# up to 4 KiB, on the heap up to 64 KiB), and small files are read whole;
# larger input is read in place, larger files in chunks: the outcome is the
# same on every side of both bounds.
@pytest.mark.parametrize("size", [1, 4095, 4096, 4097, 65536, 65537, 70000])
@pytest.mark.parametrize("tail", [b"", b"\xff", b"\x00", b"<"])
@pytest.mark.parametrize("entry", ["fromstring", "parse_inplace", "engine", "file"])
def test_outcome_is_the_same_on_both_sides_of_the_copy_bounds(size: int, tail: bytes,
                                                             entry: str, tmp_path: Path) -> None:
    data = (b"<r>" + b"x" * max(size - 7 - len(tail), 0) + tail + b"</r>")[:size]
    if entry == "file":
        path = tmp_path / "f.xml"
        path.write_bytes(data)
        try:
            with korvith.parse_file(path) as doc:
                got: tuple[Any, ...] = (True, 0, "", 0, len(doc.root.text or ""))
        except korvith.ParseError as err:
            assert err.filename == str(path)
            got = (False, err.status, err.message, err.line, err.column)
    elif entry == "engine":
        status = ctypes.c_int(-1)
        doc = lib.korvith_parse_string_inplace_fn(ctypes.create_string_buffer(data, len(data)),
                                                  len(data), ctypes.byref(status))
        code, message, line, column = last_error()
        lib.korvith_document_free(doc)
        got = (bool(doc), status.value, message, line, column)
    else:
        try:
            root = (korvith.fromstring(data) if entry == "fromstring"
                    else korvith.parse_inplace(bytearray(data)).root)
            got = (True, 0, "", 0, len(root.text or ""))
        except korvith.ParseError as err:
            got = (False, err.status, err.message, err.line, err.column)
    if size == 1:
        expected = (False, 68, "StartTag: invalid element name", 1, 2)
    elif tail == b"":
        expected = (True, 0, "", 0, size - 7) if entry != "engine" else (True, 0, "", 0, 0)
    elif tail == b"\xff":
        expected = (False, 81, "Invalid bytes in character encoding", 1, size - 4)
    elif tail == b"\x00":
        expected = (False, 9, "Invalid character: Char 0x0 out of allowed range", 1, size - 4)
    else:
        expected = (False, 68, "StartTag: invalid element name", 1, size - 3)
    assert got == expected


@pytest.mark.parametrize("size", [10, 5000, 70000])
def test_a_pipe_is_still_read_as_a_stream(size: int, tmp_path: Path) -> None:
    fifo = tmp_path / "pipe.xml"
    os.mkfifo(fifo)
    data = b"<r>" + b"y" * size + b"</r>"

    def feed() -> None:
        with open(fifo, "wb") as sink:
            sink.write(data)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        with korvith.parse_file(fifo) as doc:
            assert doc.root.text == "y" * size
            assert doc.filename == str(fifo)
    finally:
        writer.join()


@pytest.mark.parametrize(("data", "expected"), [
    (b"", (4, "Document is empty")),
    (b"<r/>", None),
    (b'<?xml version="1.0" encoding="UTF-8"?><r>\xc3\xa9</r>', None),
    (b'<?xml version="1.0" encoding="ISO-8859-1"?><r>\xe9</r>', None),
    (b"\xef\xbb\xbf<r>\xc3\xa9</r>", None),
])
def test_small_files_read_whole_keep_their_name_and_encoding(data: bytes, expected: Any,
                                                             tmp_path: Path) -> None:
    path = tmp_path / "small.xml"
    path.write_bytes(data)
    if expected is not None:
        with pytest.raises(korvith.ParseError) as caught:
            korvith.parse_file(path)
        assert (caught.value.status, caught.value.message) == expected
        return
    with korvith.parse_file(path) as doc:
        assert doc.filename == str(path)
        assert doc.root.text == ("\xe9" if b"\xe9" in data or b"\xc3" in data else None)
