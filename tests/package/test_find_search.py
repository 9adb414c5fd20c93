"""find/findall/iter answered by the engine's tag walk, checked against
ElementTree and lxml (same elements, same order, same errors) and against
the general XPath route of the same path."""

from __future__ import annotations

import xml.etree.ElementTree as ET

import pytest
from lxml import etree

import korvith
from korvith import _find
from korvith.xpath import compile_path

# Every element has a unique id, so results compare across libraries.
TREE = b"""<r id="r" xmlns:a="urn:a" xmlns:b="urn:b">
  <a:x id="1" n="1"/>
  <x id="2" n="2"><!--c--><a:x id="3" n="3"><?pi data?><x id="4"/><b:x id="5" n="1"/></a:x></x>
  <y id="6" n="1"><a:y id="7" b:n="1"/><x id="8" n=""/></y>
  <a:z id="9"><x id="10" n="1 2"/>text<z id="11"/></a:z>
</r>"""


def ids(elements):
    return [el.get("id") for el in elements]


@pytest.fixture(scope="module")
def trees():
    doc = korvith.parse(TREE)
    yield doc.root, ET.fromstring(TREE), etree.fromstring(TREE)
    doc.close()


# Paths the engine's walk answers (child and descendant steps, each at
# most one attribute test).
SEARCH_PATHS = [
    "x", "{urn:a}x", "{*}x", "{urn:a}*", "{}*", "*", "{*}*", "./y", "./{urn:a}z",
    ".//x", ".//{urn:a}x", ".//{*}x", ".//{urn:a}*", ".//{}*", ".//*", ".//{*}y",
    ".//*[@n]", ".//*[@n='1']", ".//x[@n='']", ".//{*}x[@n='1']", './/*[@n="1 2"]',
    ".//*[@{urn:b}n='1']", ".//*[@{urn:b}n]", ".//x[ @n = '2' ]", ".//nothing", "{urn:c}x",
    ".//*[@n!='1']", ".//a:x", "a:*",
    ".//x/x", ".//{urn:a}x/x", "x//x", "*//x[@n]", "y/*", "*/{*}x", "*/{}*", ".//{}*/x",
    "x/{urn:a}x/{*}x[@n='1']", ".//*/x", "./{*}z//z", "*//*[@n='1']", "y//x/nothing",
]
# Paths that still go through XPath (other predicates, "." or ".." inside).
XPATH_PATHS = [
    ".//x[1]", ".//x[last()]", ".//y[x]", ".//x[@n='1'][@id]", ".//{urn:a}x/..",
    "x/./{urn:a}x", ".//x[.='']",
]
# Paths whose steps can reach an element twice: ElementTree yields it each
# time, in the order its nested loops meet it; korvith (as XPath) once, in
# document order.
NESTED_PATHS = [".//{*}x//{*}x", "*//*", ".//*//x", "{*}x//*/{*}x"]


def in_document_order_once(elements, root):
    order = {id(el): i for i, el in enumerate(root.iter())}
    unique = {id(el): el for el in elements}
    return sorted(unique.values(), key=lambda el: order[id(el)])


@pytest.mark.parametrize("path", NESTED_PATHS)
def test_nested_paths_give_each_element_once_in_document_order(trees, path):
    k, e, _ = trees
    assert compile_path(path).search is not None
    want = ids(in_document_order_once(e.findall(path), e))
    assert ids(k.findall(path)) == want == ids(k.xpath(compile_path(path).xpath))
    assert k.find(path).get("id") == want[0]


@pytest.mark.parametrize("path", SEARCH_PATHS + XPATH_PATHS)
def test_findall_and_find_match_elementtree(trees, path):
    k, e, _ = trees
    ns = {"a": "urn:a"}
    want = ids(e.findall(path, ns))
    assert ids(k.findall(path, ns)) == want
    assert ids(k.iterfind(path, ns)) == want
    first = k.find(path, ns)
    assert (first.get("id") if first is not None else None) == (want[0] if want else None)
    assert k.findtext(path, "-", ns) == e.findtext(path, "-", ns)


@pytest.mark.parametrize("path", SEARCH_PATHS)
def test_search_paths_take_the_engine_walk_and_agree_with_xpath(trees, path):
    k = trees[0]
    compiled = compile_path(path, {"a": "urn:a"})
    assert compiled.search is not None
    slow = k.xpath(compiled.xpath, namespaces=compiled.namespaces)
    assert ids(k.findall(path, {"a": "urn:a"})) == ids(slow)


@pytest.mark.parametrize("path", [".//{*}x", ".//{urn:a}*", ".//*[@n='1']", "{*}x", ".//x"])
def test_search_paths_match_lxml(trees, path):
    k, _, l = trees
    assert ids(k.findall(path)) == ids(l.findall(path))
    assert ids([k.find(path)]) == ids([l.find(path)])


@pytest.mark.parametrize("path", XPATH_PATHS + [".//x[2]", ".//c:x", ".//x[@a:n]", "a///b"])
def test_other_paths_keep_the_xpath_route(path):
    assert compile_path(path, {"a": "urn:a"}).search is None


@pytest.mark.parametrize(("path", "xpath"), [
    (".//x[@n]", "./descendant::x[@n]"),
    ("a//b/c", "a/descendant::b/c"),
    (".//b[1]", ".//b[1]"),                   # positional: "//" keeps its meaning
    (".//b[last()]", ".//b[last()]"),
    (".//b[c][2]", ".//b[c][2]"),
    (".//..", ".//.."),
])
def test_descendant_steps_become_the_descendant_axis_unless_positional(path, xpath):
    compiled = compile_path(path, {"a": "urn:a"})
    assert compiled.xpath == xpath


def test_default_namespace_applies_to_names_not_to_star_or_attributes(trees):
    k, e, _ = trees
    ns = {"": "urn:a"}
    for path in ["x", ".//x", ".//*[@n='1']", "*", ".//y[@b:n='1']"]:
        nsb = {**ns, "b": "urn:b"}
        assert ids(k.findall(path, nsb)) == ids(e.findall(path, nsb)), path


@pytest.mark.parametrize("tags", [
    ("{*}x",), ("{urn:a}*",), ("{}*",), ("{*}*",), ("x", "{urn:a}y"), ("{*}y", "z", "{urn:b}x"),
    ("x", "*"), ("nothing", "{urn:c}*"), (None, "{*}z"), ("x", "x"),
    ("x",), ("{urn:a}x",), ("{}x",), ("{urn:a}nothing",), ("*",),
])
def test_iter_with_wildcards_and_several_tags_matches_lxml(trees, tags):
    k, _, l = trees
    assert ids(k.iter(*tags)) == ids(l.iter(*tags))
    assert ids(k.iterdescendants(*tags)) == ids(l.iterdescendants(*tags))
    inner_k, inner_l = k.find("x"), l.find("x")
    assert ids(inner_k.iter(*tags)) == ids(inner_l.iter(*tags))
    assert ids(inner_k.iterdescendants(*tags)) == ids(inner_l.iterdescendants(*tags))


@pytest.mark.parametrize(("key", "want"), [("{urn:a}x", "1"), ("{*}x", "1"), ("{}*", "2"),
                                           ("{urn:a}*", "1"), ("{urn:b}*", None)])
def test_child_lookup_by_wildcard_key(trees, key, want):
    k = trees[0]
    assert (key in k) is (want is not None)
    if want is None:
        with pytest.raises(KeyError):
            k[key]
    else:
        assert k[key].get("id") == want


def test_found_elements_are_registered_wrappers_of_the_document():
    doc = korvith.parse(TREE)
    found = doc.root.find(".//{urn:a}x")
    walked = next(doc.root.iter("{*}z", "{urn:b}x"))
    listed = doc.root.findall(".//{*}x")
    doc.close()
    for el in (found, walked, *listed):
        with pytest.raises(korvith.KorvithError, match="closed document"):
            el.tag


@pytest.mark.parametrize("call", [
    lambda el: el.find(".//{*}x"), lambda el: el.findall("{urn:a}x"),
    lambda el: el.find(".//*[@n='1']"), lambda el: el.iter("{*}x"),
    lambda el: el.iter("x", "y"), lambda el: el.iterdescendants("{urn:a}*"),
    lambda el: el["{*}x"],
])
def test_closed_document_and_empty_wrapper_raise(call):
    doc = korvith.parse(TREE)
    root = doc.root
    doc.close()
    with pytest.raises(korvith.KorvithError, match="operation on a closed document"):
        call(root)
    with pytest.raises(korvith.KorvithError, match="element has no engine node"):
        call(korvith.Element())


def test_closing_during_a_walk_stops_it():
    doc = korvith.parse(TREE)
    it = doc.root.iter("{*}x", "y")
    assert next(it).get("id") == "1"
    doc.close()
    with pytest.raises(korvith.KorvithError, match="closed document"):
        list(it)


@pytest.mark.parametrize("path", ["", "/x", "x/", ".//x[", "x]", ".//{urn:a", ".//x[@n='1'"])
def test_bad_paths_raise_syntax_error(trees, path):
    k, _, l = trees
    with pytest.raises(SyntaxError):
        k.findall(path)
    with pytest.raises(SyntaxError):
        k.find(path)
    if path in ("", "/x", ".//x["):  # where lxml raises the same
        with pytest.raises(SyntaxError):
            l.findall(path)


@pytest.mark.parametrize(("tags", "error", "match"), [
    ((1,), TypeError, "tag must be str"),
    (("x", b"y"), TypeError, "tag must be str"),
    (("x", ""), ValueError, "empty tag"),
    (("{*}x", "{urn:a}"), ValueError, "invalid tag"),
    (("{*}x", "a\0b"), ValueError, "invalid tag"),
])
def test_bad_tags_raise_before_iterating(trees, tags, error, match):
    with pytest.raises(error, match=match):
        trees[0].iter(*tags)


def _walk_and_edit(root, make):
    seen = []
    for el in root.iter("{*}x", "{*}y", "z"):
        seen.append(el.get("id"))
        if el.get("id") == "2":
            root.remove(root[2])                # drops y (6) and its subtree (7, 8)
        if el.get("id") == "10":
            make(el.getparent(), "{urn:b}x", id="new")  # appended after z (11)
    return seen


def test_edits_during_a_wildcard_walk_go_on_like_lxml():
    seen_k = _walk_and_edit(korvith.fromstring(TREE), korvith.SubElement)
    seen_l = _walk_and_edit(etree.fromstring(TREE), etree.SubElement)
    assert seen_k == seen_l == ["1", "2", "3", "4", "5", "10", "11", "new"]


def test_attribute_values_made_of_several_nodes_are_compared_whole():
    data = b'<!DOCTYPE r [<!ENTITY e "mid">]><r><x id="1" v="a&e;z"/><x id="2" v="amid"/></r>'
    root = korvith.fromstring(data, keep_entities=True)
    assert ids(root.findall(".//x[@v='amidz']")) == ["1"]
    assert ids(root.findall(".//x[@v!='amidz']")) == ["2"]


@pytest.mark.parametrize(("test", "error", "match"), [
    ((0, 0, None, "x", None, None), TypeError, "tag test"),
    ((0, 9, None, "x", None, None, None), ValueError, "attribute condition"),
    ((0, 0, None, "x\0y", None, None, None), ValueError, "NUL"),
    ((0, 0, b"urn", "x", None, None, None), TypeError, "str or None"),
    ([0, 0, None, "x", None, None, None], TypeError, "7-tuple"),
])
def test_tag_tests_reject_malformed_tests(test, error, match):
    with pytest.raises(error, match=match):
        _find.tag_tests([test])


def test_searches_check_their_arguments(trees):
    k = trees[0]
    tests = _find.tags_tests(("x",))
    with pytest.raises(TypeError):
        _find.first(object(), tests, 0)
    with pytest.raises(TypeError):
        _find.find_all(k, ("x",), 0)
    with pytest.raises(ValueError, match="axis"):
        _find.walk(k, tests, 3)
    assert ids(_find.find_all(k, _find.tag_tests([]), 0)) == ["1", "2", "6", "9"]


def test_deeply_nested_paths_stay_linear():
    depth = 250
    data = ("<x>" * depth + "</x>" * depth).encode()
    root = korvith.fromstring(data)
    path = ".//x//x//x//x//x"
    found = root.findall(path)
    assert len(found) == depth - 5  # each element once: the five below the top are too shallow
    assert found == root.xpath(compile_path(path).xpath)
    assert root.find(path) == found[0]


@pytest.mark.parametrize("tags", [("a*b", "{*}x"), ("{urn:a}x*", "y"), ("p:x", "{*}z")])
def test_tags_that_are_no_names_match_nothing(trees, tags):
    k, _, l = trees
    assert ids(k.iter(*tags)) == ids(l.iter(*tags))
    assert ids(k.iter(tags[0], "nothing")) == []


@pytest.mark.parametrize("kind", ["TagTests", "FindCursor"])
def test_search_types_are_made_only_by_the_module(kind):
    from korvith import _korvithedit

    with pytest.raises(TypeError):
        getattr(_korvithedit, kind)()
