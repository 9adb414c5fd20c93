"""The direct evaluator of simple location paths, through the engine's entries:
the result objects it makes, the errors it leaves to libxml2, the compiled
and the text entries, threads."""

from __future__ import annotations

import ctypes

import pytest

from conftest import KEEP_ENTITIES, last_error, lib, run_in_threads, s
from korvith import _engine

lib.korvith_xpath_last_fast.restype = ctypes.c_int
lib.korvith_xpath_last_fast.argtypes = ()

DOC = (b'<r xmlns:p="urn:p"><a k="v"><b>x</b></a><p:a p:k="v"><b>y</b></p:a>'
       b'<c><a><b>x</b><b/></a></c></r>')


def fast() -> int:
    return lib.korvith_xpath_last_fast()


def names(result: int) -> list[str]:
    count = lib.korvith_xpath_result_count(result)
    out = (ctypes.c_void_p * max(count, 1))()
    got = lib.korvith_xpath_result_get_nodes(result, out, count)
    assert got == count
    tags = []
    for node in out[:count]:
        uri, local = s(lib.korvith_element_namespace(node)), s(lib.korvith_element_name(node))
        tags.append(f"{{{uri}}}{local}" if uri else local)
    return tags


def ns_set(**bindings: str) -> int:
    handle = lib.korvith_ns_set_new()
    for prefix, uri in bindings.items():
        assert lib.korvith_ns_set_add(handle, prefix.encode(), uri.encode()) == 0
    return handle


@pytest.fixture
def doc(docs) -> int:
    address, status = docs.parse(DOC)
    assert address and status == 0
    return address


def text_eval(doc: int, expr: str, ns: int | None = None, context: int | None = None) -> int:
    if ns is None:
        return lib.korvith_xpath_eval(doc, context, expr.encode())
    return lib.korvith_xpath_eval_ns(doc, context, expr.encode(), ns)


@pytest.mark.parametrize("expr, tags, string", [
    ("//a", ["a", "a"], "x"),  # an unprefixed name test takes no namespace
    ("//*[b='y']", ["{urn:p}a"], "y"),
    ("//a[b='x']/b", ["b", "b", "b"], "x"),
    ("/r/c/a/b", ["b", "b"], "x"),
    ("//p:a[@p:k='v']", ["{urn:p}a"], "y"),
    ("//nothing", [], ""),
])
def test_result_object_is_an_ordinary_node_set(doc, expr, tags, string) -> None:
    ns = ns_set(p="urn:p")
    try:
        result = text_eval(doc, expr, ns)
        assert fast() == 1
        try:
            assert lib.korvith_xpath_result_type(result) == 0  # a node-set
            assert names(result) == tags
            assert lib.korvith_xpath_last_other_nodes() == 0
            assert lib.korvith_xpath_result_boolean(result) == (1 if tags else 0)
            text = lib.korvith_xpath_result_string(result)
            assert ctypes.string_at(text).decode() == string
            lib.korvith_free_string(text)
            value = lib.korvith_xpath_result_number(result)
            assert value != value  # NaN: no element here holds a number
        finally:
            lib.korvith_xpath_result_free(result)
    finally:
        lib.korvith_ns_set_free(ns)


@pytest.mark.parametrize("expr", ["//z:a", "/r/z:*", "//a[@z:k]", "//a[z:b='x']"])
def test_unbound_prefix_leaves_the_error_to_libxml2(doc, expr) -> None:
    for form in (expr, f"({expr})"):
        assert text_eval(doc, form) is None
        assert fast() == 0
        code, message, _, _ = last_error()
        assert code != 0 and "amespace" in message and "prefix" in message, message


def test_compiled_and_text_entries_agree(doc, docs) -> None:
    compiled = _engine.xpath_compile("//a[b!='']")
    assert compiled
    other, _ = docs.parse(b"<r><a><b>1</b></a><a><b/></a><x><a><b>2</b></a></x></r>")
    try:
        for d, expected in ((doc, ["a", "a"]), (other, ["a", "a"])):
            result = lib.korvith_xpath_compiled_eval(compiled, d, None)
            assert fast() == 1
            text = text_eval(d, "//a[b!='']")
            assert fast() == 1
            assert names(result) == names(text) == expected
            lib.korvith_xpath_result_free(result)
            lib.korvith_xpath_result_free(text)
    finally:
        _engine.xpath_compiled_free(compiled)


def test_syntax_errors_stay_libxml2s(doc) -> None:
    for expr in ["//a[", "//a[b=]", "/r/", "//a[@]", "//a[b or]"]:
        assert text_eval(doc, expr) is None, expr
        assert fast() == 0
        assert last_error()[0] != 0
        assert _engine.xpath_compile(expr) is None, expr


def test_context_element_and_foreign_context(doc, docs) -> None:
    c = lib.korvith_element_child(lib.korvith_document_root(doc), 2)
    result = text_eval(doc, "a/b", context=c)
    assert fast() == 1 and names(result) == ["b", "b"]
    lib.korvith_xpath_result_free(result)
    result = text_eval(doc, "/r/a", context=c)
    assert fast() == 1 and names(result) == ["a"]
    lib.korvith_xpath_result_free(result)
    foreign = docs.root(b"<r/>")
    assert text_eval(doc, "a", context=foreign) is None
    assert "another document" in last_error()[1]
    assert fast() == 0


def test_entity_references_in_the_walk_go_to_libxml2(docs) -> None:
    data = b'<!DOCTYPE r [<!ENTITY e "<b>x</b>">]><r><a>&e;</a><a><b>x</b></a></r>'
    address, status = docs.parse_ex(data, flags=KEEP_ENTITIES)
    assert address and status == 0
    for expr, expected in [("//b", ["b"]), ("//a[b='x']", ["a"]), ("/r/a", ["a", "a"])]:
        result = text_eval(address, expr)
        assert names(result) == expected, expr
        assert fast() == (1 if expr == "/r/a" else 0), expr
        lib.korvith_xpath_result_free(result)


def test_threads_evaluate_directly_at_once(doc) -> None:
    compiled = _engine.xpath_compile("//a[b='x' or @k]")
    assert compiled

    def work() -> None:
        for _ in range(200):
            result = lib.korvith_xpath_compiled_eval(compiled, doc, None)
            assert fast() == 1
            assert names(result) == ["a", "a"]
            lib.korvith_xpath_result_free(result)

    try:
        assert run_in_threads([work] * 4) == []
    finally:
        _engine.xpath_compiled_free(compiled)
