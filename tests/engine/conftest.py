"""Helpers for tests that drive the real engine, through ctypes and the module."""

from __future__ import annotations

import ctypes
import threading
from collections.abc import Callable, Iterator

import pytest

import korvith
from korvith import _engine
from korvith import _korvithaccel as accel

lib = _engine.lib

# Flag bits of the parse options record.
NOBLANKS = _engine.PARSE_NOBLANKS
NOCDATA = _engine.PARSE_NOCDATA
HUGE = _engine.PARSE_HUGE
KEEP_ENTITIES = _engine.PARSE_KEEP_ENTITIES
NSCLEAN = _engine.PARSE_NSCLEAN

ParseOptions = _engine.ParseOptions
SerializeOptions = _engine.SerializeOptions


def s(address: int | None) -> str | None:
    """Decodes a borrowed engine string."""
    return None if not address else ctypes.string_at(address).decode("utf-8")


class Docs:
    """Parses through the engine slots and frees every document at teardown."""

    def __init__(self) -> None:
        self.docs: list[int] = []

    def keep(self, doc: int | None) -> int | None:
        if doc:
            self.docs.append(doc)
        return doc

    def parse(self, data: bytes) -> tuple[int | None, int]:
        status = ctypes.c_int(0)
        doc = lib.korvith_parse_string_fn(data, len(data), ctypes.byref(status))
        return self.keep(doc), status.value

    def parse_ex(self, data: bytes, flags: int = 0, strict: int = -1, max_depth: int = 0,
                 recover: int = 0) -> tuple[int | None, int]:
        opts = ParseOptions(flags, strict, max_depth, recover)
        status = ctypes.c_int(0)
        doc = lib.korvith_parse_string_ex(data, len(data), ctypes.byref(opts), ctypes.byref(status))
        return self.keep(doc), status.value

    def root(self, data: bytes, **kw: int) -> int:
        doc, status = self.parse_ex(data, **kw) if kw else self.parse(data)
        assert doc, f"parse failed with status {status}: {last_error()}"
        return lib.korvith_document_root(doc)

    def free_all(self) -> None:
        while self.docs:
            lib.korvith_document_free(self.docs.pop())


def last_error() -> tuple[int, str, int, int]:
    buf = ctypes.create_string_buffer(512)
    line, col = ctypes.c_int(0), ctypes.c_int(0)
    code = lib.korvith_last_error(buf, 512, ctypes.byref(line), ctypes.byref(col))
    return code, buf.value.decode("utf-8", "replace"), line.value, col.value


@pytest.fixture
def docs() -> Iterator[Docs]:
    d = Docs()
    yield d
    d.free_all()


class Doc:
    """A minimal document object for module calls: holds the registry capsule."""

    def __init__(self, address: int, capsule: object) -> None:
        self.address = address
        self._accel_registry = capsule

    def close(self) -> None:
        if self.address:
            accel.invalidate(self._accel_registry)
            accel.close_document(self.address)
            self.address = 0


@pytest.fixture
def mdoc() -> Iterator:
    """Parses bytes through the module; closes every document at teardown."""
    made: list[Doc] = []

    def make(data: bytes, recover: bool = False) -> tuple[Doc, korvith.Element]:
        address, capsule, status = accel.parse(data, recover)
        assert address, f"status {status}: {last_error()}"
        doc = Doc(address, capsule)
        made.append(doc)
        return doc, accel.document_root(address, doc)

    yield make
    for d in made:
        d.close()


def run_in_threads(works: list[Callable[[], None]]) -> list[BaseException]:
    """Runs each of `works` in a thread of its own, all at once; returns
    what they raised (an empty list when every one finished)."""
    errors: list[BaseException] = []

    def guarded(work: Callable[[], None]) -> None:
        try:
            work()
        except BaseException as exc:  # noqa: BLE001 - returned to the test
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(work,)) for work in works]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors
