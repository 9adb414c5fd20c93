"""Fixtures for the module's tests against the fake engine.

These tests rebind the module to the fake engine, so they run in a pytest
process of their own (scripts/test runs tests/module separately from the
tests against the real engine).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable
from typing import Any

import pytest

from fake_engine import FakeEngine, FakeError
from korvith import _korvithaccel as accel


@pytest.fixture
def engine():
    fake = FakeEngine()
    fake.bind(FakeError)
    yield fake
    if fake.errors:
        raise fake.errors[0]


@pytest.fixture
def accel_module():
    return accel


class Doc:
    """A document object as the package's would be: carries a registry."""

    def __init__(self) -> None:
        self._accel_registry = accel.new_registry()


@pytest.fixture
def doc():
    return Doc()


def run_unbound(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter where the module was never bound.

    The extension is loaded straight from its file, without the package
    (whose import binds the real engine); `accel` names the module.
    """
    path = accel.__file__
    prelude = textwrap.dedent(f"""
        import importlib.machinery, importlib.util, sys
        loader = importlib.machinery.ExtensionFileLoader("korvith._korvithaccel", {path!r})
        spec = importlib.util.spec_from_file_location("korvith._korvithaccel", {path!r}, loader=loader)
        accel = importlib.util.module_from_spec(spec)
        loader.exec_module(accel)
    """)
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, env=env, timeout=60)


@pytest.fixture
def unbound():
    def run(code: str) -> str:
        proc = run_unbound(code)
        assert proc.returncode == 0, proc.stderr
        return proc.stdout
    return run


_ATTEMPT = """
import json
out = {}
def attempt(name, fn):
    try:
        out[name] = repr(fn())
    except Exception as exc:
        out[name] = f"{type(exc).__name__}: {exc}"
"""


@pytest.fixture
def unbound_attempts(unbound):
    """Runs `code` unbound (see run_unbound) with `attempt(name, fn)` at hand;
    returns {name: repr of the result, or "ExceptionType: message"}."""
    def run(code: str) -> dict[str, str]:
        script = _ATTEMPT + textwrap.dedent(code) + "\nprint(json.dumps(out))\n"
        return json.loads(unbound(script))
    return run


def race(count: int, read: Callable[[], Any]) -> list[Any]:
    """Calls `read` from `count` threads started together; returns what each got."""
    results: list[Any] = []
    threads = [threading.Thread(target=lambda: results.append(read())) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results
