"""The lifetime of a Document (released exactly once, whoever asks first),
the one-call parse paths against the general ones and lxml, and freeing big
documents without holding the interpreter."""

from __future__ import annotations

import gc
import io
import os
import pathlib
import sys
import threading
import weakref
from typing import Any

import pytest
from lxml import etree

import korvith
from korvith import _korvithaccel as accel
from korvith import _korvithedit as native
from korvith._engine import CLOSED_MESSAGE
from korvith.document import HELD_PARSE_LIMIT, Document

SMALL = b'<r a="1"><e i="0">zero</e><e i="1">one</e><!--c--><e i="2"/></r>'


def _big(count: int) -> bytes:
    return b"<r>" + b"".join(b'<e i="%d">t%d</e>' % (i, i) for i in range(count)) + b"</r>"


class Recorder:
    """A document's own release that records each call, then frees the
    engine document as the default release does."""

    def __init__(self) -> None:
        self.calls: list[tuple[int, Any]] = []

    def __call__(self, address: int, registry: Any, keepalive: Any) -> None:
        self.calls.append((address, keepalive))
        accel.invalidate(registry)
        accel.close_document(address)


def _recorded(keepalive: object = None) -> tuple[Document, Recorder, int]:
    address, registry, status = accel.parse(SMALL, False)
    assert status == 0 and address
    recorder = Recorder()
    doc = Document._adopt(address, registry, status, keepalive=keepalive, release=recorder)
    return doc, recorder, address


# ---------------------------------------------------------------- exactly once

def _close_twice(doc: Document) -> None:
    doc.close()
    doc.close()


def _with_then_close(doc: Document) -> None:
    with doc as same:
        assert same is doc
    doc.close()


def _close_then_collect(doc: Document) -> None:
    doc.close()
    del doc
    gc.collect()


def _exit_twice(doc: Document) -> None:
    doc.__exit__(None, None, None)
    doc.__exit__(ValueError, ValueError("x"), None)


@pytest.mark.parametrize("finish", [_close_twice, _with_then_close, _close_then_collect,
                                    _exit_twice])
def test_release_runs_once(finish: Any) -> None:
    keep = object()
    doc, recorder, address = _recorded(keep)
    finish(doc)
    assert recorder.calls == [(address, keep)]


def test_garbage_document_is_released_once() -> None:
    doc, recorder, address = _recorded()
    del doc
    assert recorder.calls == [(address, None)]
    gc.collect()
    assert len(recorder.calls) == 1


def test_document_in_a_cycle_is_released_by_the_collector() -> None:
    box: list[Any] = []
    doc, recorder, address = _recorded(box)
    box.append(doc)  # doc -> keepalive -> doc
    del doc, box
    assert recorder.calls == []
    gc.collect()
    assert len(recorder.calls) == 1
    released, keepalive = recorder.calls[0]
    assert released == address and type(keepalive) is list and len(keepalive) == 1


@pytest.mark.parametrize("threads", [2, 4])
def test_concurrent_close_releases_once(threads: int) -> None:
    for _ in range(20):
        doc, recorder, address = _recorded()
        barrier = threading.Barrier(threads)
        failures: list[BaseException] = []

        def close() -> None:
            barrier.wait()
            try:
                doc.close()
            except BaseException as exc:  # noqa: BLE001 - reported below
                failures.append(exc)

        workers = [threading.Thread(target=close) for _ in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        assert failures == []
        assert recorder.calls == [(address, None)]
        assert doc.closed


class _Closes:
    """Closes a document from its own finalizer."""

    def __init__(self, events: list[str]) -> None:
        self.events = events
        self.doc: Document | None = None

    def __del__(self) -> None:
        assert self.doc is not None
        self.doc.close()
        self.events.append("closer ran")


def test_close_from_a_finalizer_in_the_same_cycle() -> None:
    events: list[str] = []
    closer = _Closes(events)
    doc, recorder, address = _recorded(closer)
    closer.doc = doc  # doc -> keepalive closer -> doc
    del doc, closer
    gc.collect()
    assert events == ["closer ran"]
    assert recorder.calls[0][0] == address and len(recorder.calls) == 1


class _Witness:
    def __init__(self, events: list[str]) -> None:
        self.events = events

    def __del__(self) -> None:
        self.events.append("keepalive dropped")


def test_keepalive_outlives_the_engine_document() -> None:
    events: list[str] = []
    address, registry, _ = accel.parse(SMALL, False)

    def release(addr: int, reg: Any, keepalive: Any) -> None:
        accel.invalidate(reg)
        accel.close_document(addr)
        events.append("freed")

    doc = Document._adopt(address, registry, keepalive=_Witness(events), release=release)
    doc.close()
    assert events == ["freed", "keepalive dropped"]


def test_failing_release_is_reported_once_and_the_document_is_closed() -> None:
    address, registry, _ = accel.parse(SMALL, False)
    calls: list[int] = []

    def release(addr: int, reg: Any, keepalive: Any) -> None:
        calls.append(addr)
        accel.invalidate(reg)
        accel.close_document(addr)
        raise RuntimeError("release failed")

    doc = Document._adopt(address, registry, release=release)
    with pytest.raises(RuntimeError, match="release failed"):
        doc.close()
    doc.close()
    assert calls == [address] and doc.closed and doc._address == 0


# ---------------------------------------------------------------- state

def test_closed_document_state_and_repr() -> None:
    doc = korvith.parse(SMALL)
    address = doc._address
    assert address and not doc.closed
    assert repr(doc) == f"<korvith.Document at 0x{address:x}>"
    doc.close()
    assert doc.closed and doc._address == 0
    assert repr(doc) == "<korvith.Document closed>"
    with pytest.raises(korvith.KorvithError, match=CLOSED_MESSAGE):
        doc._check()
    with pytest.raises(korvith.KorvithError, match=CLOSED_MESSAGE):
        doc.root


@pytest.mark.parametrize("make", [
    lambda: Document(),
    lambda: Document(1234, accel.new_registry()),
    lambda: native.DocumentBase(),
    lambda: Document.__new__(Document),
])
def test_documents_are_not_made_directly(make: Any) -> None:
    with pytest.raises(TypeError, match="cannot be created directly"):
        make()


@pytest.mark.parametrize(("args", "kwargs", "error", "message"), [
    ((0, None), {}, ValueError, "address must not be 0"),
    (("1", None), {}, TypeError, "must be int"),
    ((1, None), {"release": 5}, TypeError, "release must be callable"),
])
def test_adopt_refuses_bad_arguments(args: Any, kwargs: Any, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        Document._adopt(*args, **kwargs)


def test_documents_support_weak_references() -> None:
    doc = korvith.parse(SMALL)
    ref = weakref.ref(doc)
    assert ref() is doc
    del doc
    assert ref() is None


def test_elements_keep_their_document_alive() -> None:
    root = korvith.fromstring(SMALL)
    owner = weakref.ref(korvith.Element.__dict__["_document"].__get__(root))
    gc.collect()
    assert owner() is not None and not owner().closed
    assert [e.get("i") for e in root] == ["0", "1", "2"]
    first = root[0]
    del root
    gc.collect()
    assert first.text == "zero"
    assert owner() is not None
    del first
    gc.collect()
    assert owner() is None


@pytest.mark.parametrize("use", [
    lambda e: e.tag,
    lambda e: e.text,
    lambda e: len(e),
    lambda e: e.get("i"),
    lambda e: dict(e.attrib),
    lambda e: e.find("e"),
    lambda e: e.findall("e"),
    lambda e: e.tobytes(),
    lambda e: e.xpath("."),
    lambda e: list(e.iter()),
    lambda e: e.getparent(),
])
@pytest.mark.parametrize("how", ["close", "with"])
def test_elements_of_a_closed_document_raise(use: Any, how: str) -> None:
    if how == "close":
        doc = korvith.parse(SMALL)
        el = doc.root[0]
        doc.close()
    else:
        with korvith.parse(SMALL) as doc:
            el = doc.root[0]
    with pytest.raises(korvith.KorvithError) as info:
        use(el)
    assert str(info.value) == CLOSED_MESSAGE


@pytest.mark.parametrize("source", ["parse", "parse_file", "fromstring"])
def test_every_root_wrapper_is_poisoned_by_close(tmp_path: pathlib.Path, source: str) -> None:
    if source == "parse":
        doc = korvith.parse(SMALL)
    elif source == "parse_file":
        (tmp_path / "a.xml").write_bytes(SMALL)
        doc = korvith.parse_file(tmp_path / "a.xml")
    else:
        doc = korvith.Element.__dict__["_document"].__get__(korvith.fromstring(SMALL))
    roots = [doc.root, doc.root, doc.getroot()]
    assert [r.tag for r in roots] == ["r", "r", "r"] and [r.get("a") for r in roots] == ["1"] * 3
    assert native.registered_in(roots[2], doc._accel_registry)
    doc.close()
    for r in roots:
        with pytest.raises(korvith.KorvithError, match=CLOSED_MESSAGE):
            r.get("a")


def test_subclass_result_documents_close_like_documents() -> None:
    style = korvith.XSLT(korvith.parse(
        b'<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">'
        b'<xsl:template match="/"><out><xsl:value-of select="count(//e)"/></out></xsl:template>'
        b'</xsl:stylesheet>'))
    result = style(korvith.parse(SMALL))
    root = result.root
    assert root.tag == "out" and root.text == "3"
    assert not result._free_releases_gil  # its size is not known
    with result:
        pass
    assert result.closed
    with pytest.raises(korvith.KorvithError, match=CLOSED_MESSAGE):
        root.text


# ---------------------------------------------------------------- fast paths

DOCUMENTS = [
    SMALL,
    b'<?xml version="1.0" encoding="ISO-8859-1"?><a>caf\xe9</a>',
    b"\xef\xbb\xbf<a>bom</a>",
    b'<a xmlns="urn:x" xmlns:p="urn:p"><p:b p:c="d">t</p:b>tail</a>',
    b"<!DOCTYPE a [<!ENTITY e 'ent'>]><a>&e;&lt;x&gt;</a>",
    "<a>\u00e9\u4e2d</a>".encode("utf-16"),
]


@pytest.mark.parametrize("data", DOCUMENTS)
def test_fast_fromstring_matches_the_general_path_and_lxml(data: bytes) -> None:
    fast = korvith.fromstring(data)
    general = korvith.fromstring(data, remove_comments=False)  # any option: the general path
    peer = etree.fromstring(data)
    assert fast.tag == general.tag == peer.tag
    assert fast.tobytes() == general.tobytes()
    assert fast.tobytes() == etree.tostring(peer, encoding="utf-8")
    doc = korvith.parse(data)
    assert doc.root.tobytes() == fast.tobytes() and doc.status == 0 and not doc.recovered
    assert doc.filename is None


def _parse_error(call: Any) -> tuple[Any, ...]:
    with pytest.raises(korvith.ParseError) as info:
        call()
    e = info.value
    return type(e), str(e), e.line, e.column, e.code, e.filename


BAD = [b"", b" ", b"<a>", b"<a></b>", b"<a>\x80</a>", b"<a/><b/>", b"text", b"<a x='1' x='2'/>",
       b'<?xml version="1.0" encoding="nope"?><a/>']


@pytest.mark.parametrize("data", BAD)
def test_fast_paths_fail_like_the_general_path(data: bytes) -> None:
    general = _parse_error(lambda: korvith.parse(memoryview(data)))
    assert _parse_error(lambda: korvith.fromstring(data)) == general
    assert _parse_error(lambda: korvith.parse(data)) == general
    with pytest.raises(etree.XMLSyntaxError):
        etree.fromstring(data)


def test_recover_on_the_fast_path() -> None:
    fast = korvith.parse(b"<a><b>x</a>", recover=True)
    general = korvith.parse(memoryview(b"<a><b>x</a>"), recover=True)
    assert fast.recovered and general.recovered
    assert fast.root.tobytes() == general.root.tobytes() == b"<a><b>x</b></a>"
    assert korvith.fromstring(b"<a><b>x</a>", recover=True).tobytes() == b"<a><b>x</b></a>"


def test_document_without_root_element() -> None:
    doc = korvith.parse(b"<!-- only -->", recover=True)
    with pytest.raises(korvith.KorvithError, match="document has no root element"):
        doc.root
    with pytest.raises(korvith.KorvithError, match="document has no root element"):
        korvith.fromstring(b"<!-- only -->", recover=True)


# ---------------------------------------------------------------- files

def _general_parse_file(path: Any) -> Document:
    return korvith.parse_file(path, remove_comments=False)  # an option: the general path


def _outcome(call: Any) -> tuple[Any, ...]:
    try:
        doc = call()
    except (OSError, ValueError, TypeError, korvith.ParseError) as exc:
        return (type(exc), str(exc), getattr(exc, "errno", None), getattr(exc, "filename", None))
    with doc:
        return ("ok", doc.root.tag, doc.filename, doc.status)


@pytest.fixture
def files(tmp_path: pathlib.Path) -> pathlib.Path:
    (tmp_path / "good.xml").write_bytes(SMALL)
    (tmp_path / "bad.xml").write_bytes(b"<a>\n<b></a>")
    (tmp_path / "empty.xml").write_bytes(b"")
    (tmp_path / "dir").mkdir()
    return tmp_path


class FsPath:
    def __init__(self, value: Any) -> None:
        self.value = value

    def __fspath__(self) -> Any:
        return self.value


PATHS = [
    lambda d: str(d / "good.xml"),
    lambda d: os.fsencode(d / "good.xml"),
    lambda d: d / "good.xml",
    lambda d: FsPath(str(d / "good.xml")),
    lambda d: FsPath(os.fsencode(d / "good.xml")),
    lambda d: str(d / "missing.xml"),
    lambda d: os.fsencode(d / "missing.xml"),
    lambda d: d / "dir",
    lambda d: str(d / "bad.xml"),
    lambda d: os.fsencode(d / "bad.xml"),
    lambda d: str(d / "empty.xml"),
    lambda d: str(d / "go\0od.xml"),
    lambda d: os.fsencode(d / "good.xml") + b"\0",
    lambda d: FsPath(5),
    lambda d: 5,
    lambda d: None,
    lambda d: bytearray(os.fsencode(d / "good.xml")),
    lambda d: str(d / "bad\udc80\ud800.xml"),
]


@pytest.mark.parametrize("make", PATHS)
def test_fast_parse_file_matches_the_general_path(files: pathlib.Path, make: Any) -> None:
    path = make(files)
    assert _outcome(lambda: korvith.parse_file(path)) == _outcome(lambda: _general_parse_file(path))


@pytest.mark.parametrize(("make", "expected"), [
    (lambda d: str(d / "good.xml"), ("ok", "r", "{d}/good.xml", 0)),
    (lambda d: d / "good.xml", ("ok", "r", "{d}/good.xml", 0)),
    (lambda d: str(d / "missing.xml"),
     (FileNotFoundError, "[Errno 2] No such file or directory: '{d}/missing.xml'", 2,
      "{d}/missing.xml")),
    (lambda d: d / "dir", (IsADirectoryError, "[Errno 21] Is a directory: '{d}/dir'", 21, "{d}/dir")),
    (lambda d: str(d / "go\0od.xml"), (ValueError, "embedded NUL character in path", None, None)),
    (lambda d: 5, (TypeError, "path must be a str, bytes or os.PathLike, not int", None, None)),
    (lambda d: FsPath(5),
     (TypeError, "expected FsPath.__fspath__() to return str or bytes, not int", None, None)),
])
def test_parse_file_outcomes(files: pathlib.Path, make: Any, expected: tuple[Any, ...]) -> None:
    filled = tuple(x.format(d=files) if isinstance(x, str) else x for x in expected)
    assert _outcome(lambda: korvith.parse_file(make(files))) == filled


def test_parse_file_error_names_the_file(files: pathlib.Path) -> None:
    name = str(files / "bad.xml")
    with pytest.raises(korvith.ParseError) as info:
        korvith.parse_file(name)
    assert info.value.filename == name and info.value.line == 2
    with pytest.raises(etree.XMLSyntaxError):
        etree.parse(name)


@pytest.mark.skipif(sys.platform != "linux", reason="needs file names of any bytes")
@pytest.mark.parametrize("as_bytes", [True, False])
def test_non_utf8_file_names(tmp_path: pathlib.Path, as_bytes: bool) -> None:
    raw = os.fsencode(tmp_path) + b"/caf\xe9.xml"
    with open(raw, "wb") as f:
        f.write(SMALL)
    path: str | bytes = raw if as_bytes else os.fsdecode(raw)
    with korvith.parse_file(path) as doc:
        assert doc.filename == path and doc.root.get("a") == "1"
    if as_bytes:  # lxml takes no surrogate-escaped str names
        assert etree.parse(path).getroot().get("a") == "1"


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0,
                    reason="root may read any file")
def test_unreadable_file(files: pathlib.Path) -> None:
    path = files / "good.xml"
    path.chmod(0)
    expected = (PermissionError, f"[Errno 13] Permission denied: '{path}'", 13, str(path))
    assert _outcome(lambda: korvith.parse_file(str(path))) == expected
    assert _outcome(lambda: _general_parse_file(str(path))) == expected


# ---------------------------------------------------------------- big documents

@pytest.mark.parametrize(("make", "releases"), [
    (lambda d: korvith.parse(SMALL), False),
    (lambda d: korvith.parse(b"<r>" + b" " * (HELD_PARSE_LIMIT - 7) + b"</r>"), False),
    (lambda d: korvith.parse(b"<r>" + b" " * (HELD_PARSE_LIMIT - 6) + b"</r>"), True),
    (lambda d: korvith.parse(bytearray(_big(2000))), True),
    (lambda d: korvith.parse(_big(2000), remove_comments=True), True),
    (lambda d: korvith.parse_inplace(bytearray(_big(2000))), True),
    (lambda d: korvith.parse_inplace(bytearray(SMALL)), False),
    (lambda d: korvith.parse_file(d / "good.xml"), True),  # a file's size is not known
    (lambda d: korvith.parse_file(d / "good.xml", recover=True), True),
    (lambda d: korvith.parse(io.BytesIO(SMALL)), False),
    (lambda d: korvith.parse(io.BytesIO(_big(2000))), True),
    (lambda d: korvith.html.document_fromstring(b"<p>small"), False),
    (lambda d: korvith.html.document_fromstring(b"<p>" + b"x" * HELD_PARSE_LIMIT), True),
    (lambda d: korvith.html.parse(io.BytesIO(b"<p>" + b"x" * HELD_PARSE_LIMIT)), True),
])
def test_which_documents_are_freed_without_the_interpreter(files: pathlib.Path, make: Any,
                                                           releases: bool) -> None:
    # Documents parsed from more than HELD_PARSE_LIMIT bytes, or from a
    # file, are freed with the interpreter released.
    with make(files) as doc:
        assert doc._free_releases_gil is releases


def test_big_document_closed_while_readers_run() -> None:
    count = 2000
    for _ in range(3):
        doc = korvith.parse(_big(count))
        assert doc._free_releases_gil
        elements = list(doc.root)
        start = threading.Barrier(4)
        answers: list[list[Any]] = [[], [], []]

        def read(slot: int) -> None:
            start.wait()
            for n in range(400):
                i = (n * 7 + slot) % count
                try:
                    got = (elements[i].get("i"), elements[i].text, len(doc.root), doc.root[i].tag)
                except korvith.KorvithError as exc:
                    answers[slot].append(str(exc))
                    continue
                answers[slot].append(got == (str(i), f"t{i}", count, "e"))

        readers = [threading.Thread(target=read, args=(k,)) for k in range(3)]
        for r in readers:
            r.start()
        start.wait()
        doc.close()
        for r in readers:
            r.join()
        for seen in answers:
            assert len(seen) == 400
            # Exact answers while open, then only the closed error.
            closed_from = next((k for k, v in enumerate(seen) if v == CLOSED_MESSAGE), len(seen))
            assert all(v is True for v in seen[:closed_from])
            assert all(v == CLOSED_MESSAGE for v in seen[closed_from:])
        with pytest.raises(korvith.KorvithError, match=CLOSED_MESSAGE):
            elements[0].get("i")


class _Marker:
    pass


@pytest.mark.parametrize(("size", "others_run"), [(-1, True), (HELD_PARSE_LIMIT + 1, True),
                                                  (0, False), (HELD_PARSE_LIMIT, False)])
def test_freeing_a_big_document_lets_other_threads_run(size: int, others_run: bool) -> None:
    # The wrappers are poisoned before the free and the keepalive goes
    # after it: a thread that sees both has run during the free, which it
    # can only do when the free released the interpreter.
    address, registry, status = accel.parse(_big(120_000), False)  # a few MB
    marker = _Marker()
    keepalive = weakref.ref(marker)
    doc = Document._adopt(address, registry, status, keepalive=marker, size=size)
    del marker
    element = doc.root[0]
    during_free = [0]
    running = threading.Event()
    stop = threading.Event()

    def tick() -> None:
        while not stop.is_set():
            try:
                element.tag
            except korvith.KorvithError:
                if keepalive() is not None:
                    during_free[0] += 1
            running.set()

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        running.wait()
        doc.close()
    finally:
        stop.set()
        ticker.join()
    assert keepalive() is None
    assert (during_free[0] > 0) is others_run
