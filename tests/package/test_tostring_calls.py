"""korvith.tostring of an element: the usual call (no options) gives what
the general path and lxml give, and every other spelling of the same call
reaches the same bytes."""

from __future__ import annotations

import pytest
from lxml import etree

import korvith

DOCUMENT = (b'<r xmlns:c="urn:c"><m name="x" c:id="gtk_x"><doc>caf\xc3\xa9 &amp; co</doc>'
            b'<p a="1"/>tail-p</m>tail-m<e/></r>')


class Truthy:
    def __bool__(self) -> bool:
        return True


class Falsy:
    def __bool__(self) -> bool:
        return False


# Each keyword set is one spelling: the fast path takes only the first ones
# (exact types and defaults), the rest go the general way.
SPELLINGS = [
    {},
    {"with_tail": True},
    {"with_tail": False},
    {"indent": 0, "declaration": False, "encoding": None},
    {"method": "xml", "pretty_print": False},
    {"with_tail": Truthy()},
    {"with_tail": Falsy()},
    {"with_tail": 1},
    {"declaration": 0},
    {"encoding": "utf-8"},
]


def _lxml(index: int, with_tail: bool) -> bytes:
    element = etree.fromstring(DOCUMENT)[index]
    return etree.tostring(element, with_tail=with_tail, encoding="utf-8")


@pytest.mark.parametrize("index", [0, 1])
@pytest.mark.parametrize("kwargs", SPELLINGS, ids=[repr(k) for k in SPELLINGS])
def test_every_spelling_gives_the_same_bytes(index: int, kwargs: dict) -> None:
    root = korvith.fromstring(DOCUMENT)
    with_tail = bool(kwargs.get("with_tail", True))
    expected = _lxml(index, with_tail)
    assert korvith.tostring(root[index], **kwargs) == expected
    assert root[index].tobytes(with_tail=with_tail) == expected


def test_usual_call_on_a_closed_document_raises_the_closed_error() -> None:
    doc = korvith.parse(DOCUMENT)
    element = doc.root[0]
    assert korvith.tostring(element) == _lxml(0, True)
    doc.close()
    with pytest.raises(korvith.KorvithError, match="closed"):
        korvith.tostring(element)
    with pytest.raises(korvith.KorvithError, match="closed"):
        korvith.tostring(element, with_tail=False)


@pytest.mark.parametrize("node", [None, b"<a/>", "x", 3])
def test_usual_call_refuses_what_is_not_a_node(node: object) -> None:
    with pytest.raises(TypeError, match="^tostring\\(\\) needs an Element or a Document"):
        korvith.tostring(node)  # type: ignore[call-overload]


def test_bool_indent_is_refused_as_before() -> None:
    with pytest.raises(ValueError, match="^indent must be an int from 0 to 60, not False$"):
        korvith.tostring(korvith.fromstring(DOCUMENT)[0], indent=False)


def test_documents_and_unicode_take_the_general_path() -> None:
    doc = korvith.parse(DOCUMENT)
    assert korvith.tostring(doc) == doc.tobytes()
    assert doc.tobytes() == DOCUMENT + b"\n"
    assert korvith.tostring(doc.root[0], encoding="unicode") == _lxml(0, True).decode()
