"""`korvith edit`: edits by XPath, applied in order, driven as a user runs it."""

from __future__ import annotations

import subprocess
import sys

import pytest

SHOP = (b'<?xml version="1.0"?>\n<shop xmlns:p="urn:p"><item id="1">a</item>'
        b'<item id="2"><p:x/></item></shop>\n')


def run(tmp_path, *args, stdin: bytes | None = None):
    return subprocess.run([sys.executable, "-m", "korvith", "edit", *args], cwd=tmp_path,
                          input=stdin, capture_output=True, timeout=120)


@pytest.fixture
def shop(tmp_path):
    path = tmp_path / "shop.xml"
    path.write_bytes(SHOP)
    return path


def test_actions_apply_in_command_line_order(tmp_path, shop):
    r = run(tmp_path, str(shop), "--set-attr", "//item", "seen", "yes",
            "--delete", "//item[@id=1]", "--set-text", "//item", "new",
            "-n", "q=urn:p", "--rename", "//q:x", "{urn:p}y", "--delete-attr", "//item", "id")
    assert r.returncode == 0, r.stderr
    assert r.stdout == (b'<?xml version="1.0" encoding="UTF-8"?>\n<shop xmlns:p="urn:p">'
                        b'<item seen="yes">new<p:y/></item></shop>\n')
    assert shop.read_bytes() == SHOP  # the input is left alone


def test_inplace_and_output_file(tmp_path, shop):
    r = run(tmp_path, str(shop), "--delete", "//item", "--inplace")
    assert r.returncode == 0 and r.stdout == b""
    assert shop.read_bytes() == b'<?xml version="1.0" encoding="UTF-8"?>\n' \
                                b'<shop xmlns:p="urn:p"/>\n'
    r = run(tmp_path, "-", "--set-attr", "/a", "k", "v", "-o", "out.xml", stdin=b"<a/>")
    assert r.returncode == 0 and (tmp_path / "out.xml").read_bytes() == b'<a k="v"/>\n'


@pytest.mark.parametrize("args, code, message", [
    (["--delete", "/shop"], 1, b"cannot delete the root element"),
    (["--set-attr", "//item", "a b", "v"], 1, b"invalid attribute name 'a b'"),
    (["--set-text", "//item", "\x01"], 1, b"cannot hold"),
    (["--delete", "count(//item)"], 2, b"selects a float, not elements"),
    (["--delete", "//q:x"], 2, b"//q:x"),
    ([], 2, b"no edit given"),
])
def test_refused_edits_leave_the_file_and_exit_non_zero(tmp_path, shop, args, code, message):
    r = run(tmp_path, str(shop), *args, "--inplace")
    assert r.returncode == code
    assert message in r.stderr
    assert shop.read_bytes() == SHOP
