"""Threads that close documents (or iterparse iterators) while others read
them: every answer is the right one for the element asked, or the closed
error; never another element's bytes, never a silent None. A bounded run
(KORVITH_STRESS_SECONDS per test, default 1 s); the interpreter switches
threads far more often than usual meanwhile."""

from __future__ import annotations

import os
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

import korvith

SECONDS = float(os.environ.get("KORVITH_STRESS_SECONDS", "1.0"))
CLOSED = "operation on a closed document"
RELEASED = "released by iterparse"


@pytest.fixture(autouse=True)
def frequent_switches() -> Iterator[None]:
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def _document(serial: int) -> bytes:
    # Every document differs in text, attribute and shape, so bytes from
    # another document cannot pass for the expected ones.
    extra = b"<e/>" * (serial % 5)
    return (b'<r n="%d"><a>%d</a>%s<b><c>%d</c></b></r>' % (serial, serial, extra, serial))


def _expected(serial: int) -> dict[str, Any]:
    return {
        "b": b"<b><c>%d</c></b>" % serial,
        "doc": _document(serial) + b"\n",
        "count": float(serial % 5),
        "c": str(serial),
        "n": str(serial),
    }


def _run(workers: list[Callable[[], None]]) -> list[BaseException]:
    errors: list[BaseException] = []

    def guarded(work: Callable[[], None]) -> None:
        try:
            work()
        except BaseException as exc:  # reported by the test
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + 60)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    return errors


def test_readers_get_their_own_answer_or_the_closed_error() -> None:
    deadline = time.monotonic() + SECONDS
    current: list[Any] = [None]
    wrong: list[str] = []
    counts = {"answers": 0, "closed": 0}
    stop = threading.Event()

    def producer() -> None:
        serial = 0
        try:
            while time.monotonic() < deadline and not wrong:
                serial += 1
                doc = korvith.parse(_document(serial))
                root = doc.root
                current[0] = (serial, doc, root, root.find_path("b"))
                time.sleep(0)
                doc.close()
        finally:
            stop.set()

    def reader(ask: Callable[[korvith.Document, Any, Any], Any], key: str) -> Callable[[], None]:
        def work() -> None:
            while not stop.is_set() and not wrong:
                got = current[0]
                if got is None:
                    time.sleep(0)
                    continue
                serial, doc, root, b = got
                try:
                    answer = ask(doc, root, b)
                except korvith.KorvithError as exc:
                    if str(exc) != CLOSED:
                        wrong.append(f"{key} {serial}: {exc!r}")
                    counts["closed"] += 1
                    continue
                if answer != _expected(serial)[key]:
                    wrong.append(f"{key} {serial}: {answer!r}")
                counts["answers"] += 1
        return work

    errors = _run([
        producer,
        reader(lambda doc, root, b: b.tobytes(), "b"),
        reader(lambda doc, root, b: doc.tobytes(), "doc"),
        reader(lambda doc, root, b: root.xpath("count(e)"), "count"),
        reader(lambda doc, root, b: root.find_path("b", "c").text, "c"),
        reader(lambda doc, root, b: korvith.XPath("string(@n)")(root), "n"),
    ])
    assert errors == []
    assert wrong == []
    assert counts["answers"] > 0


def _records(count: int) -> bytes:
    return b"<all>" + b"".join(b'<rec i="%d"><v>%d</v></rec>' % (i, i * 7)
                               for i in range(count)) + b"</all>"


def test_closing_iterparse_while_another_thread_serializes_its_elements() -> None:
    deadline = time.monotonic() + SECONDS
    handed: list[Any] = []
    wrong: list[str] = []
    counts = {"answers": 0, "refused": 0, "rounds": 0}
    stop = threading.Event()
    data = _records(200)

    def iterate() -> None:
        try:
            while time.monotonic() < deadline and not wrong:
                it = korvith.iterparse(data, tag="rec", release=counts["rounds"] % 2 == 0)
                for n, el in enumerate(it):
                    handed.append(el)
                    if n == 40 + counts["rounds"] % 100:
                        it.close()
                        break
                handed.clear()
                counts["rounds"] += 1
        finally:
            stop.set()

    def serialize() -> None:
        while not stop.is_set() and not wrong:
            try:
                el = handed[-1]
            except IndexError:
                time.sleep(0)
                continue
            try:
                got = el.tobytes()
                index = int(el.get("i"))
            except korvith.KorvithError as exc:
                if CLOSED not in str(exc) and RELEASED not in str(exc):
                    wrong.append(repr(exc))
                counts["refused"] += 1
                continue
            if got != b'<rec i="%d"><v>%d</v></rec>' % (index, index * 7):
                wrong.append(f"{index}: {got!r}")
            counts["answers"] += 1

    errors = _run([iterate, serialize, serialize])
    assert errors == []
    assert wrong == []
    assert counts["rounds"] > 0 and counts["answers"] > 0
