"""What every parse entry point does with its input: one encoding rule,
external entities, streams read through the engine, other threads running
while a parse goes on."""

from __future__ import annotations

import io
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import korvith
from korvith import ParseError

# UTF-8 with one stray byte that is not UTF-8.
STRAY = b"<a>caf\xc3\xa9 \xff</a>"
INVALID = "Invalid bytes in character encoding"


class Collect(korvith.SaxHandler):
    def __init__(self) -> None:
        self.text: list[str] = []

    def characters(self, text: str) -> None:
        self.text.append(text)


def _path(tmp_path, data: bytes) -> str:
    path = tmp_path / "in.xml"
    path.write_bytes(data)
    return str(path)


ENTRY_POINTS = {
    "parse bytes": lambda data, tmp: korvith.parse(data).root.text,
    "parse bytearray": lambda data, tmp: korvith.parse(bytearray(data)).root.text,
    "parse memoryview": lambda data, tmp: korvith.parse(memoryview(data)).root.text,
    "parse file object": lambda data, tmp: korvith.parse(io.BytesIO(data)).root.text,
    "parse path": lambda data, tmp: korvith.parse(_path(tmp, data)).root.text,
    "parse max_depth": lambda data, tmp: korvith.parse(data, max_depth=5).root.text,
    "fromstring": lambda data, tmp: korvith.fromstring(data).text,
    "parse_file": lambda data, tmp: korvith.parse_file(_path(tmp, data)).root.text,
    "parse_inplace": lambda data, tmp: korvith.parse_inplace(bytearray(data)).root.text,
    "iterparse": lambda data, tmp: [e.text for e in korvith.iterparse(_path(tmp, data))][0],
    "iterparse bytes": lambda data, tmp: [e.text for e in korvith.iterparse(data)][0],
    "iterextract": lambda data, tmp: next(korvith.iterextract(
        _path(tmp, b"<r>" + data + b"</r>"), "r", korvith.Plan(a=str)))["a"],
    "sax_parse": lambda data, tmp: "".join(_sax(data)),
}


def _sax(data: bytes) -> list[str]:
    handler = Collect()
    korvith.sax_parse(data, handler)
    return handler.text


@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_bytes_invalid_in_their_encoding_are_an_error_everywhere(entry, tmp_path):
    with pytest.raises(ParseError, match=INVALID) as caught:
        ENTRY_POINTS[entry](STRAY, tmp_path)
    if entry not in ("sax_parse", "iterextract"):
        assert caught.value.line == 1


def test_recovery_marks_invalid_bytes_as_replaced():
    # As lxml's recovering parser: the byte becomes U+FFFD, and the
    # document says it was repaired.
    doc = korvith.parse(STRAY, recover=True)
    assert (doc.root.text, doc.status, doc.recovered) == ("café \ufffd", 81, True)
    assert [e.message for e in doc.errors] == [INVALID]


@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_valid_utf8_reads_the_same_everywhere(entry, tmp_path):
    assert ENTRY_POINTS[entry]("<a>café ☃</a>".encode(), tmp_path) == "café ☃"


@pytest.mark.parametrize("command", ["query", "fmt"])
@pytest.mark.parametrize("from_stdin", [False, True])
def test_cli_refuses_invalid_bytes(command, from_stdin, tmp_path):
    path = _path(tmp_path, STRAY)
    args = [command, "-" if from_stdin else path] + (["string(/a)"] if command == "query" else [])
    proc = subprocess.run([sys.executable, "-m", "korvith", *args], cwd=tmp_path,
                          input=STRAY if from_stdin else None, capture_output=True, timeout=60)
    assert proc.returncode == 1
    assert INVALID.encode() in proc.stderr and b"caf" not in proc.stdout


@pytest.mark.parametrize("how", ["parse", "fromstring", "parse_file", "file object"])
@pytest.mark.parametrize("encoding, expected", [
    ("latin-1", "café ÿ"), ("ISO-8859-1", "café ÿ"), ("cp1252", "café ÿ"),
    # The caller's encoding wins over a declaration.
    ("utf-8", None),
])
def test_explicit_encoding_is_used_as_given(how, encoding, expected, tmp_path):
    data = "<a>café ÿ</a>".encode("latin-1")
    if expected is None:
        data = '<?xml version="1.0" encoding="ISO-8859-1"?><a>café ÿ</a>'.encode()
        expected = "café ÿ"
    parse = {
        "parse": lambda: korvith.parse(data, encoding=encoding).root,
        "fromstring": lambda: korvith.fromstring(data, encoding=encoding),
        "parse_file": lambda: korvith.parse_file(_path(tmp_path, data), encoding=encoding).root,
        "file object": lambda: korvith.parse(io.BytesIO(data), encoding=encoding).root,
    }[how]
    assert parse().text == expected


@pytest.mark.parametrize("encoding, error, message", [
    ("no-such-encoding", ParseError, "Unknown encoding 'no-such-encoding'"),
    (b"utf-8", TypeError, "encoding must be a str or None, not bytes"),
    ("", ValueError, "encoding must name an encoding"),
    ("utf\0-8", ValueError, "encoding must name an encoding"),
])
def test_bad_encoding_arguments(encoding, error, message):
    with pytest.raises(error, match=message):
        korvith.fromstring(b"<a/>", encoding=encoding)


def test_encoding_does_not_apply_to_str():
    with pytest.raises(ValueError, match="a str is already decoded"):
        korvith.fromstring("<a/>", encoding="latin-1")


EXTERNAL = b'<!DOCTYPE a [<!ENTITY x SYSTEM "x.txt">]><a>before &x; after</a>'


def test_external_entity_reference_is_an_error_naming_it_and_the_keyword():
    with pytest.raises(ParseError) as caught:
        korvith.fromstring(EXTERNAL)
    assert caught.value.message == (
        "External entity 'x' is not loaded: the parser never reads external entities "
        "(keep_entities=True keeps the reference as &x;)")
    assert (caught.value.line, caught.value.column) == (1, 55)


def test_external_entity_reference_kept_with_keep_entities():
    root = korvith.fromstring(EXTERNAL, keep_entities=True)
    assert root.tobytes() == b"<a>before &x; after</a>"
    assert root.text == "before "


def test_external_entity_under_recovery_is_reported_not_silent():
    doc = korvith.parse(EXTERNAL + b"", recover=True)
    assert doc.recovered and doc.status == 26
    assert [e.message.split(":")[0] for e in doc.errors] == ["External entity 'x' is not loaded"]
    assert doc.root.text == "before  after"


def test_a_file_object_that_fails_raises_its_own_error():
    class Broken(io.RawIOBase):
        calls = 0

        def read(self, size=-1):
            Broken.calls += 1
            if Broken.calls > 1:
                raise OSError(5, "disk on fire")
            return b"<a><b>"

    with pytest.raises(OSError, match="disk on fire"):
        korvith.parse(Broken())


def test_a_file_object_is_read_in_pieces_not_whole():
    sizes: list[int] = []

    class Spy(io.BytesIO):
        def read(self, size=-1):
            sizes.append(size)
            return super().read(size)

    data = b"<r>" + b"<i>x</i>" * 300_000 + b"</r>"
    with korvith.parse(Spy(data)) as doc:
        assert len(doc.root) == 300_000
    assert sizes and all(0 < s <= 1 << 20 for s in sizes)


SNIPPET = """
import os, sys, threading, time
import korvith
"""


def _run(snippet: str, *args: str, stdin=None, env=None, timeout: float = 60):
    return subprocess.run([sys.executable, "-P", "-c", SNIPPET + textwrap.dedent(snippet), *args],
                          capture_output=True, text=True, timeout=timeout, stdin=stdin,
                          env={**os.environ, **(env or {})})


def test_fifo_file_object_fed_by_a_thread_of_the_same_process(tmp_path):
    # The engine reads with the interpreter released: the writer thread
    # keeps running, so neither side waits on the other forever.
    fifo = tmp_path / "feed"
    os.mkfifo(fifo)
    out = _run("""
        path = sys.argv[1]
        def write():
            with open(path, "wb") as f:
                f.write(b"<r>")
                for i in range(20000):
                    f.write(b"<i>%d</i>" % i)
                f.write(b"</r>")
        writer = threading.Thread(target=write)
        writer.start()
        for how in ("file object", "path"):
            if how == "path":
                writer = threading.Thread(target=write)
                writer.start()
                doc = korvith.parse(path)
            else:
                with open(path, "rb") as f:
                    doc = korvith.parse(f)
            writer.join(10)
            print(how.replace(" ", "_"), len(doc.root), doc.root[-1].text, writer.is_alive())
    """, str(fifo), timeout=60)
    assert out.stdout.split() == ["file_object", "20000", "19999", "False",
                                  "path", "20000", "19999", "False"], out.stderr


def test_other_threads_run_during_a_long_parse():
    data = b"<r>" + b"<i a='1'>text</i>" * 400_000 + b"</r>"
    ticks = 0
    stop = threading.Event()

    def tick() -> None:
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        started = time.monotonic()
        parsed = 0
        while time.monotonic() - started < 0.5 or parsed < 3:
            korvith.parse(data).close()
            parsed += 1
    finally:
        stop.set()
        ticker.join()
    # Holding the interpreter for whole parses, the ticker would get a
    # turn about once per parse only.
    assert ticks > 5 * parsed


@pytest.mark.parametrize("unit, message", [
    # Well-formed and endless: only the byte bound stops it.
    (b"<i>x</i>\n", b"<stdin>: input larger than 200000 bytes"),
    # `yes | korvith query - //a`: the first error stops the read.
    (b"y\n", b"<stdin>:1:1: Start tag expected"),
    # One endless text node: the parser's text limit stops it.
    (b"x" * 64, b"Text node too long"),
])
def test_endless_stdin_of_the_cli_is_bounded(unit, message):
    limit = "200000" if unit.startswith(b"<i>") else str(1 << 30)
    proc = subprocess.Popen([sys.executable, "-m", "korvith", "query", "-", "count(//i)"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env={**os.environ, "KORVITH_MAX_STDIN": limit})
    block = unit * (65536 // len(unit))

    def feed() -> None:
        try:
            if unit != b"y\n":
                proc.stdin.write(b"<r>")
            while True:
                proc.stdin.write(block)
                block_sent[0] += len(block)
        except (BrokenPipeError, ValueError, OSError):
            pass

    block_sent = [0]
    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    try:
        proc.wait(timeout=60)
    finally:
        proc.kill()
        writer.join(10)
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
    err = proc.stderr.read()
    assert proc.returncode == 1 and message in err, err
    assert block_sent[0] < 64 << 20


@pytest.mark.parametrize("recover", [False, True])
def test_endless_garbage_through_a_file_object_stops(recover):
    out = _run("""
        recover = sys.argv[1] == "True"
        start = time.monotonic()
        with open("/dev/urandom", "rb") as f:
            try:
                doc = korvith.parse(f, recover=recover)
                print("document", doc.status != 0)
            except korvith.ParseError as e:
                print("error", e.status != 0)
        print(time.monotonic() - start < 20)
    """, str(recover), timeout=60)
    assert out.stdout.split()[1:] == ["True", "True"], out.stderr
