"""Element and document serialisation, against the fake engine."""

from __future__ import annotations

import ctypes
import json

import pytest

from fake_engine import FakeError, read_cstr

EL = 0x4000
DOC = 0xD0C0


def serializer(engine, output: bytes | None, announce: int | None = None):
    """Scripts `element_serialize_into`; records each call's options."""
    seen = []

    def serialize_into(element, buf, capacity, written, options):
        if options:
            indent, declaration = ctypes.cast(options, ctypes.POINTER(ctypes.c_int32))[0:2]
            encoding = ctypes.cast(options + 8, ctypes.POINTER(ctypes.c_void_p))[0]
            seen.append((indent, declaration, read_cstr(encoding)))
        else:
            seen.append(None)
        if output is None:
            return 0
        needed = len(output) + 1 if announce is None else announce
        if buf:
            assert capacity == needed and written and written[0] == 0
            ctypes.memmove(buf, output + b"\0", len(output) + 1)
            written[0] = len(output)
        else:
            assert capacity == 0 and not written
        return needed

    engine.on("element_serialize_into", serialize_into)
    return seen


@pytest.mark.parametrize(
    "indent, declaration, options",
    [
        (0, 0, None),
        (2, 0, (2, 0, None)),
        (0, 1, (0, 1, b"UTF-8")),
        (4, 1, (4, 1, b"UTF-8")),
    ],
)
def test_serialize_elem_options(engine, accel_module, indent, declaration, options):
    seen = serializer(engine, b"<a>t</a>")
    assert accel_module.serialize_elem(EL, indent, declaration) == b"<a>t</a>"
    assert seen == [options, options]  # sizing call, then filling call
    assert [a[0] for a in engine.args_of("element_serialize_into")] == [EL, EL]


@pytest.mark.parametrize(
    "indent, declaration, encoding, options",
    [
        (0, 0, None, (0, 0, None)),
        (2, 1, None, (2, 1, None)),  # no UTF-8 filled in
        (0, 1, "ISO-8859-1", (0, 1, b"ISO-8859-1")),
    ],
)
def test_serialize_elem_opts_always_passes_record(engine, accel_module, indent, declaration,
                                                   encoding, options):
    seen = serializer(engine, b"<b/>")
    assert accel_module.serialize_elem_opts(EL, indent, declaration, encoding) == b"<b/>"
    assert seen == [options, options]


@pytest.mark.parametrize(
    "output, result, calls",
    [
        (None, None, 1),  # sizing result 0: None, no filling call
        (b"", b"", 2),  # sizing result 1: empty bytes
    ],
)
def test_serialize_elem_sizes(engine, accel_module, output, result, calls):
    serializer(engine, output)
    assert accel_module.serialize_elem(EL, 0, 0) == result
    assert len(engine.calls("element_serialize_into")) == calls


@pytest.mark.parametrize("fill_result", [0, 1, 2**64 - 1])
def test_fill_result_and_written_count_are_not_consulted(engine, accel_module, fill_result):
    def serialize_into(element, buf, capacity, written, options):
        if not buf:
            return 7
        ctypes.memmove(buf, b"<abc/>\0", 7)
        written[0] = 1
        return fill_result

    engine.on("element_serialize_into", serialize_into)
    assert accel_module.serialize_elem(EL, 0, 0) == b"<abc/>"


def test_impossible_size_is_memory_error(engine, accel_module):
    engine.returns("element_serialize_into", 2**64 - 1)
    with pytest.raises(MemoryError):
        accel_module.serialize_elem(EL, 0, 0)
    assert len(engine.calls("element_serialize_into")) == 1


def test_short_fill_never_exposes_uninitialised_bytes(engine, accel_module):
    # The engine announces 64 bytes but writes only "<c/>": the result is
    # cut at the terminator instead of carrying stale memory.
    serializer(engine, b"<c/>", announce=64)
    assert accel_module.serialize_elem(EL, 0, 0) == b"<c/>"


def test_null_slot_gives_none(accel_module):
    from fake_engine import FakeEngine

    fake = FakeEngine()
    fake.null_slots.add("element_serialize_into")
    fake.bind(FakeError)
    assert accel_module.serialize_elem(EL, 0, 0) is None
    assert accel_module.serialize_elem_opts(EL, 1, 1, "UTF-8") is None


def document_output(engine, text: bytes | None):
    """Scripts `document_serialize`; returns (handed out, freed) address lists."""
    handed, freed = [], []

    def serialize(doc, options):
        address = engine.cstr(text)
        handed.append(address)
        return address

    engine.on("document_serialize", serialize)
    engine.on("free_string", freed.append)
    return handed, freed


@pytest.mark.parametrize("text", [b"<?xml version='1.0'?>\n<r/>", b""])
@pytest.mark.parametrize("opts", [False, True])
def test_serialize_doc_copies_and_frees(engine, accel_module, text, opts):
    handed, freed = document_output(engine, text)
    if opts:
        assert accel_module.serialize_doc_opts(DOC, 0, 0, None) == text
    else:
        assert accel_module.serialize_doc(DOC) == text
        (doc, options), = engine.args_of("document_serialize")
        assert (doc, options) == (DOC, None)
    # the very string the engine handed out goes back exactly once, last
    assert freed == handed and len(handed) == 1
    assert engine.calls() == ["document_serialize", "free_string"]


def test_serialize_doc_opts_passes_record_and_frees(engine, accel_module):
    records = []

    def serialize(doc, options):
        indent, declaration = ctypes.cast(options, ctypes.POINTER(ctypes.c_int32))[0:2]
        encoding = ctypes.cast(options + 8, ctypes.POINTER(ctypes.c_void_p))[0]
        records.append((doc, indent, declaration, read_cstr(encoding)))
        return engine.cstr(b"<r/>")

    engine.on("document_serialize", serialize)
    assert accel_module.serialize_doc_opts(DOC, 3, 1, "ASCII") == b"<r/>"
    assert accel_module.serialize_doc_opts(DOC, 0, 0, None) == b"<r/>"
    assert records == [(DOC, 3, 1, b"ASCII"), (DOC, 0, 0, None)]
    assert len(engine.calls("free_string")) == 2


def test_failed_document_serialisation(engine, accel_module):
    _, freed = document_output(engine, None)
    with pytest.raises(FakeError, match="^serialization failed$"):
        accel_module.serialize_doc(DOC)
    assert accel_module.serialize_doc_opts(DOC, 0, 0, None) is None
    assert freed == []


@pytest.mark.parametrize(
    "call",
    [
        lambda a: a.serialize_elem_opts(EL, 0, 0, b"UTF-8"),
        lambda a: a.serialize_doc_opts(DOC, 0, 0, 5),
        lambda a: a.serialize_elem(EL, "0", 0),
        lambda a: a.serialize_doc("1"),
    ],
)
def test_argument_errors(engine, accel_module, call):
    with pytest.raises(TypeError):
        call(accel_module)
    assert engine.calls() == []


UNBOUND = """
import json
print(json.dumps([repr(accel.serialize_elem_opts(1, 1, 1, "UTF-8")),
                  repr(accel.serialize_doc_opts(1, 1, 1, None)),
                  repr(accel.serialize_elem(1, 2, 1)),
                  repr(accel.serialize_doc(1))]))
"""


def test_unbound(unbound):
    assert json.loads(unbound(UNBOUND)) == ["None"] * 4
