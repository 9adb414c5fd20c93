"""The validation, HTML, canonical XML and XSLT entry points called
directly: documented failure values for bad arguments, no crash."""

from __future__ import annotations

import ctypes

import pytest

import korvith
from korvith._engine import ext
from korvith.diagnostics import Diagnostics


def test_schema_compile_rejects_unknown_kinds_and_null_lists() -> None:
    with Diagnostics() as diag:
        assert not ext.schema_compile(9, b"<r/>", 4, None, None, diag.handle)
        (entry,) = diag.entries()
    assert (entry.level, entry.message) == ("fatal", "unknown schema kind 9")
    assert not ext.schema_compile(1, b"<r/>", 4, None, None, None)


def test_validate_c14n_and_xslt_refuse_null_and_out_of_range_arguments() -> None:
    with Diagnostics() as diag:
        assert ext.schema_validate(None, None, None, diag.handle) == -1
        assert ext.xslt_apply(None, None, None, None, 0, 10, diag.handle, None,
                                      None) is None
    out = ctypes.c_void_p()
    with korvith.parse(b"<r/>") as doc:
        address = doc._address
        assert ext.c14n(address, None, 3, 0, None, ctypes.byref(out)) == -1
        assert ext.c14n(None, None, 0, 0, None, ctypes.byref(out)) == -1
        assert out.value is None
        assert korvith._engine.last_error()[1] == "invalid canonicalisation arguments"
        n = ext.c14n(address, None, 0, 0, None, ctypes.byref(out))
        assert ctypes.string_at(out.value, n) == b"<r></r>"
        ext.buffer_free(out.value)


def test_diag_entries_out_of_range_and_frees_of_null() -> None:
    with Diagnostics() as diag:
        assert ext.diag_count(diag.handle) == 0
        assert ext.diag_entry(diag.handle, 0, None, None, None, None, None) == -1
    assert ext.diag_count(None) == 0
    for free in (ext.diag_free, ext.schema_free, ext.xslt_free,
                 ext.buffer_free):
        free(None)


@pytest.mark.parametrize("data", [b"", b"\0\0\0", b"<", b"\xff\xfe<\0p\0>\0"])
def test_html_parse_of_odd_bytes(data) -> None:
    status = ctypes.c_int(0)
    address = ext.html_parse(data, len(data), None, None, ctypes.byref(status))
    if address:
        korvith._engine.lib.korvith_document_free(address)
    else:
        assert status.value != 0 and korvith._engine.last_error()[0] != 0


def test_html_parse_of_nothing_fails_with_a_status() -> None:
    status = ctypes.c_int(0)
    assert ext.html_parse(b"", 0, None, None, ctypes.byref(status)) is None
    assert status.value != 0
    with pytest.raises(korvith.ParseError):
        korvith.html.document_fromstring(b"")
