"""The stubs, checked by mypy --strict on example programs: a ported
script type-checks, and each line marked "# E:" is rejected."""

from __future__ import annotations

import os
import re
import subprocess
import sys

import pytest

import korvith

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "examples")

pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="mypy is not built for the sanitizer run")


def _mypy(name: str, tmp_path: object) -> tuple[int, str]:
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(korvith.__file__)))
    env = dict(os.environ, PYTHONPATH=package_root, MYPYPATH="")
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", os.path.join(str(tmp_path), "cache"), os.path.join(EXAMPLES, name)],
        capture_output=True, text=True, env=env, cwd=EXAMPLES)
    return out.returncode, out.stdout + out.stderr


def test_ported_script_passes_strict(tmp_path: object) -> None:
    code, output = _mypy("ported_script.py", tmp_path)
    assert code == 0, output


def test_each_marked_mistake_is_rejected(tmp_path: object) -> None:
    with open(os.path.join(EXAMPLES, "type_errors.py")) as f:
        marked = {i for i, line in enumerate(f, 1) if "# E:" in line}
    code, output = _mypy("type_errors.py", tmp_path)
    reported = {int(m.group(1)) for m in re.finditer(r"type_errors\.py:(\d+): error", output)}
    assert code == 1 and reported == marked, output
