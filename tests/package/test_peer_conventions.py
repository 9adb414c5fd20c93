"""Conventions of ElementTree and lxml that ported scripts rely on: what
parse() accepts, parse errors, strict typed getters and navigation."""

from __future__ import annotations

import gzip
import io
import pathlib
import xml.etree.ElementTree as ET

import pytest
from lxml import etree

import korvith

SHOP = b'<shop><item id="1">tea</item><item id="2">milk</item></shop>'


# --------------------------------------------------------------- parse(source)

def _sources(tmp_path: pathlib.Path) -> list[object]:
    path = tmp_path / "shop.xml"
    path.write_bytes(SHOP)
    gz = tmp_path / "shop.xml.gz"
    gz.write_bytes(gzip.compress(SHOP))
    return [str(path), path, open(path, "rb"), io.BytesIO(SHOP), gzip.open(gz),
            io.StringIO(SHOP.decode()), SHOP, bytearray(SHOP), memoryview(SHOP)]


def test_parse_takes_what_the_peers_take(tmp_path: pathlib.Path) -> None:
    expected = [e.get("id") for e in ET.parse(io.BytesIO(SHOP)).getroot()]
    for source in _sources(tmp_path):
        with korvith.parse(source) as doc:
            assert [e.get("id") for e in doc.root] == expected, source
        if hasattr(source, "close"):
            source.close()


def test_parse_of_a_named_file_records_its_name(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "shop.xml"
    path.write_bytes(SHOP)
    assert korvith.parse(str(path)).filename == str(path)
    with open(path, "rb") as f:
        assert korvith.parse(f).filename == str(path)


def test_parse_of_xml_text_names_the_way_out() -> None:
    with pytest.raises(FileNotFoundError, match="fromstring"):
        korvith.parse("<shop/>")
    with pytest.raises(FileNotFoundError):
        korvith.parse("no-such-file.xml")
    # fromstring and XML keep taking text
    assert korvith.fromstring("<shop/>").tag == korvith.XML("<shop/>").tag == "shop"


def test_parse_options_reach_files_and_streams(tmp_path: pathlib.Path) -> None:
    data = b"<r>\n  <a/>\n</r>"
    path = tmp_path / "r.xml"
    path.write_bytes(data)
    for source in (path, io.BytesIO(data)):
        with korvith.parse(source, remove_blank_text=True) as doc:
            assert doc.root.text is None


# --------------------------------------------------------------- ParseError

BROKEN = b"<a>\n<b></a>"


def test_parse_error_is_a_syntax_error_like_the_peers() -> None:
    with pytest.raises(ET.ParseError) as et_info:
        ET.fromstring(BROKEN)
    with pytest.raises(SyntaxError) as info:
        korvith.fromstring(BROKEN)
    err = info.value
    assert isinstance(err, korvith.ParseError) and isinstance(err, korvith.KorvithError)
    assert et_info.value.position[0] == err.lineno == err.line == 2
    assert err.position == (err.lineno, err.offset) == (2, err.column) and err.offset > 0
    assert "mismatch" in err.message and str(err).startswith("2:")
    with pytest.raises(etree.XMLSyntaxError) as lx:
        etree.fromstring(BROKEN)
    assert lx.value.lineno == err.lineno


def test_parse_error_of_a_file_names_it(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "bad.xml"
    path.write_bytes(BROKEN)
    with pytest.raises(SyntaxError) as info:
        korvith.parse(path)
    assert info.value.filename == str(path) and str(info.value).startswith(f"{path}:2:")


def test_recovery_keeps_every_error_as_lxml_logs_them() -> None:
    data = b"<a><b></a><c x=1/>&undefined;</a>"
    parser = etree.XMLParser(recover=True)
    etree.fromstring(data, parser)
    theirs = [(e.line, e.column, e.message) for e in parser.error_log]
    with korvith.parse(data, recover=True) as doc:
        ours = [(e.line, e.column, e.message) for e in doc.errors]
        assert doc.status == doc.errors[0].status != 0
    assert len(ours) == len(theirs) >= 3
    assert [m for _, _, m in ours] == [m for _, _, m in theirs]
    assert [line for line, _, _ in ours] == [line for line, _, _ in theirs]
    assert korvith.parse(b"<a/>").errors == []


# --------------------------------------------------------------- typed getters

STRICT = korvith.fromstring(
    b'<r n="12" neg=" -7 " big="3000000000" bad="zz" empty="" f="1.5e3" inf="-INF" '
    b'nan="NaN" hexf="0x1p3" y="Yes" no="no" maybe="maybe"/>')


@pytest.mark.parametrize("method, name, expected", [
    ("get_int_strict", "n", 12), ("get_int_strict", "neg", -7),
    ("get_int_strict", "big", 3000000000), ("get_int_strict", "missing", None),
    ("get_float_strict", "f", 1500.0), ("get_float_strict", "inf", float("-inf")),
    ("get_float_strict", "n", 12.0), ("get_bool_strict", "y", True),
    ("get_bool_strict", "no", False), ("get_bool_strict", "missing", None),
])
def test_strict_getters_read_valid_values(method: str, name: str, expected: object) -> None:
    got = getattr(STRICT, method)(name)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("method, name", [
    ("get_int_strict", "bad"), ("get_int_strict", "empty"), ("get_int_strict", "f"),
    ("get_float_strict", "bad"), ("get_float_strict", "hexf"), ("get_float_strict", "empty"),
    ("get_bool_strict", "maybe"), ("get_bool_strict", "n"),
])
def test_strict_getters_name_attribute_and_value(method: str, name: str) -> None:
    value = STRICT.get(name)
    with pytest.raises(ValueError, match=f"attribute '{name}' .*{value!r}"):
        getattr(STRICT, method)(name)


def test_lenient_getters_keep_their_contract() -> None:
    assert STRICT.get_int("bad") == STRICT.get_int("missing") == 0
    assert STRICT.get_int("bad", 5) == 5 and STRICT.get_int_strict("missing", 5) == 5
    assert STRICT.get_float_strict("nan") != STRICT.get_float_strict("nan")  # NaN


# --------------------------------------------------------------- navigation

NAV = (b'<r xmlns:p="u"><a/><a><b/></a><p:c/><p:c><x xmlns="d"><y/><y/></x></p:c>'
       b'<z/></r>')


def _tags(items: object) -> list[str]:
    return [e.tag for e in items]  # type: ignore[attr-defined]


def test_navigation_matches_lxml() -> None:
    theirs = etree.fromstring(NAV)
    with korvith.parse(NAV) as doc:
        ours = doc.root
        pairs = list(zip(ours.iter(), theirs.iter()))
        assert len(pairs) == 10
        for mine, lx in pairs:
            assert doc.getpath(mine) == theirs.getroottree().getpath(lx)
            assert doc.getelementpath(mine) == theirs.getroottree().getelementpath(lx)
            assert mine.nsmap == lx.nsmap
            assert _tags(mine.itersiblings()) == _tags(lx.itersiblings())
            assert _tags(mine.itersiblings(preceding=True)) == \
                _tags(lx.itersiblings(preceding=True))
            assert _tags(mine.iterancestors()) == _tags(lx.iterancestors())
            assert mine.getroottree() is doc
        for args, kwargs in [((), {}), (("a",), {}), ((), {"tag": "{u}c"}),
                             (("a", "z"), {}), ((), {"reversed": True}), (("{*}c",), {})]:
            assert _tags(ours.iterchildren(*args, **kwargs)) == \
                _tags(theirs.iterchildren(*args, **kwargs))
        assert _tags(ours[1][0].iterancestors("r")) == ["r"]
        assert _tags(ours[0].itersiblings("{u}c")) == ["{u}c", "{u}c"]


def test_unexpected_keywords_name_the_method_called() -> None:
    root = korvith.fromstring(NAV)
    for call in (lambda: root.iterchildren(foo=1), lambda: root.itersiblings(foo=1),
                 lambda: root.iterancestors(foo=1)):
        with pytest.raises(TypeError, match=r"Element\.iter\w+\(\) got an unexpected"):
            call()
    with pytest.raises(ValueError, match="not in this document"):
        korvith.parse(NAV).getpath(root)
