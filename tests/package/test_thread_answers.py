"""Threads parsing files (the engine parses without the GIL) while others
read one shared document: every answer is checked against the answer
computed on one thread first. A bounded run (KORVITH_THREAD_SECONDS,
default 1.5 s)."""

from __future__ import annotations

import os
import threading
import time

import korvith

SECONDS = float(os.environ.get("KORVITH_THREAD_SECONDS", "1.5"))

SHARED = (b'<!DOCTYPE r [<!ENTITY e "ent">]><r xmlns:p="urn:p">'
          + b"".join(b'<rec id="%d" s="a&e;b" p:k="v%d"><name>n%d</name></rec>' % (i, i, i)
                     for i in range(30))
          + b"</r>")


def shared_answers(doc: korvith.Document) -> list[object]:
    out: list[object] = []
    for rec in doc.root:
        out.append((rec.get("id"), rec.get("s"), rec.get("{urn:p}k"), rec.findtext("name")))
        out.append(rec.tobytes())
    out.append(doc.xpath("string(//rec[@id='7']/@s)"))
    out.append(doc.xpath("count(//rec[starts-with(name, 'n1')])"))
    return out


def own_answers(path: str) -> tuple[object, ...]:
    with korvith.parse_file(path, recover=True) as doc:
        root = doc.root
        return root.get("n"), len(root), root.findtext("x"), doc.xpath("count(//x)")


def test_parsing_threads_and_readers_of_one_document_get_the_right_answers(tmp_path):
    paths = []
    for n in range(4):
        path = tmp_path / f"doc{n}.xml"
        path.write_bytes(b'<d n="%d">' % n + b"<x>%d</x>" % n * (200 + n) + b"</d>")
        paths.append(str(path))
    want_own = {p: own_answers(p) for p in paths}
    assert want_own[paths[3]] == ("3", 203, "3", 203.0)
    keep_entities = {"keep_entities": True}
    doc = korvith.parse(SHARED, **keep_entities)
    want_shared = shared_answers(doc)
    assert want_shared[0] == ("0", "aentb", "v0", "n0")
    assert want_shared[-2:] == ["aentb", 11.0]

    wrong: list[str] = []
    rounds = [0]
    deadline = time.monotonic() + SECONDS

    def parser(path: str) -> None:
        while time.monotonic() < deadline and not wrong:
            got = own_answers(path)
            if got != want_own[path]:
                wrong.append(f"{path}: {got!r}")
            rounds[0] += 1

    def reader() -> None:
        while time.monotonic() < deadline and not wrong:
            got = shared_answers(doc)
            if got != want_shared:
                wrong.append("shared document answered differently")
            rounds[0] += 1

    threads = [threading.Thread(target=parser, args=(p,)) for p in paths]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + 60)
    doc.close()
    assert not wrong
    assert rounds[0] >= len(threads)
