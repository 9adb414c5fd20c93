"""The progress line: only on a terminal, and wiped when done."""

from __future__ import annotations

import io

import pytest

from korvith import cli


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize("stream, total, shown", [
    (Terminal(), 5, True),
    (io.StringIO(), 5, False),   # not a terminal: silent
    (Terminal(), 1, False),      # a single item needs no progress
])
def test_progress_only_on_terminals(monkeypatch, stream, total, shown):
    clock = iter([0.0] + [10.0] * 20)
    monkeypatch.setattr(cli.time, "monotonic", lambda: next(clock))
    progress = cli.Progress(total, "stats", stream)
    for i in range(total):
        progress.step(f"file{i}.xml")
    progress.finish()
    text = stream.getvalue()
    if shown:
        assert f"\rstats {total}/{total} file{total - 1}.xml" in text
        assert text.endswith("\r" + " " * 79 + "\r")
    else:
        assert text == ""


def test_quick_work_shows_nothing(monkeypatch):
    monkeypatch.setattr(cli.time, "monotonic", lambda: 0.0)
    stream = Terminal()
    progress = cli.Progress(3, "query", stream)
    for _ in range(3):
        progress.step()
    progress.finish()
    assert stream.getvalue() == ""
