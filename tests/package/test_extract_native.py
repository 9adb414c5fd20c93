"""`extract` as one native call: the same records as the accelerator's
conversion of the same engine results, the records lxml and ElementTree
loops build by hand, argument checks by class, answers that stay right when
the document is closed around or during the call, and plans that cannot
go stale."""

from __future__ import annotations

import importlib
import os
import pickle
import threading
import time
import xml.etree.ElementTree as ET
from typing import Any

import pytest
from lxml import etree

import korvith
from korvith import KorvithError, Located, Plan, Text, Tokens, Wrapped, _engine
from korvith import _korvithaccel as accel

ex = importlib.import_module("korvith.extract")  # the module, not the function

SECONDS = float(os.environ.get("KORVITH_THREAD_SECONDS", "1.5"))

BOOK = b"""<library xmlns:x="urn:x">
<book id="b1" lang="en" x:ref="r1">
  <title>Dune</title><year> 1965 </year><price>9.5</price><stock>TRUE</stock>
  <tag>sf</tag><tag>classic</tag><isbn>12 x 7</isbn>
  <author><name>Frank Herbert</name><born>1920</born></author>
  <x:code>D-1</x:code><code>plain</code>
  <reviews><r stars="5">great</r><r stars="4">good <i>really</i></r></reviews>
  <chapter n="1"><title>One</title><chapter n="1.1"><title>Sub</title></chapter></chapter>
  <chapter n="2"><title>Two</title></chapter>
  <empty/><blank>   </blank>
</book>
<book id="b2">
  <title/><year>n/a</year><price>cheap</price><stock>maybe</stock>
  <author><name>A</name></author><author><name>B</name></author>
  <reviews/>
</book>
<book/>
</library>"""

_chapter = Plan(attributes=["n"], title=str)
_chapter.fields["chapter"] = [_chapter]  # recursive

PLANS: dict[str, Plan] = {
    # absent fields sit between present ones: each row must take only its own value
    "texts and attributes": Plan(attributes=["id", "lang", "missing", "{urn:x}ref"],
                                 absent=str, title=str),
    "typed": Plan(absent=bool, year=int, empty=int, price=float, blank=float, stock=bool),
    "lists": Plan(tag=[str], year=[int], absent=[float]),
    "nested first and all": Plan(authors=Plan(name=str), every=[Plan(name=str)],
                                 author=Plan(name=str, born=int), title=str),
    "all authors": Plan({"author": [Plan(name=str, born=int)]}),
    "namespaces": Plan({"{urn:y}code": str, "{urn:x}code": str, "code": str}),
    "tokens text wrapped": Plan(isbn=Tokens(str), year=Tokens(int), own=Text(),
                                reviews=Wrapped(Plan(attributes=["stars"], text=Text(int))),
                                words=Wrapped(str)),
    "wrapped leaves": Plan(reviews=Wrapped(str), author=Wrapped(int)),
    "callback": Plan(title=Located, absent=Located, year=Located),
    "recursive": Plan(chapter=[_chapter]),
    "empty plan": Plan(),
}


def previous_path(element: korvith.Element, plan: Plan) -> dict:
    """The record through the engine's own result and the accelerator's
    conversion, reshaped in Python: how extract worked before it became
    one native call."""
    compiled = plan.compiled()
    result = _engine.ext.plan_eval(compiled.handle, element._raw)
    assert result
    try:
        raw = accel.plan_convert(_engine.ext.plan_result_root(result), compiled.shape)
    finally:
        _engine.ext.plan_result_free(result)
    return compiled.finish(raw)  # type: ignore[no-any-return]


@pytest.fixture(scope="module")
def books():
    doc = korvith.parse(BOOK)
    yield list(doc.root)
    doc.close()


@pytest.mark.parametrize("name", list(PLANS))
def test_native_records_equal_the_previous_conversion(books, name) -> None:
    plan = PLANS[name]
    for book in books:
        got = korvith.extract(book, plan)
        assert got == previous_path(book, plan)
        assert list(got) == [*plan.attributes, *plan.fields]  # attributes first, in order
    # iterextract converts through the same native code
    assert list(korvith.iterextract(BOOK, "book", plan)) == [
        korvith.extract(b, plan) for b in books]


def test_native_records_have_the_exact_values(books) -> None:
    first, second, bare = (korvith.extract(b, PLANS["typed"]) for b in books)
    assert first == {"absent": None, "year": 1965, "empty": None, "price": 9.5, "blank": None,
                     "stock": True}
    # a text that does not convert stays a str; nothing at all reads as None
    assert second == {"absent": None, "year": "n/a", "empty": None, "price": "cheap",
                      "blank": None, "stock": "maybe"}
    assert bare == dict.fromkeys(first)
    assert korvith.extract(books[0], PLANS["texts and attributes"]) == {
        "id": "b1", "lang": "en", "missing": None, "{urn:x}ref": "r1", "absent": None,
        "title": "Dune"}
    assert korvith.extract(books[0], PLANS["namespaces"]) == {
        "{urn:y}code": None, "{urn:x}code": "D-1", "code": "plain"}
    assert korvith.extract(books[1], PLANS["nested first and all"]) == {
        "authors": None, "every": [], "author": {"name": "A", "born": None}, "title": ""}
    assert korvith.extract(books[0], PLANS["tokens text wrapped"])["reviews"] == [
        {"stars": "5", "text": "great"}, {"stars": "4", "text": "good really"}]
    assert korvith.extract(books[0], PLANS["tokens text wrapped"])["isbn"] == ["12", "x", "7"]
    assert korvith.extract(books[0], PLANS["callback"]) == {
        "title": Located("Dune", 3, 0), "absent": None, "year": Located(" 1965 ", 3, 0)}
    assert korvith.extract(books[0], PLANS["recursive"]) == {"chapter": [
        {"n": "1", "title": "One", "chapter": [{"n": "1.1", "title": "Sub", "chapter": []}]},
        {"n": "2", "title": "Two", "chapter": []}]}


class Boom(Exception):
    pass


class Exploding:
    def __init__(self, text: str | None, line: int, tag: int) -> None:
        raise Boom(f"no {text}")


def test_a_failing_callback_fails_both_paths_alike(books) -> None:
    plan = Plan(title=Exploding)
    errors = []
    for run in (korvith.extract, previous_path):
        with pytest.raises(Boom) as caught:
            run(books[0], plan)
        errors.append(str(caught.value))
    assert errors == ["no Dune", "no Dune"]
    # the plan's reused evaluation result is still sound afterwards
    assert korvith.extract(books[2], plan) == {"title": None}


# -- lxml and ElementTree as oracles on records shaped like real data

RECORDS_NS = "urn:records"


def records_xml(count: int) -> bytes:
    parts = [f'<items xmlns:r="{RECORDS_NS}">']
    for i in range(count):
        note = "" if i % 3 else "<note>on sale</note>"
        tags = "".join(f"<tags>t{j}</tags>" for j in range(i % 4))
        ident = f' id="{i}"' if i % 5 else ""
        parts.append(f'<item{ident} kind="k{i % 2}"><name>item &amp; {i}</name>'
                     f"<qty>{i * 3}</qty><price>{i / 4}</price>{tags}{note}"
                     f"<r:code>c{i}</r:code></item>")
    parts.append("</items>")
    return "".join(parts).encode()


RECORD_PLAN = Plan({f"{{{RECORDS_NS}}}code": str}, attributes=["id", "kind"], name=str,
                   qty=int, price=float, tags=[str], note=str)


def by_hand(el: Any) -> dict:
    return {"id": el.get("id"), "kind": el.get("kind"), "name": el.findtext("name"),
            "qty": int(el.findtext("qty")), "price": float(el.findtext("price")),
            "tags": [t.text for t in el.iterfind("tags")], "note": el.findtext("note"),
            f"{{{RECORDS_NS}}}code": el.findtext(f"{{{RECORDS_NS}}}code")}


def test_records_match_lxml_and_elementtree_loops() -> None:
    data = records_xml(300)
    want = [by_hand(el) for el in etree.fromstring(data)]
    assert want == [by_hand(el) for el in ET.fromstring(data)]
    assert want[5]["note"] is None and want[0]["id"] is None and want[3]["tags"][2] == "t2"
    with korvith.parse(data) as doc:
        assert [korvith.extract(el, RECORD_PLAN) for el in doc.root] == want
    assert list(korvith.iterextract(data, "item", RECORD_PLAN)) == want


# -- arguments are checked by class, before anything is read


class LooksLikeAnElement:
    _raw = 1
    _check = _accel_registry = None


@pytest.mark.parametrize("call, message", [
    (lambda root: korvith.extract(LooksLikeAnElement(), Plan(a=str)),
     "element must be a live korvith Element, not LooksLikeAnElement"),
    (lambda root: korvith.extract(None, Plan(a=str)), "element must be a live .* not NoneType"),
    (lambda root: korvith.extract(root, "not a plan"), "plan must be a korvith.Plan, not str"),
    (lambda root: korvith.extract(root, None), "plan must be a korvith.Plan, not NoneType"),
    (lambda root: ex._edit.plan_convert(1, Plan()), "plan must be a compiled korvith plan"),
    (lambda root: list(korvith.iterextract(b"<a/>", "a", plan=42)),
     "plan must be a korvith.Plan, not int"),
    (lambda root: Plan(fields=42), "fields must be a mapping .* not int"),
    (lambda root: Plan(fields=[1, 2]), "fields must be a mapping .* not list"),
    (lambda root: Plan(attributes=42), "attributes must be an iterable of str .* not int"),
    (lambda root: Plan(attributes=b"id"), "attributes must be an iterable of str .* not bytes"),
    (lambda root: Plan(attributes=["id", 3]), "names must be non-empty str, not 3"),
    (lambda root: Plan(a=[3]), "field 'a': a list field"),
    (lambda root: Plan(a=[Plan(), str]), "field 'a': a list field"),
    (lambda root: Plan(a=Wrapped(3)), "Wrapped takes str, int, float or bool, not 3"),
    (lambda root: Plan().fields.__setitem__("a", 3), "field 'a': unsupported field type 3"),
    (lambda root: Plan().fields.__setitem__(3, str), "names must be non-empty str, not 3"),
    (lambda root: Plan().fields.update(a={}), "field 'a': unsupported field type"),
], ids=["fake element", "None element", "str plan", "None plan", "not a capsule", "iterextract plan",
        "fields int", "fields pairs", "attributes int", "attributes bytes", "attribute name",
        "list of int", "list of two", "wrapped int", "late field", "late name", "late update"])
def test_wrong_types_raise_type_error_naming_the_parameter(call, message) -> None:
    with korvith.parse(b"<a><b>1</b></a>") as doc:
        with pytest.raises(TypeError, match=message):
            call(doc.root)


def test_closed_documents_raise_and_never_answer(books) -> None:
    doc = korvith.parse(b"<a><b>1</b></a>")
    root = doc.root
    plan = Plan(b=int)
    assert korvith.extract(root, plan) == {"b": 1}
    doc.close()
    with pytest.raises(KorvithError, match="closed document"):
        korvith.extract(root, plan)


class ClosingPlan(Plan):
    """Closes a document when it is compiled: user code that runs while
    extract reads its arguments."""

    __slots__ = ("victim",)

    def compiled(self) -> Any:
        self.victim.close()
        return super().compiled()


def test_a_document_closed_while_the_plan_is_read_raises() -> None:
    doc = korvith.parse(b"<a><b>1</b></a>")
    root = doc.root
    plan = ClosingPlan(b=int)
    object.__setattr__(plan, "victim", doc)
    with pytest.raises(KorvithError, match="closed document"):
        korvith.extract(root, plan)


def test_a_document_closed_by_a_callback_leaves_the_record_whole() -> None:
    doc = korvith.parse(b"<a><b>first</b><c>second</c><d>3</d></a>")

    class Closer:
        def __init__(self, text: str | None, line: int, tag: int) -> None:
            doc.close()
            self.text = text

    record = korvith.extract(doc.root, Plan(b=Closer, c=Closer, d=int))
    assert doc.closed
    assert (record["b"].text, record["c"].text, record["d"]) == ("first", "second", 3)


def test_nested_calls_with_one_plan_keep_their_own_results() -> None:
    doc = korvith.parse(b"<a><b>outer</b><c><b>inner</b></c><big>" + b"x" * 3_000_000
                        + b"</big></a>")
    seen: list[dict] = []
    inner_plan = Plan(b=str)

    class Nested:
        def __init__(self, text: str | None, line: int, tag: int) -> None:
            seen.append(korvith.extract(doc.root.find("c"), plan))

    plan = Plan(b=str, c=Nested)
    record = korvith.extract(doc.root, plan)
    assert record["b"] == "outer" and seen == [{"b": "inner", "c": None}]
    # a huge record and small ones after it through the same reused result
    assert len(korvith.extract(doc.root, Plan(big=str))["big"]) == 3_000_000
    assert korvith.extract(doc.root.find("c"), inner_plan) == {"b": "inner"}
    doc.close()


def test_threads_closing_documents_never_get_wrong_answers() -> None:
    xml = b"".join([b"<r>", *(b'<i n="%d"><v>%d</v></i>' % (k, k * 7) for k in range(50)), b"</r>"])
    plan = Plan(attributes=["n"], v=int)
    want = [{"n": str(k), "v": k * 7} for k in range(50)]
    shared: list[list[korvith.Element]] = [[]]
    wrong: list[str] = []
    counts = {"ok": 0, "closed": 0}
    deadline = time.monotonic() + SECONDS

    def churn() -> None:
        while time.monotonic() < deadline and not wrong:
            doc = korvith.parse(xml)
            shared[0] = list(doc.root)
            time.sleep(0.0005)
            doc.close()
            time.sleep(0.0002)  # readers meet the closed elements too

    def read() -> None:
        k = 0
        while time.monotonic() < deadline and not wrong:
            elements = shared[0]
            if not elements:
                continue
            k = (k + 1) % len(elements)
            try:
                got = korvith.extract(elements[k], plan)
            except KorvithError:
                counts["closed"] += 1
                continue
            counts["ok"] += 1
            if got != want[k]:
                wrong.append(f"{k}: {got!r}")

    threads = [threading.Thread(target=churn), *(threading.Thread(target=read) for _ in range(3))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
    # both outcomes happened: the race was really run
    assert counts["ok"] > 0 and counts["closed"] > 0


# -- plans cannot go stale


@pytest.mark.parametrize("change", [
    lambda items: items.__setitem__(0, int), lambda items: items.append(int),
    lambda items: items.clear(), lambda items: items.extend([int]),
    lambda items: items.insert(0, int), lambda items: items.pop(),
    lambda items: items.remove(str), lambda items: items.sort(),
    lambda items: items.reverse(), lambda items: items.__iadd__([int]),
    lambda items: items.__imul__(2), lambda items: items.__delitem__(0),
    lambda items: items.__init__([int]),
], ids=["set", "append", "clear", "extend", "insert", "pop", "remove", "sort", "reverse",
        "iadd", "imul", "del", "init"])
def test_a_plan_s_list_field_refuses_changes(change) -> None:
    plan = Plan(v=[str])
    with pytest.raises(TypeError, match="list field cannot change"):
        change(plan.fields["v"])
    assert plan.fields["v"] == [str]
    with korvith.parse(b"<a><v>1</v><v>2</v></a>") as doc:
        assert korvith.extract(doc.root, plan) == {"v": ["1", "2"]}


@pytest.mark.parametrize("used_first", [False, True], ids=["before use", "after use"])
def test_the_caller_s_lists_and_mappings_do_not_reach_the_plan(used_first) -> None:
    items, records, fields = [str], [Plan(x=str)], {"v": [str]}
    plan = Plan(fields, w=items, r=records)
    with korvith.parse(b"<a><v>1</v><w>2</w><r><x>3</x></r></a>") as doc:
        want = {"v": ["1"], "w": ["2"], "r": [{"x": "3"}]}
        if used_first:
            assert korvith.extract(doc.root, plan) == want
        items[0] = int
        records[0] = Plan(y=str)
        fields["v"][0] = int
        fields["z"] = str
        assert korvith.extract(doc.root, plan) == want
        assert repr(plan) == ("Plan(attributes=[], fields={'v': [<class 'str'>], "
                              "'w': [<class 'str'>], 'r': [Plan(attributes=[], "
                              "fields={'x': <class 'str'>})]})")


def test_plans_with_frozen_lists_pickle_and_stay_frozen() -> None:
    section = Plan(attributes=["t"], title=str, tags=[str])
    section.fields["section"] = [section]
    xml = b'<s t="1"><title>A</title><tags>x</tags><section t="2"><title>B</title></section></s>'
    with korvith.parse(xml) as doc:
        want = {"t": "1", "title": "A", "tags": ["x"],
                "section": [{"t": "2", "title": "B", "tags": [], "section": []}]}
        for _ in range(2):  # before and after first use
            copy = pickle.loads(pickle.dumps(section))
            assert copy.fields["section"][0] is copy
            assert korvith.extract(doc.root, copy) == korvith.extract(doc.root, section) == want
            with pytest.raises(TypeError, match="list field cannot change"):
                copy.fields["tags"].append(int)


@pytest.mark.parametrize("call", [
    lambda el, p: korvith.extract(el, plan=p), lambda el, p: korvith.extract(element=el, plan=p),
    lambda el, p: korvith.extract(plan=p, element=el),
], ids=["plan by name", "both by name", "reversed names"])
def test_arguments_may_be_given_by_name(call) -> None:
    with korvith.parse(b"<a><b>1</b></a>") as doc:
        assert call(doc.root, Plan(b=int)) == {"b": 1}


@pytest.mark.parametrize("call, message", [
    (lambda el, p: korvith.extract(el), "missing required argument 'plan'"),
    (lambda el, p: korvith.extract(plan=p), "missing required argument 'element'"),
    (lambda el, p: korvith.extract(el, p, 3), r"takes 2 arguments \(3 given\)"),
    (lambda el, p: korvith.extract(el, p, plan=p), "multiple values for argument 'plan'"),
    (lambda el, p: korvith.extract(el, p, x=1), "unexpected keyword argument 'x'"),
], ids=["no plan", "no element", "three", "plan twice", "unknown name"])
def test_argument_mistakes_raise_type_error(call, message) -> None:
    with korvith.parse(b"<a><b>1</b></a>") as doc:
        with pytest.raises(TypeError, match=message):
            call(doc.root, Plan(b=int))


def test_extract_introspects_like_a_function() -> None:
    import inspect
    assert korvith.extract.__name__ == "extract"
    assert list(inspect.signature(korvith.extract).parameters) == ["element", "plan"]
    assert "korvith.Plan" in (korvith.extract.__doc__ or "")
