"""Allocation failures swept through the engine, in the style of pugixml's
tests: allocation N (and every later one) fails, for every N a scenario
reaches (a sample when there are many), across parsing, iterparse, XPath,
serialisation, plans and SAX. Each run must end in the entry's documented
failure value with an error status, or succeed; nothing may crash, and
under the sanitizers (``scripts/test --sanitize``) LeakSanitizer checks
that no run leaks.

The sweep replaces the process's allocators, so it runs in its own small
C++ program (alloc_sweep.cpp), built here against the engine under test.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import korvith

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
ENGINE_DIR = Path(korvith.__file__).resolve().parent
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SCENARIOS = ["parse", "parse_options", "iterparse", "xpath", "serialize", "plan", "sax",
             "xpath_direct"]


def _pkg_config(*args: str) -> list[str]:
    return subprocess.run(["pkg-config", *args, "libxml-2.0"], check=True,
                          capture_output=True, text=True).stdout.split()


@pytest.fixture(scope="module")
def sweep_program(tmp_path_factory: pytest.TempPathFactory) -> Path:
    compiler = shutil.which("c++")
    if compiler is None or shutil.which("pkg-config") is None:
        pytest.fail("the allocation sweep needs c++ and pkg-config")
    out = tmp_path_factory.mktemp("sweep") / "alloc_sweep"
    flags = ["-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror"]
    if SANITIZED:
        flags += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer"]
    command = [compiler, *flags, f"-I{ROOT / 'libkorvith' / 'include'}",
               *_pkg_config("--cflags"), str(HERE / "alloc_sweep.cpp"), "-o", str(out),
               f"-L{ENGINE_DIR}", "-lkorvith", f"-Wl,-rpath,{ENGINE_DIR}",
               *_pkg_config("--libs")]
    subprocess.run(command, check=True, capture_output=True, text=True)
    return out


def _environment() -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    # Leak checking on, in this process only (the Python runs keep it off).
    env["ASAN_OPTIONS"] = "detect_leaks=1:abort_on_error=1"
    env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    env["LSAN_OPTIONS"] = "exitcode=23"
    return env


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_every_allocation_failure_is_clean(sweep_program: Path, scenario: str) -> None:
    done = subprocess.run([str(sweep_program), scenario], env=_environment(),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-4000:]
    line = done.stdout.strip()
    name, _, rest = line.partition(": ")
    allocations = int(rest.split()[0])
    runs = int(rest.split(", ")[1].split()[0])
    assert name == scenario
    # The scenario allocates (so the sweep tests something), and the sweep
    # reached every allocation or a sample of at least the limit's size.
    assert allocations > 10
    assert runs == allocations or runs >= 200
