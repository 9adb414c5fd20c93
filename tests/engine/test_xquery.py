"""XQuery on real documents: FLWOR results, plain XPath, and clear errors for
queries outside the supported language."""

from __future__ import annotations

import math
from concurrent.futures import ThreadPoolExecutor

import pytest

import korvith
from korvith.xquery import XQuery, XQueryError

CATALOG = b"""<catalog>
  <book id="b1" year="2001"><title>Zeta</title><price>30</price></book>
  <book id="b2" year="1999"><title>Alpha</title><price>5</price><tag>old</tag></book>
  <book id="b3" year="2010"><title>Mid</title><price>12</price><tag>new</tag><tag>hot</tag></book>
  <book id="b4" year="1999"><title>Beta</title><price>12</price></book>
</catalog>"""

NS_DOC = b"""<r xmlns="urn:main" xmlns:x="urn:extra">
  <item n="2" xml:lang="de"><x:note>two</x:note></item><item n="1"><x:note>one</x:note></item>
</r>"""


def labels(result: object) -> list[str]:
    """Books by id, other elements by their text."""
    assert isinstance(result, list)
    return [e.get("id") or e.text for e in result]


@pytest.fixture
def run(mdoc):
    def evaluate(query: str, xml: bytes = CATALOG, context=None):
        doc, root = mdoc(xml)
        with XQuery(query) as q:
            address = None if context is None else context(root)._raw
            return q.evaluate(doc.address, address, doc)
    return evaluate


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        # string keys order by code point
        ("for $b in //book order by $b/title return $b", ["b2", "b4", "b3", "b1"]),
        # number() makes a key numeric; ties keep document order (stable sort)
        ("for $b in //book order by number($b/price) descending return $b",
         ["b1", "b3", "b4", "b2"]),
        # without number(), element content orders as strings: "12" < "30" < "5"
        ("for $b in //book order by $b/price return $b", ["b3", "b4", "b1", "b2"]),
        ("for $b in //book order by number($b/@year), $b/title return $b",
         ["b2", "b4", "b1", "b3"]),
        ("for $b in //book order by number($b/@year) descending, $b/title ascending return $b",
         ["b3", "b1", "b2", "b4"]),
        # empty keys sort first unless `empty greatest`; descending reverses all
        ("for $b in //book order by $b/tag[1] return $b", ["b1", "b4", "b3", "b2"]),
        ("for $b in //book order by $b/tag[1] empty greatest return $b", ["b3", "b2", "b1", "b4"]),
        ("for $b in //book order by $b/tag[1] descending return $b", ["b2", "b3", "b1", "b4"]),
        ("for $b in //book stable order by string($b/price) return $b", ["b3", "b4", "b1", "b2"]),
        ("for $b in //book order by number($b/discount) return $b", ["b1", "b2", "b3", "b4"]),
        ("for $b in //book where $b/price > 10 return $b/title", ["Zeta", "Mid", "Beta"]),
        ("for $b at $i in //book where $i mod 2 = 0 return $b", ["b2", "b4"]),
        ("for $b at $i in //book order by $b/title return //book[$i]", ["b2", "b4", "b3", "b1"]),
        ("for $b in //book let $p := number($b/price) where $p >= 12 and $p < 30 return $b",
         ["b3", "b4"]),
        ("let $cheap := //book[price < 20] for $b in $cheap return $b/title",
         ["Alpha", "Mid", "Beta"]),
        ("for $b in //book, $t in $b/tag return $t", ["old", "new", "hot"]),
        ("for $b in //book return for $t in $b/tag order by $t return $t", ["old", "hot", "new"]),
        ("for $b in //book[tag] return ($b/title, $b/tag)", ["Alpha", "old", "Mid", "new", "hot"]),
        # duplicates are kept: a sequence, not a set
        ("for $t in //tag return $t/..", ["b2", "b3", "b3"]),
        ("for $i in (3, 1, 2) return //book[$i]", ["b3", "b1", "b2"]),
        # an inner variable shadows the outer one only inside its own FLWOR
        ("for $x in //book[tag] order by $x/title descending "
         "return (for $x in $x/tag return $x, $x/title)", ["new", "hot", "Mid", "old", "Alpha"]),
        ("for $b in (for $c in //book order by $c/title return $c) where $b/tag return $b",
         ["b2", "b3"]),
        ("let $s := (for $c in //book order by $c/title descending return $c) "
         "for $b at $i in $s where $i = 1 return $b", ["b1"]),
        ("for $b in //book where $b/@id = 'none' return $b", []),
        ("(//book[1], for $b in //book[2] return $b/title)", ["b1", "Alpha"]),
        ("()", []),
        ("xquery version \"1.0\"; for $b in //book[1] return $b", ["b1"]),
        # a comment opener inside a string literal is text, not a comment
        ("for $b in //book where concat('(:', $b/@id) = '(:b3' return $b", ["b3"]),
        ("for $b in //book order by boolean($b/tag) descending, $b/title return $b",
         ["b2", "b3", "b4", "b1"]),
        # an inner FLWOR sees the outer variables in its where and order by
        ("for $y in ('1999', '2010') return for $b in //book[@year = $y] "
         "order by $b/title descending return $b", ["b4", "b2", "b3"]),
        ("((//book[4], //book[3]))", ["b4", "b3"]),
        ("(: a comment (: nested :) :) for $b in //book[1] (: here too :) return $b", ["b1"]),
    ],
)
def test_flwor_node_results(run, query: str, expected: list[str]) -> None:
    assert labels(run(query)) == expected


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ("let $n := count(//book) return $n", 4.0),
        ("for $b in //book[@id = 'b2'] return string($b/title)", "Alpha"),
        ("let $b := //book[1] return $b/price > 10", True),
        ("for $b in //book[title = 'Nope'] return string($b)", []),
        ("count(//tag)", 3.0),
        ("string(//book[3]/@year)", "2010"),
        ("sum(//price) div count(//price)", 14.75),
        ("let $s := (for $c in //book where $c/tag return $c) return count($s)", 2.0),
        ("let $s := (for $t in //tag return $t/..) return count($s)", 3.0),
    ],
)
def test_atomic_results(run, query: str, expected: object) -> None:
    result = run(query)
    assert result == expected
    assert type(result) is type(expected)


def test_plain_xpath_keeps_xpath_semantics(run) -> None:
    # A plain XPath union is a node-set in document order, duplicates merged.
    assert labels(run("//book[tag]/title | //book[1]")) == ["b1", "Alpha", "Mid"]


def test_element_names_that_are_keywords(run) -> None:
    xml = b"<r><for><return>1</return></for><for><return>2</return><where>w</where></for></r>"
    query = "for $for in //for where $for/where order by $for/return return $for/return"
    assert labels(run(query, xml)) == ["2"]
    assert labels(run("for $x in //return return $x", xml)) == ["1", "2"]


def test_relative_paths_start_at_the_context_element(run) -> None:
    assert labels(run("for $t in tag return $t", context=lambda root: root[2])) == ["new", "hot"]
    assert labels(run("book[1]", context=lambda root: root)) == ["b1"]


def test_relative_paths_without_context_start_at_the_document_node(run) -> None:
    assert labels(run("for $b in catalog/book[price = 5] return $b")) == ["b2"]


def test_declared_namespaces(run) -> None:
    query = ('declare namespace m = "urn:main"; declare namespace x = "urn:extra"; '
             "for $i in //m:item order by number($i/@n) return $i/x:note")
    assert labels(run(query, NS_DOC)) == ["one", "two"]
    assert run("string(//@xml:lang)", NS_DOC) == "de"


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ("count(//book[ends-with(title, 'ta')])", 2.0),
        ("max(//price)", 30.0),
        ("min(//price)", 5.0),
        ("avg(//book/@year)", 2002.25),
        ("string-join(//tag, ',')", "old,new,hot"),
        ("exists(//tag)", True),
        ("empty(//book[price > 100])", True),
        ("abs(-2.5)", 2.5),
        ("max(//book[price > 100]/price)", []),
    ],
)
def test_extension_functions(run, query: str, expected: object) -> None:
    assert run(query) == expected


def test_aggregate_of_non_numbers_is_nan(run) -> None:
    assert math.isnan(run("max(//title)"))


@pytest.mark.parametrize(
    ("query", "message", "column"),
    [
        ("if (//a) then 1 else 2", "if/then/else expressions are not supported", 1),
        ("for $b in //book return <b>{$b}</b>", "direct element constructors are not supported", 25),
        ("element b { 1 }", "computed constructors ('element ...{ }') are not supported", 1),
        ("//a[{1}]", "curly braces are not supported", 5),
        ("distinct-values(//title)", "function 'distinct-values()' is not supported", 1),
        ("for $b in //book return upper-case($b/title)", "function 'upper-case()' is not supported", 25),
        ("count(for $b in //book return $b)",
         "a FLWOR expression cannot be used inside an XPath expression", 7),
        ("some $b in //book satisfies $b/price > 1", "quantified expressions", 1),
        ("for $b in //book where $b/price eq 5 return $b", "value comparison 'eq' is not supported", 33),
        ("for $i in 1 to 3 return $i", "range expressions ('to') are not supported", 13),
        ("for $b in //book return $y", "undefined variable $y", 25),
        ("for $b in //book let $b2 := $b return $c", "undefined variable $c", 39),
        ("for $b in //book", "expected 'return', found end of query", 17),
        ("for $b in //book return", "expected an expression, found the end of the query", 24),
        ("for $b in //book order by $b/title", "expected 'return', found end of query", 35),
        ("for $b in //book group by $b/title return $b", "'group by' clauses are not supported", 18),
        ("for $b in //book where 1 for $c in //x return $c", "'for' or 'let' after 'where'", 26),
        ("//p:item", "namespace prefix 'p' is not declared", 3),
        ("declare function local:f() { 1 }; 1", "'declare function' is not supported", 1),
        ("(//book, //title)[1]", "cannot be followed by '['", 18),
        ("//book[", "unclosed '['", 8),
        ("'abc", "unterminated string literal", 1),
        ("//book ||", "the '||' operator is not supported", 8),
        ("for $b in //book return $b/title!string()", "the simple map operator '!' is not supported", 33),
        ("//book[1]/title +", "invalid XPath expression '//book[1]/title +'", 1),
        ("let $s := ('a', 'b') return $s", "a sequence of several atomic values cannot be bound with let", 12),
        ("let $x = 1 return $x", "expected ':=' after the let variable", 8),
        ("for $b in //book at $i return $b", "expected 'return', found 'at'", 18),
        ("xquery version \"4.0\"; 1", "unsupported XQuery version", 1),
        ("1e3", "exponent notation in numbers is not supported", 2),
    ],
)
def test_prepare_errors(query: str, message: str, column: int) -> None:
    with pytest.raises(XQueryError) as info:
        XQuery(query)
    err = info.value
    assert message in err.message
    assert (err.line, err.column) == (1, column)
    assert err.query == query


def test_prepare_error_position_on_a_later_line() -> None:
    with pytest.raises(XQueryError) as info:
        XQuery("for $b in //book\n  where $b/x\n  return $b/y eq 1")
    assert (info.value.line, info.value.column) == (3, 15)
    assert str(info.value).startswith("line 3, column 15: value comparison 'eq'")


@pytest.mark.parametrize(
    ("query", "message"),
    [
        ("for $b in //book order by $b/tag return $b",
         "the order by key '$b/tag' selected 2 nodes; a key must be a single value"),
        ("for $n in (//book[1], 7) order by $n return $n",
         "the order by key '$n' mixes numbers, strings and booleans"),
        ("let $s := (for $b in //book return string($b/@id)) return count($s)",
         "$s cannot be bound to a sequence of 4 items that holds atomic values"),
    ],
)
def test_evaluation_errors(run, query: str, message: str) -> None:
    with pytest.raises(XQueryError) as info:
        run(query)
    assert message in info.value.message
    assert (info.value.line, info.value.column) == (0, 0)


def test_prepared_query_is_reusable_across_documents(mdoc) -> None:
    doc1, _ = mdoc(CATALOG)
    doc2, _ = mdoc(b"<catalog><book id='z'><title>A</title></book></catalog>")
    q = XQuery("for $b in //book order by $b/title return $b")
    assert labels(q.evaluate(doc1.address, None, doc1)) == ["b2", "b4", "b3", "b1"]
    assert labels(q.evaluate(doc2.address, None, doc2)) == ["z"]
    assert labels(q.evaluate(doc1.address, 0, doc1)) == ["b2", "b4", "b3", "b1"]
    q.close()


def test_one_query_evaluated_from_several_threads(mdoc) -> None:
    docs = [mdoc(CATALOG)[0] for _ in range(4)]
    q = XQuery("for $b at $i in //book order by number($b/price) return //book[$i]")

    def work(doc) -> list[list[str]]:
        return [labels(q.evaluate(doc.address, None, doc)) for _ in range(200)]

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(work, docs))
    assert results == [[["b2", "b3", "b4", "b1"]] * 200] * 4
    q.close()


def test_context_from_another_document_is_refused(mdoc) -> None:
    doc1, _ = mdoc(CATALOG)
    _, root2 = mdoc(CATALOG)
    with XQuery("book") as q:
        with pytest.raises(XQueryError, match="the context element does not belong to the document"):
            q.evaluate(doc1.address, root2._raw, doc1)


def test_closed_query_refuses_evaluation(mdoc) -> None:
    doc, _ = mdoc(CATALOG)
    q = XQuery("//book")
    assert not q.closed
    q.close()
    q.close()
    assert q.closed
    with pytest.raises(ValueError, match="operation on a closed XQuery"):
        q.evaluate(doc.address, None, doc)


@pytest.mark.parametrize(("text", "error"), [(b"//a", TypeError), ("//a\0", ValueError)])
def test_query_text_must_be_a_str_without_nul(text: object, error: type) -> None:
    with pytest.raises(error):
        XQuery(text)  # type: ignore[arg-type]


@pytest.mark.parametrize("query", [
    "(" * 100_000 + "1" + ")" * 100_000,
    "(1," * 100_000 + "1" + ")" * 100_000,
    "for $x in 1 return " * 100_000 + "$x",
    "for $x in " * 100_000 + "1 return 1" * 100_000,
    "let $x := " * 100_000 + "1" + " return 1" * 100_000,
    "for $x in //* order by " + "(" * 100_000 + "1" + ")" * 100_000 + " return $x",
])
def test_deeply_nested_query_fails_to_prepare_instead_of_overflowing_the_stack(query: str) -> None:
    with pytest.raises(XQueryError, match=r"nested too deeply \(more than 200 levels\)"):
        korvith.XQuery(query)


def test_query_nested_up_to_the_limit_still_runs() -> None:
    with korvith.parse(b"<a><b/></a>") as doc:
        query = "for $x in 1 return " * 150 + "//b"
        assert [e.tag for e in doc.xquery(query)] == ["b"]
        assert doc.xquery("(" * 150 + "count(//*)" + ")" * 150) == 2.0


SMALL = b'<r><b n="1">x</b><b n="2">y</b><!--c--><?pi data?></r>'


def items(result: object) -> list[object]:
    """Elements by their n attribute (or tag), other items as they are."""
    assert isinstance(result, list)
    # The document node comes back as the document object evaluated on.
    return ["#document" if hasattr(e, "_accel_registry") else
            (e.get("n") or e.tag) if isinstance(e, korvith.Element) else e for e in result]


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        # a let-bound sequence keeps its order and duplicates however it is read
        ("let $x := (//b[2], //b[1]) return $x", ["2", "1"]),
        ("let $x := (//b[2], //b[1], //b[2]) return $x", ["2", "1", "2"]),
        ("let $x := (for $b in //b order by $b/@n descending return $b) return $x", ["2", "1"]),
        ("let $x := (//b[2], //b[1]) for $y at $i in $x return $y", ["2", "1"]),
        ("let $x := (//b[2], //b[1]) for $y at $i in $x where $i = 1 return $y", ["2"]),
        ("let $x := (//b[2], //b[1]) return ($x, //r)", ["2", "1", "r"]),
        ("let $x := (//b[2], //b[1]) let $y := $x return $y", ["2", "1"]),
        ("let $x := (//b[2], //b[1]) return $x[position() <= 2]", ["2", "1"]),
        ("let $x := (//b[2], //b[1], //b[2]) return $x[position() > 1]", ["1", "2"]),
        ("let $x := (//b[2], //b[1]) return $x[1]", ["2"]),
        ("let $x := (//b[2], //b[1]) return $x[last()]", ["1"]),
        ("let $x := (//b[2], //b[1], //b[2]) return $x[@n = '2'][2]", ["2"]),
        ("let $x := (//b[2], //b[1], //b[2]) return $x[. = 'x']", ["1"]),
        # `$x/...` is an XPath path: document order, no duplicates
        ("let $x := (//b[2], //b[1]) return $x/..", ["r"]),
        # non-element nodes come back as their string values, in return order
        ("//b/@n", ["1", "2"]),
        ("//b/text()", ["x", "y"]),
        ("//comment()", ["c"]),
        ("//processing-instruction()", ["data"]),
        ("for $b in //b order by $b/@n descending return $b/@n", ["2", "1"]),
        ("for $b in //b return ($b, $b/text())", ["1", "x", "2", "y"]),
        # the document node is the Document, as xpath() gives it
        ("/", ["#document"]),
        ("(/)", ["#document"]),
        ("for $d in (/) return $d", ["#document"]),
        ("(/, //b[1])", ["#document", "1"]),
        # several atomic values, and atomic values with nodes
        ("for $b in //b return string($b/@n)", ["1", "2"]),
        ("for $b in //b return number($b/@n)", [1.0, 2.0]),
        ("for $b in //b return ($b, $b/@n = 2)", ["1", False, "2", True]),
        ("(1, 'a', //b[1])", [1.0, "a", "1"]),
    ],
)
def test_sequences_and_node_kinds(run, query: str, expected: list[object]) -> None:
    assert items(run(query, SMALL)) == expected


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ("let $x:=2 return $x", 2.0),
        ("for $b in //b let $n:=string($b/@n) where $n = '2' return $n", "2"),
        ("string-length('&amp;')", 1.0),
        ("'&lt;&gt;&amp;&quot;&apos;'", "<>&\"'"),
        ("'&#65;&#x42;&#x10348;'", "AB\U00010348"),
        ("'it''s'", "it's"),
        ('"say ""hi"""', 'say "hi"'),
        ("concat('it''s', \" \", \"a \"\"q\"\"\")", 'it\'s a "q"'),
        # both quote characters in one value
        ("string-length('a''b\"c')", 5.0),
        ("count(//b[. = 'x''s'])", 0.0),
        ("declare namespace p = 'urn:a&amp;b'; namespace-uri(//p:none)", ""),
    ],
)
def test_binding_syntax_and_string_literals(run, query: str, expected: object) -> None:
    assert run(query, SMALL) == expected


@pytest.mark.parametrize(
    ("query", "message", "column"),
    [
        ("declare namespace xml = 'urn:x'; 1", "the prefix 'xml' is reserved", 1),
        ("declare namespace xmlns = 'urn:x'; 1", "the prefix 'xmlns' is reserved", 1),
        ("ends-with('a')", "function 'ends-with()' takes 2 arguments, not 1", 1),
        ("max(//p, 'x')", "function 'max()' takes 1 argument, not 2", 1),
        ("//b[concat('a')]", "function 'concat()' takes at least 2 arguments, not 1", 5),
        ("substring('abc', 1, 2, 3)", "function 'substring()' takes 2 to 3 arguments, not 4", 1),
        ("for $b in //b return position(1)", "function 'position()' takes 0 arguments, not 1", 22),
        ("exists(1)", "function 'exists()' needs nodes as argument 1, not an atomic value", 8),
        ("count('a')", "function 'count()' needs nodes as argument 1", 7),
        ("sum(1 + 2)", "function 'sum()' needs nodes as argument 1", 5),
        ("min(count(//b))", "function 'min()' needs nodes as argument 1", 5),
        ("string-join((1), ',')", "function 'string-join()' needs nodes as argument 1", 13),
        ("'a&b'", "invalid entity or character reference in a string literal", 3),
        ("'&#0;'", "invalid entity or character reference in a string literal", 2),
        ("'&nbsp;'", "invalid entity or character reference in a string literal", 2),
        ("let $x:y := 1 return 1", "prefixed variable names are not supported", 7),
        ("for $_.1 in //b return 1", "variable names that start with '_.' are reserved", 6),
    ],
)
def test_more_prepare_errors(query: str, message: str, column: int) -> None:
    with pytest.raises(XQueryError) as info:
        XQuery(query)
    assert message in info.value.message
    assert (info.value.line, info.value.column) == (1, column)


@pytest.mark.parametrize(
    ("query", "expected"),
    [("exists(//b)", True), ("count(//b | //c)", 2.0), ("sum(//b/@n)", 3.0),
     ("string-join(//b, '-')", "x-y"), ("name(/*)", "r"), ("let $x := //b return exists($x)", True),
     ("count((//b))", 2.0)],
)
def test_node_arguments_are_accepted(run, query: str, expected: object) -> None:
    assert run(query, SMALL) == expected
