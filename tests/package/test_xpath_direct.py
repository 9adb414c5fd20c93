"""Simple location paths answered by the engine's direct evaluator.

Every expression here is checked three ways: as written (the direct
evaluator, when it is inside the subset), wrapped in parentheses (always
libxml2's evaluator: a filter expression is outside the subset) and with
lxml. The elements must be the same, in the same order. The engine's
``xpath_last_fast`` flag shows which evaluator answered, so a path that
silently goes back to the slow evaluator fails here.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from lxml import etree

import korvith
from korvith._engine import ext

NS = {"p": "urn:p", "q": "urn:q", "d": "urn:d"}
# Fewer generated cases under the sanitizers, which slow every call down.
EXAMPLES = 40 if "libasan" in os.environ.get("LD_PRELOAD", "") else 150

DOCS: dict[str, bytes] = {
    "plain": (b'<r><a id="1"><b>x</b><b>y</b></a><a id="2"><c/><b>x</b></a>'
              b'<c><a id="3"><a id="4"><b>z</b></a></a></c><b><c><b/></c></b></r>'),
    "default_ns": (b'<r xmlns="urn:d" xmlns:q="urn:q"><a q:id="1"><b>x</b></a>'
                   b'<q:a id="2"><b xmlns="">y</b><q:b>x</q:b></q:a>'
                   b'<a><a q:id="3"><b>x</b></a></a><b xmlns="">free</b></r>'),
    "mixed": (b'<r>t1<a>one<b>two</b>three</a><!--c--><?pi data?>'
              b'<a><![CDATA[one]]>two<b/>three</a><a>one<!--x-->two<?p?>three</a>'
              b'<b>x<a>y</a></b><a/><a></a><c>&lt;&amp;&#233;</c></r>'),
    "attrs": (b'<r xmlns:p="urn:p" xmlns:q="urn:q"><a p:k="v" k="w"/><a k="v"/>'
              b'<a q:k="v"/><a p:k="w" p:j=""/><a k=""/><b><a k="v" p:k="v"/></b>'
              b'<a xml:lang="en" k="a&amp;b"/><c k="v"><a k="x y"/></c></r>'),
    "nested": (b'<a><a><b><a><b/></a></b></a><b><b><a/></b></b>'
               b'<c><a><c><a><b/></a></c></a></c></a>'),
    "dtd": (b'<!DOCTYPE r [<!ENTITY e "<x k=\'v\'>in</x>"><!ENTITY t "text">]>'
            b'<r><a>&e;</a><a>&t;</a><x k="v">out</x><a>text</a></r>'),
    "prefixes": (b'<p:r xmlns:p="urn:p" xmlns:p2="urn:p"><p2:a><p:b/></p2:a>'
                 b'<a xmlns="urn:p"><b k="1"/></a><q:a xmlns:q="urn:q"><b/></q:a></p:r>'),
}

# Inside the subset: the direct evaluator answers these.
DIRECT = [
    "/r", "/r/a", "r/a", "//a", "//b", "//*", "/*", "/*/*", "/*/*/*", "//a//b", "//a/b",
    "//a//a", "//b//b", "//a/*", "//*/b", "/r//b", "/r/a/b", "r//a/b", ".//a", "./r/a",
    "/./r/./a", "//a/.", "//a[b]", "//a[c]", "//a[b/b]", "//a[a/b]", "//*[b]", "//a[*]",
    "//a[@id]", "//a[@k]", "//a[@p:k]", "//a[@xml:lang]", "//a[@k='v']", "//a[@k=\"v\"]",
    "//a[@k!='v']", "//a[@k='']", "//a[@p:k='v']", "//a[b='x']", "//a[b!='x']",
    "//a[b='two']", "//a[b='']", "//*[a='y']", "//c[a/b='z']", "//a[@k='a&b']",
    "//a[@k='x y']", "//a[@id='1' or @id='3']", "//a[@id and b]", "//a[b and c or @id='4']",
    "//a[(b or c) and @id]", "//a[ @id = '2' ]", "//a[b][@id]", "//a[b][c]", "//p:a",
    "//q:a", "//p:*", "//q:*", "//d:a", "//d:a/d:b", "//d:a[d:b='x']", "//q:a/b",
    "//*[@q:id]", "//d:*[@q:id='3']", "/d:r/q:a/q:b", "//p:b[@k='1']", "//p:a/p:b",
    "/*/a", "//x", "//x[@k='v']", "//a[x]", "//b[c/b]", "//a[@id='3']//b", "//c//a//b",
    "//a//c//a", "//a[b]//b", "//a[a]/a", "//a-b", "//a.b", "//_x",
    # String values: text and CDATA of all descendants, without comments and PIs.
    "/r[a='onetwothree']", "/r/a[b='two' or c][@k!='v' or b]", "//*[c='<&é']",
    "//*[a!='y']", "//a[b/b='']",
]

# Node-set expressions outside the subset: libxml2 answers them.
FALLBACK = [
    "(//a)", "//a[1]", "//a[last()]", "//a | //b", "//a/..", "//b/parent::*",
    "child::r", "//a[b][1]", "//*[@*]", "//a[@id>1]", "//a[count(b)=2]", "//a[.='x']",
    "//a['v'=@k]", "//a[b//b]", "//a[b[c]]", "//a[@*='v']", "//a[not(b)]", "//a [b]",
    "/ r", "//a[ b ]/ b", "//node()", "//a/self::a", "//.", "//a[@p:*]", "//a[@*]",
    "//a[and]", "//a[./b]", "//a[/r]", "//a[b=1]", "//a[b='x'='x']", "id('x')",
    "//a[starts-with(@k,'v')]", "//a/descendant::b", "//a[b=1]", "//a[b = 'x']/b[1]",
]


def from_document(expr: str) -> str:
    """``expr`` with the document node as its context, written absolute."""
    if expr.startswith(("/", "(", "id(")):
        return expr
    for head in (".//", "./"):
        if expr.startswith(head):
            return "/" + expr[len(head) - 1:].lstrip("/") if head == "./" else "//" + expr[3:]
    return "/" + expr


def last_fast() -> int:
    return int(ext.xpath_last_fast())


def order(elements: list[Any], everything: list[Any]) -> list[int]:
    """Positions of the elements among ``elements`` (an XPath result) in
    document order (``everything``); other nodes and values are left out."""
    where = {e: i for i, e in enumerate(everything)}
    return [where[e] for e in elements
            if isinstance(e, (korvith.Element, etree._Element)) and isinstance(e.tag, str)]


class Both:
    """One document parsed by korvith and by lxml, with its elements in
    document order on both sides."""

    def __init__(self, data: bytes) -> None:
        self.doc = korvith.parse(data)
        self.tree = etree.ElementTree(etree.fromstring(data))
        self.k_all = list(self.doc.iter())
        self.l_all = [e for e in self.tree.iter() if isinstance(e.tag, str)]
        assert [e.tag for e in self.k_all] == [e.tag for e in self.l_all]

    def korvith(self, expr: str, context: int | None = None) -> tuple[list[int], int]:
        node = self.doc if context is None else self.k_all[context]
        found = node.xpath(expr, namespaces=NS)
        return order(found, self.k_all), last_fast()

    def lxml(self, expr: str, context: int | None = None) -> list[int]:
        if context is None:
            # lxml evaluates a tree's XPath with the root element as context;
            # korvith's document context is the document node.
            return order(self.tree.xpath(from_document(expr), namespaces=NS), self.l_all)
        return order(self.l_all[context].xpath(expr, namespaces=NS), self.l_all)

    def check(self, expr: str, context: int | None = None) -> tuple[list[int], int]:
        """The answer as written, after checking it against libxml2's
        evaluator and lxml; also which evaluator gave it."""
        direct, fast = self.korvith(expr, context)
        slow, slow_fast = self.korvith(f"({expr})", context)
        assert slow_fast == 0
        assert direct == slow, expr
        assert direct == self.lxml(expr, context), expr
        return direct, fast


@pytest.fixture(scope="module", params=sorted(DOCS))
def both(request: pytest.FixtureRequest) -> Both:
    return Both(DOCS[request.param])


@pytest.fixture(scope="module")
def gir() -> Both:
    # The benchmark's generated GIR-like corpus, at 1% of its size.
    sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
    from bench import corpus
    return Both(Path(corpus.gir(0.01)).read_bytes())


@pytest.mark.parametrize("expr", DIRECT)
def test_subset_matches_libxml2_and_lxml(both: Both, expr: str) -> None:
    _, fast = both.check(expr)
    assert fast == 1, expr


@pytest.mark.parametrize("expr", FALLBACK)
def test_other_forms_go_to_libxml2(both: Both, expr: str) -> None:
    _, fast = both.check(expr)
    assert fast == 0, expr


@pytest.mark.parametrize("expr, expected", [
    ("//a", [1, 4, 8, 9]),
    ("//a//b", [2, 3, 6, 10]),
    ("//a[b='x']", [1, 4]),
    ("//a[@id='3']//b", [10]),
    ("/r/c/a/a", [9]),
    ("//b[c/b]", [11]),
    ("//a[c or @id='4']", [4, 9]),
    ("//*[b!='x']", [0, 1, 9, 12]),
])
def test_known_answers(expr: str, expected: list[int]) -> None:
    # Elements of DOCS["plain"] in document order: r a b b a c b c a a b b c b
    b = Both(DOCS["plain"])
    assert b.korvith(expr) == (expected, 1)


@pytest.mark.parametrize("expr", [
    "//core:method[core:parameters/core:parameter]", "//core:class/core:method",
    "//core:class[@name='Window']", "//core:method[@c:identifier]", "//glib:signal",
    "/core:repository/core:namespace/*", "//core:parameter[@name='a_0' or @name='child_1']",
    "//core:type[@name='gint']", "//core:doc", "//core:class//core:parameter[core:type]",
])
def test_generated_corpus(gir: Both, expr: str) -> None:
    namespaces = {"core": "http://www.gtk.org/introspection/core/1.0",
                  "c": "http://www.gtk.org/introspection/c/1.0",
                  "glib": "http://www.gtk.org/introspection/glib/1.0"}
    found = gir.doc.xpath(expr, namespaces=namespaces)
    assert last_fast() == 1
    slow = gir.doc.xpath(f"({expr})", namespaces=namespaces)
    assert order(found, gir.k_all) == order(slow, gir.k_all)
    assert order(found, gir.k_all) == order(gir.tree.xpath(expr, namespaces=namespaces),
                                            gir.l_all)
    assert found or expr == "//glib:signal"


@pytest.mark.parametrize("expr, fast", [
    ("a", 1), ("b", 1), ("*", 1), ("a/b", 1), (".//b", 1), (".//a[b]", 1), ("./a", 1),
    ("//a", 1), ("/r/a", 1), ("*[@id]", 1), ("a//b[.='x']", 0), ("../a", 0),
])
def test_element_context(expr: str, fast: int) -> None:
    b = Both(DOCS["plain"])
    for index in range(len(b.k_all)):
        assert b.check(expr, index)[1] == fast, (expr, index)


def test_unbound_prefix_is_libxml2s_error() -> None:
    doc = korvith.parse(DOCS["plain"])
    with pytest.raises(korvith.XPathError, match="prefix"):
        doc.xpath("//z:a")
    assert last_fast() == 0


def test_entity_references_kept_as_nodes_go_to_libxml2() -> None:
    doc = korvith.parse(DOCS["dtd"], keep_entities=True)
    for expr in ["//a", "//x", "//a[x]", "/r/a[.//x]", "/r/a[x='in']", "/r/a//x"]:
        direct = doc.xpath(expr)
        assert last_fast() == 0, expr
        assert direct == doc.xpath(f"({expr})")
    # Where the walk meets no entity reference, the direct evaluator answers.
    for expr, count in [("/r/x", 1), ("/r/a", 3), ("/r/*[@k='v']", 1), ("/r/x[@k]", 1), ("/r/a[@k]", 0)]:
        assert len(doc.xpath(expr)) == count, expr
        assert last_fast() == 1, expr


def test_html_documents() -> None:
    # The engine keeps parsed HTML as an ordinary document tree.
    doc = korvith.html.document_fromstring(
        "<html><body><div class='a'><p>x</p></div><p>y</p><DIV class=a><p>z</div></body></html>")
    assert [e.text for e in doc.xpath("//div[@class='a']/p")] == ["x", "z"]
    assert last_fast() == 1
    assert doc.xpath("//div[@class='a']/p") == doc.xpath("(//div[@class='a']/p)")
    assert doc.xpath("//body/p") == doc.xpath("(//body/p)")


def test_edits_between_calls_are_seen() -> None:
    doc = korvith.parse(DOCS["plain"])
    compiled = korvith.XPath("//a[b='x']")
    assert [e.get("id") for e in compiled(doc)] == ["1", "2"]
    first = doc.xpath("//a")[0]
    new = korvith.SubElement(first.getparent(), "a", {"id": "9"})
    korvith.SubElement(new, "b").text = "x"
    first.getparent().remove(first)
    assert [e.get("id") for e in compiled(doc)] == ["2", "9"]
    assert last_fast() == 1
    assert compiled(doc) == doc.xpath("(//a[b='x'])")


def test_compiled_expression_is_reused_across_documents() -> None:
    compiled = korvith.XPath("//p:a[@p:k='v']", namespaces={"p": "urn:p"})
    one = korvith.parse(DOCS["attrs"])
    two = korvith.parse(b'<r xmlns:x="urn:p"><x:a x:k="v"/><x:a x:k="w"/></r>')
    assert len(compiled(one)) == 0 and last_fast() == 1
    assert [e.get("{urn:p}k") for e in compiled(two)] == ["v"] and last_fast() == 1
    # Other bindings at the call replace the compiled ones.
    found = compiled.evaluate(one, {"p": "urn:q"}, {})
    assert len(found) == 0 and last_fast() == 1


# ---------------------------------------------------------------- generated

NAMES = ["a", "b", "c"]
PREFIXED = ["a", "b", "p:a", "p:b", "q:a", "*", "p:*"]


def name_tests(prefixed: bool) -> st.SearchStrategy[str]:
    return st.sampled_from(PREFIXED if prefixed else NAMES + ["*"])


@st.composite
def conditions(draw: Any, depth: int = 0) -> str:
    kind = draw(st.integers(0, 5 if depth < 2 else 3))
    if kind == 0:
        return "@" + draw(st.sampled_from(["k", "p:k", "id"]))
    if kind == 1:
        steps = draw(st.lists(name_tests(True), min_size=1, max_size=2))
        return "/".join(steps)
    if kind in (2, 3):
        left = draw(st.sampled_from(["@k", "@p:k", "b", "a/b", "c", "a/@k", "*"]))
        op = "=" if kind == 2 else "!="
        return f"{left}{op}'{draw(st.sampled_from(['', 'v', 'x', 'xy', 'w']))}'"
    joined = " and " if kind == 4 else " or "
    return "(" + joined.join(draw(st.lists(conditions(depth + 1), min_size=2, max_size=3))) + ")"


@st.composite
def paths(draw: Any) -> str:
    out = draw(st.sampled_from(["/", "//", "", ".//", "./"]))
    for i in range(draw(st.integers(1, 4))):
        if i:
            out += draw(st.sampled_from(["/", "//"]))
        out += draw(name_tests(True))
        for _ in range(draw(st.integers(0, 2))):
            out += "[" + draw(conditions()) + "]"
    return out


@st.composite
def documents(draw: Any) -> bytes:
    counter = [0]

    def element(depth: int) -> str:
        counter[0] += 1
        tag = draw(st.sampled_from(["a", "b", "c", "p:a", "p:b", "q:a"]))
        attrs = draw(st.dictionaries(st.sampled_from(["k", "p:k", "q:k"]),
                                     st.sampled_from(["", "v", "x", "xy"]), max_size=2))
        body = ""
        if depth < 4:
            for _ in range(draw(st.integers(0, 3))):
                choice = draw(st.integers(0, 5))
                if choice == 0:
                    body += draw(st.sampled_from(["x", "y", "v", "<![CDATA[x]]>", "<!--c-->"]))
                else:
                    body += element(depth + 1)
        rendered = "".join(f' {k}="{v}"' for k, v in attrs.items())
        return f"<{tag}{rendered}>{body}</{tag}>"

    root = element(0)
    decl = ' xmlns:p="urn:p" xmlns:q="urn:q"'
    head, _, rest = root.partition(">")
    return (head + decl + ">" + rest).encode()


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=documents(), expr=paths())
def test_generated_paths_match(data: bytes, expr: str) -> None:
    b = Both(data)
    _, fast = b.check(expr)
    assert fast == 1, expr
    _, fast = b.check(expr, len(b.k_all) // 2)
    assert fast == 1, expr


# Tokens spliced into generated paths: most make expressions outside the
# subset (or invalid ones), which must still give libxml2's answer or error.
NOISE = [" ", "/", "//", ".", "..", "@", ":", "[", "]", "(", ")", "'", "*", "a", "and", "or",
         "div", "=", "!", "-", "1", "|", "text()", "\t", "\u00e9", "xml:", "@xml:lang", "::"]


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=documents(), expr=paths(),
       noise=st.lists(st.tuples(st.integers(0, 60), st.sampled_from(NOISE)), min_size=1,
                      max_size=2),
       context=st.integers(0, 50))
def test_spliced_paths_give_libxml2s_answer_or_error(data: bytes, expr: str,
                                                     noise: list[tuple[int, str]],
                                                     context: int) -> None:
    for position, token in noise:
        position %= len(expr) + 1
        expr = expr[:position] + token + expr[position:]
    b = Both(data)
    index = context % len(b.k_all) if context % 3 else None
    node = b.doc if index is None else b.k_all[index]
    assert b.doc.xpath("count(/)") == 1.0 and last_fast() == 0  # the flag starts clear
    try:
        value = node.xpath(expr, namespaces=NS)
    except korvith.XPathError:
        assert last_fast() == 0  # errors are libxml2's (or the package's)
        return
    if isinstance(value, list):
        direct, fast = b.korvith(expr, index)
        assert direct == b.korvith(f"({expr})", index)[0], expr
        if fast:
            assert direct == b.lxml(expr, index), expr
