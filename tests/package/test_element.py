"""Element methods as users of ElementTree expect them."""

from __future__ import annotations

import xml.etree.ElementTree as ET

import pytest

import korvith

P = "urn:price"


def _ids(elements):
    return [(e.tag, e.get("id")) for e in elements]


@pytest.fixture
def et_root(shop_bytes):
    return ET.fromstring(shop_bytes)


# ElementTree paths answered the same way by korvith and ElementTree.
PATHS = [
    "item", "box/item", "*/item", ".//item", ".//name", "item/name", "*", ".",
    "item[@kind='tea']", "item[@kind]", "item[note]", ".//item[name='Black']",
    "item[2]", "item[last()]", "box/..", "{urn:price}offer", "{*}offer", ".//{urn:price}offer",
    ".//item[@id='3']/price", "nothing", "item/nothing",
]


@pytest.mark.parametrize("path", PATHS)
def test_findall_matches_elementtree(shop, et_root, path):
    assert _ids(shop.root.findall(path)) == _ids(et_root.findall(path))


@pytest.mark.parametrize("path", PATHS)
def test_find_matches_elementtree(shop, et_root, path):
    mine, theirs = shop.root.find(path), et_root.find(path)
    assert (mine is None) == (theirs is None)
    if mine is not None:
        assert (mine.tag, mine.get("id")) == (theirs.tag, theirs.get("id"))


@pytest.mark.parametrize("path, default, expected", [
    ("item/name", None, "Green"),
    ("box/item/price", None, "4.25"),
    ("item[@id='2']/note", None, "strong"),
    ("missing", "dflt", "dflt"),
    ("missing", None, None),
    ("box", None, ""),
])
def test_findtext(shop, path, default, expected):
    assert shop.root.findtext(path, default) == expected


def test_find_with_prefixes_and_default_namespace():
    root = korvith.fromstring(b"<r xmlns='urn:d' xmlns:q='urn:q'><a/><q:b><a/></q:b></r>")
    assert root.find("a") is None  # plain names are in no namespace
    assert root.find("d:a", {"d": "urn:d"}).tag == "{urn:d}a"
    assert root.find("{urn:q}b/{urn:d}a").tag == "{urn:d}a"
    assert [e.tag for e in root.findall("a", {"": "urn:d"})] == ["{urn:d}a"]
    assert len(root.findall(".//a", {"": "urn:d"})) == 2


@pytest.mark.parametrize("path, error", [
    ("/shop", SyntaxError),
    ("", SyntaxError),
    ("item/", SyntaxError),
    ("item[@id='1'", SyntaxError),
    ("x:item", korvith.XPathError),
])
def test_bad_paths(shop, path, error):
    with pytest.raises(error):
        shop.root.findall(path)


def test_document_find_accepts_rooted_paths(shop):
    assert [i.get("id") for i in shop.findall("//item")] == ["1", "2", "3"]
    assert shop.findtext("item/price") == "3.5"


ALL_TAGS = ["shop", "item", "name", "price", "item", "name", "price", "note", "box", "item",
            "name", "price", "{urn:price}offer", "b"]


@pytest.mark.parametrize("args, expected", [
    ((), ALL_TAGS),
    (("*",), ALL_TAGS),
    (("item",), ["item", "item", "item"]),
    (("{urn:price}offer",), ["{urn:price}offer"]),
    (("{*}offer",), ["{urn:price}offer"]),
    (("{urn:price}*",), ["{urn:price}offer"]),
    (("offer",), []),
    (("note", "b"), ["note", "b"]),
])
def test_iter_tag_forms(shop, args, expected):
    assert [e.tag for e in shop.root.iter(*args)] == expected


@pytest.mark.parametrize("tag", [None, "*", "item", "name", "{urn:price}offer", "offer", "b"])
def test_iter_matches_elementtree(shop, et_root, tag):
    assert [e.tag for e in shop.root.iter(tag)] == [e.tag for e in et_root.iter(tag)]


def test_iter_stays_in_subtree(shop):
    box = shop.root.find("box")
    assert [e.tag for e in box.iter()] == ["box", "item", "name", "price"]
    assert [e.tag for e in box.iterdescendants()] == ["item", "name", "price"]


def test_children_iteration_and_len(shop):
    root = shop.root
    tags = [c.tag for c in root]
    assert tags == ["item", "item", "box", "{urn:price}offer"]
    assert [c.tag for c in root.children()] == tags
    assert len(root) == 4
    assert [c.tag for c in root.iterchildren()] == tags


class TestIndexing:
    def test_positions_and_slices(self, shop):
        root = shop.root
        assert root[0].get("id") == "1"
        assert root[-1].tag == "{urn:price}offer"
        assert [e.tag for e in root[1:3]] == ["item", "box"]

    @pytest.mark.parametrize("key, expected", [
        ("item", ("item", "1")),
        ("box", ("box", None)),
        ("{urn:price}offer", ("{urn:price}offer", None)),
        ("{*}offer", ("{urn:price}offer", None)),
    ])
    def test_tag_keys_give_first_child(self, shop, key, expected):
        el = shop.root[key]
        assert (el.tag, el.get("id")) == expected

    @pytest.mark.parametrize("key, expected", [
        ("@name", "corner"),
        ("@{urn:price}until", None),
    ])
    def test_attribute_keys(self, shop, key, expected):
        if expected is None:
            assert shop.root["{urn:price}offer"][key] == "2027"
        else:
            assert shop.root[key] == expected

    @pytest.mark.parametrize("key, error", [
        ("@missing", KeyError),
        ("missing", KeyError),
        ("offer", KeyError),
        (1.5, TypeError),
        (None, TypeError),
        (99, IndexError),
    ])
    def test_missing_keys(self, shop, key, error):
        with pytest.raises(error):
            shop.root[key]

    def test_contains(self, shop):
        root = shop.root
        assert "box" in root
        assert "nothing" not in root
        assert root[2] in root
        assert root[2][0] not in root


def test_equality_and_hash_follow_the_engine_node(shop):
    root = shop.root
    first = root[0]
    again = root.find("item")
    assert first is not again
    assert first == again
    assert hash(first) == hash(again)
    assert first != root[1]
    assert len({first, again, root[1]}) == 2
    assert first.getparent() == root


def test_element_is_true_without_children(shop):
    leaf = shop.root.find("item/name")
    assert len(leaf) == 0
    assert bool(leaf) is True


def test_repr_shows_clark_tag(shop):
    offer = shop.root["{urn:price}offer"]
    assert repr(offer).startswith("<Element {urn:price}offer at 0x")
    assert repr(korvith.Element()).startswith("<Element (empty) at 0x")


def test_attribute_pairs(shop):
    item = shop.root[0]
    assert item.attribute_pairs() == [("id", "1"), ("kind", "tea"), (f"{{{P}}}currency", "EUR")]
    assert item.attribute_pairs(ns=True) == [("id", "1", None, None), ("kind", "tea", None, None),
                                             ("currency", "EUR", "p", P)]


PLAIN = b"<list><item id='3' kind='tea'><name>Black</name><price>4.25</price></item></list>"


@pytest.mark.parametrize("kwargs, expected", [
    ({}, b'<item id="3" kind="tea"><name>Black</name><price>4.25</price></item>'),
    ({"indent": 2}, b'<item id="3" kind="tea">\n  <name>Black</name>\n  <price>4.25</price>\n'
                    b'</item>'),
])
def test_element_tobytes(kwargs, expected):
    with korvith.parse(PLAIN) as doc:
        assert doc.root[0].tobytes(**kwargs).rstrip(b"\n") == expected


def test_namespaced_fragment_serializes_standalone(shop):
    until = shop.root["{urn:price}offer"].tobytes()
    again = ET.fromstring(until)
    assert again.tag == "{urn:price}offer"
    assert again.get("{urn:price}until") == "2027"
    assert "".join(again.itertext()) == "half price today"


@pytest.mark.parametrize("indent", [-1, 1.5, True])
def test_tobytes_refuses_bad_indent(shop, indent):
    with pytest.raises(ValueError, match="indent"):
        shop.root.tobytes(indent=indent)


def test_document_tobytes_options(shop):
    plain = shop.tobytes()
    assert plain.startswith(b"<shop")
    declared = shop.tobytes(declaration=True)
    assert declared.startswith(b"<?xml")
    latin = korvith.fromstring("<r>café</r>")._document.tobytes(encoding="ISO-8859-1",
                                                                declaration=True)
    assert b"caf\xe9" in latin
    assert b"ISO-8859-1" in latin


def test_tostring_unicode_and_bytes():
    name = korvith.fromstring(PLAIN).find("item/name")
    assert korvith.tostring(name, encoding="unicode") == "<name>Black</name>"
    assert korvith.tostring(name) == b"<name>Black</name>"


def test_round_trip_through_elementtree(shop, et_root):
    again = ET.fromstring(shop.tobytes())
    assert [e.tag for e in again.iter()] == [e.tag for e in et_root.iter()]
    assert [e.text for e in again.iter()] == [e.text for e in et_root.iter()]
