"""XPath on documents and elements, compiled expressions and XQuery."""

from __future__ import annotations

import pytest

import korvith

P = "urn:price"


@pytest.mark.parametrize("expr, expected", [
    ("count(//item)", 3.0),
    ("count(//item) = 3", True),
    ("string(//item[2]/name)", "Dark"),
    ("sum(//price)", 14.75),
    ("//item[price > 4]/@id = '3'", True),
    ("name(/*)", "shop"),
    ("string(//nothing)", ""),
])
def test_scalar_results(shop, expr, expected):
    value = shop.xpath(expr)
    assert type(value) is type(expected)
    assert value == expected


def test_node_sets_are_elements_in_document_order(shop):
    found = shop.xpath("//item | //box")
    assert [(e.tag, e.get("id")) for e in found] == [("item", "1"), ("item", "2"), ("box", None),
                                                     ("item", "3")]
    assert shop.xpath("//nothing") == []


@pytest.mark.parametrize("expr, expected", [
    ("//item/@id", ["1", "2", "3"]),
    ("//@id", ["1", "2", "3"]),
    ("//item[price > 4]/@kind", ["coffee", "tea"]),
    ("(//item)[1]/@*", ["1", "tea", "EUR"]),
    ("//item[1]/@id", ["1", "3"]),
    ("//item/@q:currency", ["EUR"]),
    ("//@q:*", ["EUR", "2027"]),
    ("//box/item/attribute::id", ["3"]),
    ("//item/@missing", []),
    ("//item[@kind='a/@b']/@id", []),
    ("@name", []),
])
def test_attribute_paths_give_values(shop, expr, expected):
    assert shop.xpath(expr, namespaces={"q": P}) == expected


def test_attribute_path_from_element_context(shop):
    assert shop.root.xpath("@name") == ["corner"]
    assert shop.root.find("box").xpath("item/@id") == ["3"]


@pytest.mark.parametrize("expr, expected", [
    ("//name/text()", ["Green", "Dark", "Black"]),   # text nodes as strings
    ("//item/@id | //box", ["1", "2", "box", "3"]),  # a union keeps every node, in order
    ("count(//@id)", 3.0),
    ("string(//item/@kind)", "tea"),
])
def test_other_non_element_results(shop, expr, expected):
    got = shop.xpath(expr)
    if isinstance(got, list):
        got = [e if isinstance(e, str) else e.tag for e in got]
    assert got == expected


def test_element_context(shop):
    box = shop.root.find("box")
    assert [e.get("id") for e in box.xpath("item")] == ["3"]
    assert [e.get("id") for e in box.xpath(".//item")] == ["3"]
    assert [e.get("id") for e in box.xpath("//item")] == ["1", "2", "3"]
    assert box.xpath("count(preceding-sibling::item)") == 2.0
    assert box.xpath("..")[0].tag == "shop"


@pytest.mark.parametrize("variables, expected", [
    ({"kind": "tea"}, ["1", "3"]),
    ({"kind": "coffee"}, ["2"]),
    ({"kind": "milk"}, []),
])
def test_string_variables(shop, variables, expected):
    assert [e.get("id") for e in shop.xpath("//item[@kind = $kind]", **variables)] == expected


@pytest.mark.parametrize("limit, expected", [(4, ["2", "3"]), (4.3, ["2"]), (100, [])])
def test_number_variables(shop, limit, expected):
    assert [e.get("id") for e in shop.xpath("//item[price > $limit]", limit=limit)] == expected


@pytest.mark.parametrize("flag, count", [(True, 3.0), (False, 0.0)])
def test_boolean_variables(shop, flag, count):
    assert shop.xpath("count(//item[$on])", on=flag) == count


def test_namespaces_and_variables_together(shop):
    found = shop.xpath("//q:offer[@q:until = $year]", namespaces={"q": P}, year="2027")
    assert [e.tag for e in found] == [f"{{{P}}}offer"]
    assert shop.xpath("//q:offer[@q:until = $year]", namespaces={"q": P}, year="1999") == []


@pytest.mark.parametrize("expr, kwargs, error, words", [
    ("//x:item", {}, korvith.XPathError, "undefined namespace prefix 'x'"),
    ("//child::x:item", {}, korvith.XPathError, "undefined namespace prefix 'x'"),
    ("//item[@id = $id]", {}, korvith.XPathError, "undefined variable $id"),
    ("//item[", {}, korvith.XPathError, "//item["),
    ("", {}, korvith.XPathError, ""),
    ("//item[@id = $id]", {"id": [1]}, TypeError, "must be bool, int, float or str"),
    ("//p:offer", {"namespaces": {"": P}}, ValueError, "no default namespace"),
])
def test_errors(shop, expr, kwargs, error, words):
    with pytest.raises(error, match=None) as info:
        shop.xpath(expr, **kwargs)
    assert words in str(info.value)


def test_prefix_inside_string_literal_is_not_a_prefix(shop):
    assert shop.xpath("count(//item[@kind = 'x:y'])") == 0.0


class TestCompiled:
    def test_reuse_across_documents_and_contexts(self, shop):
        cheap = korvith.XPath("item[price < $limit]")
        assert [e.get("id") for e in cheap(shop.root, limit=5)] == ["1"]
        assert [e.get("id") for e in cheap(shop.root.find("box"), limit=5)] == ["3"]
        with korvith.parse(b"<shop><item><price>1</price></item></shop>") as other:
            assert len(cheap(other.root, limit=5)) == 1

    def test_namespaces_bound_at_compile_time(self, shop):
        offer = korvith.XPath("//q:offer/@q:until", {"q": P})
        assert offer(shop) == ["2027"]
        assert korvith.XPath("string(//q:offer/@q:until)", {"q": P})(shop) == "2027"

    @pytest.mark.parametrize("expr", ["//item[", "1 +", "//item[@id='1'"])
    def test_compile_error_raises_at_construction(self, expr):
        with pytest.raises(korvith.XPathError) as info:
            korvith.XPath(expr)
        assert info.value.expression == expr

    @pytest.mark.parametrize("target", [None, "doc", 3])
    def test_call_needs_document_or_element(self, target):
        with pytest.raises(TypeError, match="node must be a Document or an Element"):
            korvith.XPath("/*")(target)

    def test_repr(self):
        assert repr(korvith.XPath("//a")) == "XPath('//a')"


class TestXQuery:
    def test_flwor_in_return_order(self, shop):
        found = shop.xquery("for $i in //item order by number($i/price) descending return $i")
        assert [e.get("id") for e in found] == ["2", "3", "1"]

    def test_prepared_query_on_element_context(self, shop):
        query = korvith.XQuery("for $i in item where $i/@kind = 'tea' return $i/name")
        assert [e.text for e in query(shop.root)] == ["Green"]
        assert [e.text for e in query(shop.root.find("box"))] == ["Black"]
        assert [e.text for e in shop.xquery(query, context=shop.root)] == ["Green"]

    def test_scalar_result_and_errors(self, shop):
        assert shop.xquery("count(//item)") == 3.0
        with pytest.raises(korvith.KorvithError):
            shop.xquery("for $i in return")

    def test_closed_document(self, shop_bytes):
        doc = korvith.parse(shop_bytes)
        query = korvith.XQuery("//item")
        doc.close()
        with pytest.raises(korvith.KorvithError, match="closed document"):
            query(doc)
