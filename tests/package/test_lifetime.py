"""Closing documents: every element becomes unusable, nothing crashes."""

from __future__ import annotations

import gc
import weakref

import pytest

import korvith

CLOSED = "operation on a closed document"

# Every way a user can touch an element after its document was closed.
ELEMENT_USES = {
    "tag": lambda el: el.tag,
    "text": lambda el: el.text,
    "attrib": lambda el: el.attrib,
    "get": lambda el: el.get("id"),
    "len": lambda el: len(el),
    "index": lambda el: el[0],
    "name key": lambda el: el["item"],
    "attribute key": lambda el: el["@name"],
    "children": lambda el: el.children(),
    "iteration": lambda el: list(el),
    "iter": lambda el: list(el.iter()),
    "iter tag": lambda el: list(el.iter("item")),
    "find": lambda el: el.find("item"),
    "find path": lambda el: el.find("box/item"),
    "findall xpath": lambda el: el.findall(".//item"),
    "findtext": lambda el: el.findtext("item/name"),
    "find_path": lambda el: el.find_path("box", "item"),
    "xpath": lambda el: el.xpath("count(*)"),
    "tobytes": lambda el: el.tobytes(),
    "attribute_pairs": lambda el: el.attribute_pairs(),
    "getparent": lambda el: el.getparent(),
    "itertext": lambda el: list(el.itertext()),
}


@pytest.mark.parametrize("use", ELEMENT_USES.values(), ids=ELEMENT_USES.keys())
def test_element_of_closed_document_raises(shop_bytes, use):
    doc = korvith.parse(shop_bytes)
    root = doc.root
    use(root)  # works while open
    doc.close()
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        use(root)


DOCUMENT_USES = {
    "root": lambda d: d.root,
    "xpath": lambda d: d.xpath("//item"),
    "tobytes": lambda d: d.tobytes(),
    "find": lambda d: d.find("item"),
    "iter": lambda d: list(d.iter("item")),
    "compiled xpath": lambda d: korvith.XPath("//item")(d),
}


@pytest.mark.parametrize("use", DOCUMENT_USES.values(), ids=DOCUMENT_USES.keys())
def test_closed_document_raises(shop_bytes, use):
    doc = korvith.parse(shop_bytes)
    use(doc)
    doc.close()
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        use(doc)


def test_context_manager_closes_and_close_is_idempotent(shop_bytes):
    with korvith.parse(shop_bytes) as doc:
        items = doc.root.findall("item")
        assert not doc.closed
    assert doc.closed
    doc.close()
    assert doc.closed
    assert [repr(i).startswith("<Element (closed document) at 0x") for i in items] == [True, True]


def test_elements_from_every_source_are_poisoned(shop):
    root = shop.root
    made = [root, root[0], root.find("box"), root[0].getnext(), *root.iter("name"),
            *shop.xpath("//price"), *root.children()]
    shop.close()
    for el in made:
        with pytest.raises(korvith.KorvithError, match=CLOSED):
            el.tag


def test_subtree_iterator_stops_when_document_closes(shop_bytes):
    doc = korvith.parse(shop_bytes)
    walk = doc.root.iter()
    assert next(walk).tag == "shop"
    doc.close()
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        next(walk)


def test_forgotten_document_is_freed_once_no_element_remains(shop_bytes):
    doc = korvith.parse(shop_bytes)
    ref = weakref.ref(doc)
    item = doc.root[0]
    del doc
    gc.collect()
    assert ref() is not None, "an element keeps its document"
    assert item.get("id") == "1"
    del item
    gc.collect()
    assert ref() is None


def test_many_documents_open_and_close():
    for i in range(300):
        with korvith.parse(b"<r><c n='%d'/></r>" % i) as doc:
            assert doc.root[0].get_int("n") == i


def test_repr_of_document(shop):
    assert repr(shop).startswith("<korvith.Document at 0x")
    shop.close()
    assert repr(shop) == "<korvith.Document closed>"
