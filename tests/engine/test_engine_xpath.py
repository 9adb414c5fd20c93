"""XPath on real documents: results, contexts, namespaces, variables, compiled forms."""

from __future__ import annotations

import ctypes

import pytest

from conftest import Doc, accel, last_error, lib, run_in_threads, s
from korvith import _engine

DOC = (b'<lib xmlns:b="urn:books"><b:book id="1"><title>A</title></b:book>'
       b'<b:book id="2"><title>B</title></b:book><note>n</note></lib>')


@pytest.fixture
def doc():
    address, capsule, status = accel.parse(DOC, False)
    assert status == 0
    d = Doc(address, capsule)
    yield d
    d.close()


@pytest.mark.parametrize(
    ("expr", "expected"),
    [
        ("count(//title)", 2.0),
        ("string(//title)", "A"),
        ("//title = 'B'", True),
        ("1 div 0 > 0", True),
        ("concat('a', 'b')", "ab"),
        ("//nothing", []),
        ("//title/text()", []),  # node-sets expose elements only
    ],
)
def test_scalar_and_empty_results(doc, expr: str, expected) -> None:
    assert accel.nodeset(doc.address, None, expr, doc) == expected


def test_node_set_returns_registered_elements_in_order(doc) -> None:
    titles = accel.nodeset(doc.address, None, "//title", doc)
    assert [t.text for t in titles] == ["A", "B"]
    doc.close()
    with pytest.raises(Exception, match="closed document"):
        titles[0].text


def test_null_context_is_the_document_node(doc) -> None:
    assert [e.tag for e in accel.nodeset(doc.address, None, "lib/note", doc)] == ["note"]
    assert [e.tag for e in accel.nodeset(doc.address, None, "/lib/note", doc)] == ["note"]


def test_context_element_is_used(doc) -> None:
    root = accel.document_root(doc.address, doc)
    books = accel.nodeset(doc.address, None, "//*[@id]", doc)
    second = books[1]
    assert [e.text for e in accel.nodeset(doc.address, second._raw, "title", doc)] == ["B"]
    assert accel.nodeset(doc.address, root._raw, "count(*)", doc) == 3.0


def test_context_from_another_document_is_refused(doc, docs) -> None:
    other = docs.root(b"<x/>")
    assert lib.korvith_xpath_eval(doc.address, other, b"count(*)") is None
    assert "another document" in last_error()[1]


def test_invalid_expression_gives_none_and_an_error(doc) -> None:
    assert accel.nodeset(doc.address, None, "//[", doc) is None
    code, message, _, _ = last_error()
    assert code != 0 and message


def test_namespace_bindings(doc) -> None:
    found = accel.nodeset_ns(doc.address, None, "//bk:book/@id/..", doc, ["bk", "urn:books"])
    assert [e.get("id") for e in found] == ["1", "2"]
    assert accel.nodeset(doc.address, None, "//bk:book", doc) is None  # unbound prefix fails
    # Bindings do not leak into the next evaluation on the cached context.
    assert accel.nodeset_ns(doc.address, None, "count(//bk:book)", doc, []) is None


@pytest.mark.parametrize(
    ("prefix", "uri", "accepted"),
    [
        (b"p", b"urn:p", 0),
        (b"", b"urn:p", 1),
        (b"1p", b"urn:p", 1),
        (b"a:b", b"urn:p", 1),
        (b"p", b"", 1),
        (b"xmlns", b"urn:p", 1),
        (b"xml", b"urn:p", 1),
        (b"xml", b"http://www.w3.org/XML/1998/namespace", 0),
    ],
)
def test_ns_set_validation(prefix: bytes, uri: bytes, accepted: int) -> None:
    ns = lib.korvith_ns_set_new()
    try:
        assert lib.korvith_ns_set_add(ns, prefix, uri) == accepted
    finally:
        lib.korvith_ns_set_free(ns)


def test_later_binding_of_a_prefix_wins(doc) -> None:
    found = accel.nodeset_ns(doc.address, None, "count(//x:book)", doc,
                             ["x", "urn:none", "x", "urn:books"])
    assert found == 2.0


def test_variables_of_each_type(doc) -> None:
    vars_flat = ["id", 2, "2", "n", 1, 1, "flag", 0, True]
    found = accel.nodeset_vars(doc.address, None, "//*[@id=$id][$flag][$n = 1]", doc, vars_flat)
    assert [e.get("id") for e in found] == ["2"]
    assert accel.nodeset_vars(doc.address, None, "$missing", doc, None) is None
    code, message, _, _ = last_error()
    assert code != 0 and "variable" in message.lower()


@pytest.mark.parametrize(
    ("name", "accepted"), [(b"x", 0), (b"$x", 0), (b"", 1), (b"1x", 1), (b"a:b", 1), (None, 1)]
)
def test_variable_names(name, accepted: int) -> None:
    vs = lib.korvith_variable_set_new()
    try:
        assert lib.korvith_variable_set_number(vs, name, 1.0) == accepted
    finally:
        lib.korvith_variable_set_free(vs)


def test_dollar_prefixed_variable_name_binds(doc) -> None:
    assert accel.nodeset_vars(doc.address, None, "$v * 2", doc, ["$v", 1, 21]) == 42.0


def test_compiled_expression_across_documents(doc, docs) -> None:
    compiled = _engine.xpath_compile("count(//title) + $k")
    assert compiled
    try:
        assert accel.compiled_eval(compiled, doc.address, 0, doc, None, ["k", 1, 1]) == 3.0
        other = docs.root(b"<r><title/></r>")
        result = lib.korvith_xpath_compiled_eval_vars(compiled, None, other, _vars(["k", 0.5]))
        assert lib.korvith_xpath_result_number(result) == 1.5
        lib.korvith_xpath_result_free(result)
    finally:
        _engine.xpath_compiled_free(compiled)


def _vars(pairs):
    vs = lib.korvith_variable_set_new()
    for name, value in zip(pairs[::2], pairs[1::2]):
        assert lib.korvith_variable_set_number(vs, name.encode(), value) == 0
    return vs


def test_compiled_with_namespaces(doc) -> None:
    compiled = _engine.xpath_compile("//bk:book[2]")
    try:
        found = accel.compiled_eval(compiled, doc.address, 0, doc, ["bk", "urn:books"], None)
        assert [e.get("id") for e in found] == ["2"]
    finally:
        _engine.xpath_compiled_free(compiled)


def test_compile_error_is_reported() -> None:
    assert _engine.xpath_compile("//a[") is None
    code, message, _, _ = _engine.last_error()
    assert code != 0 and message


def test_result_accessors_convert_between_types(docs) -> None:
    root = docs.root(b"<r><a>4</a></r>")
    result = lib.korvith_xpath_eval(None, root, b"a")
    try:
        assert lib.korvith_xpath_result_type(result) == 0
        assert lib.korvith_xpath_result_number(result) == 4.0
        assert lib.korvith_xpath_result_boolean(result) == 1
        text = lib.korvith_xpath_result_string(result)
        assert ctypes.string_at(text) == b"4"
        lib.korvith_free_string(text)
    finally:
        lib.korvith_xpath_result_free(result)


def test_concurrent_evaluation_on_one_document(doc) -> None:
    def work() -> None:
        for _ in range(300):
            got = accel.nodeset_ns(doc.address, None, "count(//bk:book)", doc, ["bk", "urn:books"])
            assert got == 2.0

    assert run_in_threads([work] * 4) == []
