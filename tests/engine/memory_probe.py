"""Runs a snippet in a fresh interpreter and reports its own peak memory.

The snippet gets `peak_kib()` (this process's peak RSS in KiB, VmHWM: unlike
ru_maxrss it does not inherit the test runner's peak across exec) and
prints its result; AddressSanitizer's quarantine is turned off so freed
memory does not look like growth.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

PEAK_KIB = textwrap.dedent("""
    def peak_kib():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        raise RuntimeError("no VmHWM")
""")


def run_probe(snippet: str, *args: str) -> list[str]:
    """Runs `snippet` with `args` as argv[1:]; returns its printed words."""
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "quarantine_size_mb=0"]))
    out = subprocess.run([sys.executable, "-P", "-c", PEAK_KIB + textwrap.dedent(snippet), *args],
                         capture_output=True, text=True, check=True, env=env)
    return out.stdout.split()


def write_items(path: os.PathLike[str] | str, count: int, extra: bytes = b"") -> int:
    """Writes `count` <item> records (id, name, qty, then `extra`) under
    <items>; returns the file's size."""
    with open(path, "wb") as f:
        f.write(b"<items>\n")
        for i in range(count):
            f.write(b'<item id="%d"><name>item number %d with some padding text</name>'
                    b"<qty>%d</qty>%s</item>\n" % (i, i, i % 100, extra))
        f.write(b"</items>\n")
    return os.path.getsize(path)
