"""parse_file on streams: it stops reading at the first fatal error, never
reads a whole file into memory first, runs without holding the interpreter
while it reads, and reports open failures and limits in korvith's terms.

Scenarios that would hang or exhaust memory if broken run in a fresh
interpreter with a timeout and report what they saw.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

import korvith
from korvith import ParseError

PEAK_KIB = """
def peak_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM")
"""

# Feeds a FIFO from a thread of the same process until the reader goes away
# (or 400 MB, far past any limit) and parses it. Prints the error, whether a
# document came back, and how many MB the writer got into the pipe.
FIFO_FEED = """
import os, sys, tempfile, threading
import korvith

head, fill = sys.argv[1].encode(), sys.argv[2].encode()
options = eval(sys.argv[3])
path = os.path.join(tempfile.mkdtemp(), "feed")
os.mkfifo(path)
sent = [0]

def feed():
    chunk = fill * (65536 // len(fill))
    try:
        with open(path, "wb", buffering=0) as pipe:
            pipe.write(head)
            while sent[0] < 400 << 20:
                sent[0] += pipe.write(chunk)
    except BrokenPipeError:
        pass

writer = threading.Thread(target=feed, daemon=True)
writer.start()
try:
    doc = korvith.parse_file(path, **options)
    outcome = "document_recovered=%s" % doc.recovered
    doc.close()
except korvith.ParseError as exc:
    outcome = "error_" + str(exc).replace(" ", "_")
writer.join(30)
print(outcome, sent[0] >> 20, writer.is_alive())
"""


def run_snippet(snippet: str, *args: str, timeout: float = 60) -> list[str]:
    out = subprocess.run([sys.executable, "-P", "-c", PEAK_KIB + textwrap.dedent(snippet), *args],
                         capture_output=True, text=True, timeout=timeout, check=True)
    return out.stdout.split()


@pytest.mark.parametrize("options, outcome", [
    ({}, "error"),
    ({"max_depth": 50}, "error"),
    ({"ns_clean": True}, "error"),
    # Under recovery the size limit still ends the read; what was read
    # comes back as a repaired document.
    ({"recover": True}, "document"),
])
def test_fatal_error_stops_reading_an_endless_fifo(options, outcome):
    # One text node that never ends: the text size limit (10 MB) is hit
    # after about 10 MB; the writer must then be cut off, not read to the end.
    words = run_snippet(FIFO_FEED, "<a>", "x", repr(options))
    result, sent_mb, writer_alive = words
    assert result.startswith(outcome)
    if outcome == "error":
        assert "Text_node_too_long" in result
    else:
        assert result == "document_recovered=True"
    assert int(sent_mb) < 64
    assert writer_alive == "False"


def test_malformed_stream_stops_at_the_first_error():
    # A well-formedness error early in an endless stream of elements.
    words = run_snippet(FIFO_FEED, "<a><b></c>", "<d/>", "{}")
    assert words[0].startswith("error") and "mismatch" in words[0]
    assert int(words[1]) < 64


DEV_ZERO = """
import sys, time
import korvith
options = eval(sys.argv[1])
start = time.monotonic()
try:
    korvith.parse_file("/dev/zero", **options)
    print("parsed")
except korvith.ParseError as exc:
    print(str(exc).replace(" ", "_"), time.monotonic() - start, peak_kib())
"""


@pytest.mark.parametrize("options", [
    {}, {"recover": True}, {"huge": True}, {"max_depth": 10}, {"recover": True, "huge": True},
])
def test_endless_zero_bytes_fail_fast_in_bounded_memory(options):
    message, seconds, peak = run_snippet(DEV_ZERO, repr(options))
    assert "Document_is_empty" in message
    assert float(seconds) < 5
    assert int(peak) < 200 * 1024


def test_every_variant_parses_a_file_the_same_way(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(b"<r><a> x </a>\n<a>y</a><![CDATA[z]]></r>")
    plain = korvith.parse_file(path)
    assert plain.tobytes() == b"<r><a> x </a>\n<a>y</a><![CDATA[z]]></r>\n"
    assert korvith.parse_file(path, recover=True).tobytes() == plain.tobytes()
    assert korvith.parse_file(path, max_depth=2).tobytes() == plain.tobytes()
    assert korvith.parse_file(path, no_cdata=True).tobytes().endswith(b"<a>y</a>z</r>\n")
    assert [a.text for a in korvith.parse_file(path, remove_blank_text=True).root] == [" x ", "y"]
    with pytest.raises(ParseError, match="max_depth"):
        korvith.parse_file(path, max_depth=1)


@pytest.mark.parametrize("options", [{}, {"recover": True}, {"huge": True}, {"max_depth": 3}])
def test_open_failures_are_the_matching_os_errors(tmp_path, options):
    with pytest.raises(IsADirectoryError) as exc:
        korvith.parse_file(tmp_path, **options)
    assert exc.value.filename == str(tmp_path)
    missing = tmp_path / "missing.xml"
    with pytest.raises(FileNotFoundError) as exc:
        korvith.parse_file(missing, **options)
    assert exc.value.filename == str(missing)
    with pytest.raises(ValueError, match="NUL"):
        korvith.parse_file(str(tmp_path) + "/a\0b", **options)


@pytest.mark.skipif(os.geteuid() == 0, reason="root may read any file")
def test_unreadable_file_is_a_permission_error(tmp_path):
    path = tmp_path / "locked.xml"
    path.write_bytes(b"<a/>")
    path.chmod(0)
    with pytest.raises(PermissionError):
        korvith.parse_file(path, recover=True)


DEEP = b"<a>" * 300 + b"</a>" * 300
DEEPER = b"<a>" * 3000 + b"</a>" * 3000
LONG_TEXT = b"<a>" + b"x" * 10_000_001 + b"</a>"


def parse_bytes(data: bytes, tmp_path, how: str, **options):
    if how == "file":
        path = tmp_path / "doc.xml"
        path.write_bytes(data)
        return korvith.parse_file(path, **options)
    return korvith.parse(data, **options)


@pytest.mark.parametrize("how", ["bytes", "file"])
@pytest.mark.parametrize("data, huge, expected", [
    (DEEP, False, "Excessive depth in document: 256, use the huge=True option to allow more"),
    (DEEPER, True, "Excessive depth in document: 2048 (the limit with huge=True)"),
    (LONG_TEXT, False, "Text node too long, use the huge=True option to allow more"),
])
def test_limit_messages_name_the_huge_keyword(tmp_path, how, data, huge, expected):
    options = {"huge": True} if huge else {}
    with pytest.raises(ParseError) as exc:
        parse_bytes(data, tmp_path, how, **options)
    assert expected in str(exc.value)
    assert "XML_PARSE" not in str(exc.value)
