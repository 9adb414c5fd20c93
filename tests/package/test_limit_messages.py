"""Parser limit messages name korvith's own keywords, never libxml2's
option or function names, on every path that parses."""

from __future__ import annotations

import io
from typing import Any, Callable

import pytest

import korvith

ENTITIES = (b'<!DOCTYPE r [<!ENTITY a "aaaaaaaaaa">'
            + b"".join(f'<!ENTITY {n} "{("&" + p + ";") * 10}">'.encode()
                       for p, n in zip("abcdef", "bcdefg"))
            + b"]><r>&g;&g;&g;</r>")
DEEP = b"<a>" * 300 + b"</a>" * 300

PARSERS: list[tuple[str, Callable[[bytes], Any], type[Exception]]] = [
    ("parse", korvith.parse, korvith.ParseError),
    ("parse-huge", lambda d: korvith.parse(d, huge=True), korvith.ParseError),
    ("iterparse", lambda d: list(korvith.iterparse(io.BytesIO(d))), korvith.ParseError),
    ("sax", lambda d: korvith.sax_parse(d, korvith.SaxHandler()), korvith.ParseError),
    ("schema", korvith.XMLSchema, korvith.SchemaError),
    ("xslt", korvith.XSLT, korvith.XSLTError),
]


@pytest.mark.parametrize("name,parse,error", PARSERS, ids=[p[0] for p in PARSERS])
def test_entity_amplification_message_names_no_library_api(name, parse, error) -> None:
    with pytest.raises(error) as info:
        parse(ENTITIES)
    text = str(info.value)
    assert ("Maximum entity amplification factor exceeded: the entities expand to far more "
            "text than the document holds") in text
    assert "xmlCtxt" not in text and "XML_PARSE" not in text


@pytest.mark.parametrize("name,parse,error", [p for p in PARSERS if p[0] != "sax"],
                         ids=[p[0] for p in PARSERS if p[0] != "sax"])
def test_depth_limit_message_names_the_huge_keyword(name, parse, error) -> None:
    if name == "parse-huge":
        assert parse(DEEP).root.tag == "a"  # huge=True lifts the depth limit
        return
    with pytest.raises(error) as info:
        parse(DEEP)
    text = str(info.value)
    assert "Excessive depth in document: 256, use the huge=True option to allow more" in text
    assert "XML_PARSE" not in text
