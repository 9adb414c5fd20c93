"""Serialisation of real elements and documents: indent, declaration, encoding."""

from __future__ import annotations

import ctypes

import pytest

import korvith
from conftest import Doc, SerializeOptions, accel, lib

DOC = '<r xmlns="urn:d" xmlns:p="urn:p"><p:a x="1"><b>tè</b></p:a><c/></r>'.encode()


@pytest.fixture
def doc():
    address, capsule, status = accel.parse(DOC, False)
    d = Doc(address, capsule)
    yield d
    d.close()


def test_document_defaults_to_utf8_with_declaration(doc) -> None:
    assert accel.serialize_doc(doc.address) == (
        b'<?xml version="1.0" encoding="UTF-8"?>\n' + DOC + b"\n")


@pytest.mark.parametrize(
    ("indent", "decl", "encoding", "expected"),
    [
        (0, 0, None, DOC + b"\n"),
        (2, 0, None,
         '<r xmlns="urn:d" xmlns:p="urn:p">\n  <p:a x="1">\n    <b>tè</b>\n  </p:a>\n'
         '  <c/>\n</r>\n'.encode()),
        (0, 1, "ISO-8859-1",
         '<?xml version="1.0" encoding="ISO-8859-1"?>\n'.encode() + DOC.replace(
             "è".encode(), b"\xe8") + b"\n"),
        (0, 1, "ASCII",
         b'<?xml version="1.0" encoding="ASCII"?>\n' + DOC.replace("è".encode(), b"&#232;")
         + b"\n"),
    ],
)
def test_document_options(doc, indent, decl, encoding, expected) -> None:
    assert accel.serialize_doc_opts(doc.address, indent, decl, encoding) == expected


@pytest.mark.parametrize("encoding", ["UTF-16", "UTF-32", "UTF-16LE", "no-such-encoding"])
def test_document_string_refuses_nul_producing_or_unknown_encodings(doc, encoding) -> None:
    assert accel.serialize_doc_opts(doc.address, 0, 1, encoding) is None


def test_indent_beyond_limit_is_refused(doc) -> None:
    assert accel.serialize_doc_opts(doc.address, 61, 0, None) is None
    assert accel.serialize_doc_opts(doc.address, 60, 0, None).startswith(b"<r")


def test_element_is_standalone_with_inherited_namespaces(doc) -> None:
    root = accel.document_root(doc.address, doc)
    a = root[0]
    assert accel.serialize_elem(a._raw, 0, 0) == (
        '<p:a xmlns="urn:d" xmlns:p="urn:p" x="1"><b>tè</b></p:a>'.encode())
    # The tree itself is unchanged by that.
    assert accel.serialize_doc_opts(doc.address, 0, 0, None) == DOC + b"\n"


@pytest.mark.parametrize(
    ("indent", "decl", "expected_start"),
    [
        (0, 1, b'<?xml version="1.0" encoding="UTF-8"?>\n<b xmlns="urn:d" xmlns:p="urn:p">'),
        (3, 0, b'<b xmlns="urn:d" xmlns:p="urn:p">t'),
    ],
)
def test_element_options(doc, indent, decl, expected_start) -> None:
    b = accel.document_root(doc.address, doc)[0][0]
    out = accel.serialize_elem(b._raw, indent, decl)
    assert out.startswith(expected_start)
    assert out.endswith("tè</b>".encode())


@pytest.mark.parametrize("encoding", ["UTF-16", "UTF-32"])
def test_element_refuses_nul_producing_encodings(doc, encoding: str) -> None:
    c = accel.document_root(doc.address, doc)[1]
    assert accel.serialize_elem_opts(c._raw, 0, 1, encoding) is None
    assert accel.serialize_elem_opts(c._raw, 0, 1, "UTF-8") == (
        b'<?xml version="1.0" encoding="UTF-8"?>\n<c xmlns="urn:d" xmlns:p="urn:p"/>')


def test_sizing_then_filling_and_truncation(docs) -> None:
    root = docs.root(b"<r><a>text</a></r>")
    a = lib.korvith_element_child(root, 0)
    need = lib.korvith_element_serialize_into(a, None, 0, None, None)
    assert need == len(b"<a>text</a>") + 1
    buf = ctypes.create_string_buffer(need)
    written = ctypes.c_size_t(0)
    assert lib.korvith_element_serialize_into(a, buf, need, ctypes.byref(written), None) == need
    assert buf.value == b"<a>text</a>" and written.value == need - 1
    short = ctypes.create_string_buffer(4)
    lib.korvith_element_serialize_into(a, short, 4, ctypes.byref(written), None)
    assert short.value == b"<a>" and written.value == 3


def test_filling_call_for_another_element_recomputes(docs) -> None:
    root = docs.root(b"<r><a/><bb/></r>")
    a, bb = lib.korvith_element_child(root, 0), lib.korvith_element_child(root, 1)
    assert lib.korvith_element_serialize_into(a, None, 0, None, None) == 5
    buf = ctypes.create_string_buffer(6)
    lib.korvith_element_serialize_into(bb, buf, 6, None, None)
    assert buf.value == b"<bb/>"


def test_serialize_after_set_text_escapes(mdoc) -> None:
    doc, root = mdoc(b"<r/>")
    root.text = "a<b & c>"
    assert accel.serialize_elem(root._raw, 0, 0) == b"<r>a&lt;b &amp; c&gt;</r>"


def test_null_handles() -> None:
    assert lib.korvith_document_serialize(None, None) is None
    assert lib.korvith_element_serialize_into(None, None, 0, None, None) == 0
    assert lib.korvith_element_serialize(None, None) is None
    lib.korvith_free_string(None)


def test_kept_serialisation_is_dropped_when_the_text_changes() -> None:
    with korvith.parse(b"<r><a>x</a></r>") as doc:
        a = doc.root[0]
        # a sizing call whose filling call never came (the caller ran out of
        # memory, say), then the element changes
        assert lib.korvith_element_serialize_into(a._raw, None, 0, None, None) == 9
        assert lib.korvith_element_set_text(a._raw, b"longer text") == 0
        need = lib.korvith_element_serialize_into(a._raw, None, 0, None, None)
        assert need == len(b"<a>longer text</a>") + 1
        buf = ctypes.create_string_buffer(need)
        lib.korvith_element_serialize_into(a._raw, buf, need, None, None)
        assert buf.value == b"<a>longer text</a>"
        assert a.tobytes() == b"<a>longer text</a>"
