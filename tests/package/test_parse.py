"""Parsing entry points: inputs, options and failures."""

from __future__ import annotations

import gc
import weakref

import pytest

import korvith
from korvith.document import parse_flags


@pytest.mark.parametrize("data", [
    b"<r><c>x</c></r>",
    bytearray(b"<r><c>x</c></r>"),
    memoryview(b"<r><c>x</c></r>"),
])
def test_parse_accepts_bytes_like(data):
    with korvith.parse(data) as doc:
        assert doc.root.tag == "r"
        assert doc.root[0].text == "x"


def test_str_input_is_utf8_text():
    assert korvith.fromstring("<r>Łódź ☃</r>").text == "Łódź ☃"


def test_str_with_encoding_declaration_is_refused():
    with pytest.raises(ValueError, match="encoding declaration"):
        korvith.fromstring('<?xml version="1.0" encoding="ISO-8859-1"?><r/>')


def test_declared_encoding_of_bytes_is_honoured():
    data = '<?xml version="1.0" encoding="ISO-8859-1"?><r>café</r>'.encode("latin-1")
    with korvith.parse(data) as doc:
        assert doc.root.text == "café"


@pytest.mark.parametrize("bad", [None, 42, ["<r/>"]])
def test_parse_refuses_other_types(bad):
    with pytest.raises(TypeError, match="can only parse"):
        korvith.parse(bad)


@pytest.mark.parametrize("data, line, words", [
    (b"<a>\n<b>\n</a>", 3, "mismatch"),
    (b"<a x='1' x='2'/>", 1, "redefined"),
    (b"<a>", 1, ""),
    (b"", 1, ""),
])
def test_malformed_input_raises_parse_error_with_position(data, line, words):
    with pytest.raises(korvith.ParseError) as info:
        korvith.parse(data)
    err = info.value
    assert isinstance(err, korvith.KorvithError)
    assert err.line == line
    assert err.message
    assert words in err.message.lower()
    assert str(err).startswith(f"{line}:")


def test_recover_repairs_and_reports_status():
    with korvith.parse(b"<a><b>text</a>", recover=True) as doc:
        assert doc.recovered
        assert doc.status != 0
        assert doc.root.tag == "a"
        assert doc.root[0].text == "text"


def test_well_formed_document_is_not_recovered(shop):
    assert shop.status == 0
    assert not shop.recovered


def test_parse_file_and_missing_file(tmp_path, shop_bytes):
    path = tmp_path / "shop.xml"
    path.write_bytes(shop_bytes)
    with korvith.parse_file(path) as doc:
        assert doc.filename == str(path)
        assert [i.get("id") for i in doc.iter("item")] == ["1", "2", "3"]
    with pytest.raises(FileNotFoundError):
        korvith.parse_file(tmp_path / "missing.xml")


def test_parse_file_error_names_the_file(tmp_path):
    path = tmp_path / "bad.xml"
    path.write_bytes(b"<a>\n</b>")
    with pytest.raises(korvith.ParseError) as info:
        korvith.parse_file(path)
    assert info.value.filename == str(path)
    assert str(info.value).startswith(f"{path}:2:")


@pytest.mark.parametrize("options, expected", [
    ({}, 0),
    ({"remove_blank_text": True}, 0x01),
    ({"no_cdata": True, "huge": True}, 0x06),
    ({"huge": False}, 0),
    ({"keep_entities": True, "ns_clean": True}, 0x18),
])
def test_parse_flag_keywords(options, expected):
    assert parse_flags(options) == expected


def test_unknown_parse_option_is_a_type_error():
    with pytest.raises(TypeError, match="unknown parse option 'validate'"):
        korvith.parse(b"<r/>", validate=True)


def test_remove_blank_text_drops_indentation_text():
    data = b"<r>\n  <a/>\n  <b/>\n</r>"
    with korvith.parse(data) as kept, korvith.parse(data, remove_blank_text=True) as dropped:
        assert kept.root[0].tail == "\n  "
        assert dropped.root[0].tail is None
        assert dropped.tobytes().count(b"\n") < kept.tobytes().count(b"\n")


def test_max_depth_limits_nesting():
    deep = b"<a>" * 50 + b"</a>" * 50
    with korvith.parse(deep) as doc:
        assert doc.root.tag == "a"
    with pytest.raises(korvith.ParseError):
        korvith.parse(deep, max_depth=10)


def test_fromstring_root_keeps_document_alive():
    root = korvith.fromstring(b"<r><c>kept</c></r>")
    doc_ref = weakref.ref(root._document)
    gc.collect()
    assert doc_ref() is not None
    assert root[0].text == "kept"
    del root
    gc.collect()
    assert doc_ref() is None


class TestInplace:
    def test_parses_without_copy_and_pins_the_buffer(self):
        buf = bytearray(b"<x><y>in place</y></x>")
        doc = korvith.parse_inplace(buf)
        assert doc.root[0].text == "in place"
        with pytest.raises(BufferError):
            buf.extend(b" ")
        doc.close()
        buf.extend(b" ")  # released with the document
        assert buf.endswith(b"> ")

    def test_document_keeps_the_buffer_alive(self):
        buf = bytearray(b"<x><y>alive</y></x>")
        ref_holder = memoryview(buf)
        doc = korvith.parse_inplace(ref_holder)
        del buf, ref_holder
        gc.collect()
        assert doc.root[0].text == "alive"
        doc.close()

    @pytest.mark.parametrize("buffer, error", [
        (b"<x/>", TypeError),
        (memoryview(b"<x/>"), TypeError),
        (bytearray(), korvith.ParseError),
    ])
    def test_refuses_read_only_and_empty_buffers(self, buffer, error):
        with pytest.raises(error):
            korvith.parse_inplace(buffer)

    def test_malformed_buffer_raises(self):
        with pytest.raises(korvith.ParseError):
            korvith.parse_inplace(bytearray(b"<x><y></x>"))
