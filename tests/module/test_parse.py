"""Parsing entry points and the document lifecycle, against the fake engine."""

from __future__ import annotations

import ctypes

import pytest

from fake_engine import FakeError, read_cstr, read_struct

DOC = 0xD0C0
ROOT = 0x1000


def scripted_parse(engine, slot, document=DOC, status=0):
    """Makes `slot` record what it read and answer `document`, `status`."""
    seen = {}

    def parse(*args):
        data, *rest = args
        out = rest[-1]
        if slot == "parse_file":
            seen["data"] = read_cstr(data)
        else:
            seen["data"] = ctypes.string_at(data, rest[0]) if rest[0] else b""
            seen["length"] = rest[0]
        if slot == "parse_string_ex":
            seen["options"] = read_struct(rest[1], "iiii")
        out[0] = status
        return document

    engine.on(slot, parse)
    engine.returns("document_root", ROOT)
    return seen


@pytest.mark.parametrize(
    "function, recover, slot, options",
    [
        ("parse", False, "parse_string_fn", None),
        ("parse", True, "parse_string_ex", (0, -1, 0, 1)),
        ("parse_with_encoding", False, "parse_with_encoding", None),
        ("parse_with_encoding", True, "parse_string_ex", (0, -1, 0, 1)),
    ],
)
def test_parse_picks_slot_and_options(engine, accel_module, function, recover, slot, options):
    seen = scripted_parse(engine, slot, status=7)
    address, capsule, status = getattr(accel_module, function)(b"<a/>", recover)
    assert (address, status) == (DOC, 7)
    assert seen["data"] == b"<a/>" and seen["length"] == 4
    assert seen.get("options") == options
    assert engine.calls() == [slot, "document_root"]
    # The capsule is a fresh, empty registry that invalidate accepts.
    assert accel_module.invalidate(capsule) is None


@pytest.mark.parametrize("document", [2**63 + 0x10, 2**64 - 0x20])
def test_parse_result_address_is_unsigned(engine, accel_module, document):
    scripted_parse(engine, "parse_string_fn", document=document, status=0)
    result = accel_module.parse(b"<a/>", False)
    assert type(result) is tuple and len(result) == 3
    assert result[0] == document and type(result[2]) is int
    assert type(result[1]).__name__ == "PyCapsule"
    assert engine.args_of("document_root") == [(document,)]


@pytest.mark.parametrize(
    "recover, flags, slot, options",
    [
        (False, 0, "parse_string_inplace_fn", None),
        (False, 4, "parse_string_ex", (4, -1, 0, 0)),
        (True, 0, "parse_string_ex", (0, -1, 0, 1)),
        (True, 9, "parse_string_ex", (9, -1, 0, 1)),
    ],
)
def test_parse_inplace_picks_slot_and_options(engine, accel_module, recover, flags, slot, options):
    buf = ctypes.create_string_buffer(b"<r>x</r>")
    seen = scripted_parse(engine, slot)
    address, capsule, status = accel_module.parse_inplace(ctypes.addressof(buf), 8, recover, flags)
    assert (address, status) == (DOC, 0)
    assert seen["data"] == b"<r>x</r>"
    assert seen.get("options") == options
    assert engine.args_of(slot)[0][0] == ctypes.addressof(buf)


@pytest.mark.parametrize(
    "length, address, message",
    [(-1, 0x10, "length must not be negative"), (5, 0, "buffer address is null")],
)
def test_parse_inplace_refuses_unsafe_buffers(engine, accel_module, length, address, message):
    with pytest.raises(ValueError, match=message):
        accel_module.parse_inplace(address, length, False, 0)
    assert engine.calls() == []


def test_parse_empty_data_still_reaches_engine(engine, accel_module):
    seen = scripted_parse(engine, "parse_string_fn", document=0, status=4)
    assert accel_module.parse(b"", False) == (None, None, 4)
    assert seen["length"] == 0
    # No document: no root lookup, no capsule.
    assert engine.calls() == ["parse_string_fn"]


def test_status_is_reset_before_each_call(engine, accel_module):
    statuses = []

    def parse(data, length, status):
        statuses.append(status[0])
        status[0] = 3
        return 0

    engine.on("parse_string_fn", parse)
    accel_module.parse(b"<a", False)
    accel_module.parse(b"<a", False)
    assert statuses == [0, 0]


def test_parse_file_passes_terminated_copy(engine, accel_module):
    seen = scripted_parse(engine, "parse_file", status=0)
    # A ctypes array is a bytes-like path with no terminator after its
    # last byte; the engine must still see exactly these ten bytes.
    backing = ctypes.create_string_buffer(b"/tmp/a.xmlJUNK")
    path = (ctypes.c_char * 10).from_buffer(backing)
    address, capsule, _ = accel_module.parse_file(path)
    assert address == DOC
    assert seen["data"] == b"/tmp/a.xml"


@pytest.mark.parametrize(
    "path, seen_path",
    [(b"/tmp/a\x00b.xml", b"/tmp/a"), (b"\x00", b""), (b"", b"")],
)
def test_parse_file_path_is_a_c_string(engine, accel_module, path, seen_path):
    # The engine gets the path as a NUL-terminated string: it ends at the
    # first NUL byte, and an empty path still reaches the engine.
    seen = scripted_parse(engine, "parse_file", document=0, status=5)
    assert accel_module.parse_file(path) == (None, None, 5)
    assert seen["data"] == seen_path
    assert engine.calls() == ["parse_file"]


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.parse("<a/>", False),
        lambda a: a.parse_with_encoding("<a/>", True),
        lambda a: a.parse_file("/tmp/x"),
        lambda a: a.parse_inplace("x", 1, False, 0),
    ],
)
def test_parse_argument_errors(engine, accel_module, call):
    with pytest.raises(TypeError):
        call(accel_module)
    assert engine.calls() == []


@pytest.mark.parametrize("failing_allocation", [0, 1], ids=["registry", "capsule"])
def test_document_freed_when_capsule_cannot_be_made(engine, accel_module, failing_allocation):
    """A document that cannot reach the caller is freed, not leaked."""
    testcapi = pytest.importorskip("_testcapi")
    scripted_parse(engine, "parse_string_fn")
    freed = []

    def root_then_fail(document):
        # The allocations that follow the engine's last call are the
        # registry block, then its capsule: fail exactly one of them.
        testcapi.set_nomemory(failing_allocation, failing_allocation + 1)
        return ROOT

    engine.on("document_root", root_then_fail)
    engine.on("document_free", freed.append)
    try:
        with pytest.raises(MemoryError):
            accel_module.parse(b"<a/>", False)
    finally:
        testcapi.remove_mem_hooks()
    assert freed == [DOC]


def test_document_root_registers_wrapper(engine, accel_module, doc):
    engine.returns("document_root", ROOT)
    root = accel_module.document_root(DOC, doc)
    assert root._raw == ROOT and root._ptr is None and root._document is doc
    assert engine.args_of("document_root") == [(DOC,)]
    accel_module.invalidate(doc._accel_registry)
    with pytest.raises(FakeError, match="operation on a closed document"):
        root.tag


@pytest.mark.parametrize("document", [None, object(), 42])
def test_document_root_without_registry(engine, accel_module, document):
    engine.returns("document_root", ROOT)
    root = accel_module.document_root(DOC, document)
    assert root._raw == ROOT and root._document is document


def test_document_root_none_when_engine_has_none(engine, accel_module, doc):
    assert accel_module.document_root(DOC, doc) is None


def test_iterparse_next_is_never_registered(engine, accel_module, doc):
    elements = iter([0x2000, 0x3000, 0])
    engine.on("iterparse_next", lambda it: next(elements))
    first = accel_module.iterparse_next(0x77, doc)
    second = accel_module.iterparse_next(0x77, doc)
    assert accel_module.iterparse_next(0x77, doc) is None
    assert (first._raw, second._raw) == (0x2000, 0x3000)
    assert first._document is doc and first._ptr is None
    assert engine.args_of("iterparse_next") == [(0x77,)] * 3
    accel_module.invalidate(doc._accel_registry)
    assert first._raw == 0x2000  # not poisoned


def test_close_document_frees(engine, accel_module):
    assert accel_module.close_document(DOC) is None
    assert engine.args_of("document_free") == [(DOC,)]


UNBOUND = """
attempt("parse_with_encoding", lambda: accel.parse_with_encoding(b"<a/>", True))
attempt("parse_inplace", lambda: accel.parse_inplace(1, 1, False, 0))
attempt("parse_bad_arg", lambda: accel.parse("x", False))
attempt("close_document", lambda: accel.close_document(1))
"""


def test_unbound(unbound_attempts):
    out = unbound_attempts(UNBOUND)
    assert out == {
        "parse_with_encoding": "RuntimeError: accelerator is not bound",
        "parse_inplace": "RuntimeError: accelerator is not bound",
        # Argument errors come before the not-bound error.
        "parse_bad_arg": "TypeError: a bytes-like object is required, not 'str'",
        "close_document": "None",
    }
