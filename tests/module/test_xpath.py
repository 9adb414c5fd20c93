"""XPath / XQuery evaluation, result conversion, bindings and variables,
against the fake engine."""

from __future__ import annotations

import json

import pytest

from fake_engine import FakeError, read_cstr

DOC, CTX, COMPILED, QUERY = 0xD0C0, 0xC7C0, 0xC0DE, 0x9E27
NS_SET, VAR_SET = 0x5E70, 0x7A20
RESULT = 0xAE50


class Results:
    """Scripts the result slots for one result handle at a time."""

    def __init__(self, engine) -> None:
        self.engine = engine
        self.kind = 0
        self.nodes: list[int] = []
        self.copied: int | None = None
        self.value = None
        engine.on("xpath_result_type", lambda r: self.kind)
        engine.on("xpath_result_count", lambda r: len(self.nodes))
        engine.on("xpath_result_get_nodes", self._get_nodes)
        engine.on("xpath_result_boolean", lambda r: self.value)
        engine.on("xpath_result_number", lambda r: self.value)
        engine.on("xpath_result_string", lambda r: engine.cstr(self.value))
        self.expressions: list[bytes | None] = []
        for slot in ("xpath_eval", "xpath_eval_ns", "xpath_eval_vars_ctx"):
            engine.on(slot, self._evaluate)
        for slot in ("xquery_eval", "xpath_compiled_eval", "xpath_compiled_eval_ns", "xpath_compiled_eval_vars",
                     "xpath_compiled_eval_ns_vars"):
            engine.returns(slot, RESULT)
        engine.returns("ns_set_new", NS_SET)
        engine.returns("variable_set_new", VAR_SET)
        # Strings are read during the call: the module frees them afterwards.
        self.pairs: list[tuple] = []
        self.variables: list[tuple] = []
        engine.on("ns_set_add", lambda s, p, u: self.pairs.append((s, read_cstr(p), read_cstr(u))))
        for kind in ("boolean", "number", "string"):
            engine.on(f"variable_set_{kind}", self._binder(kind))

    def _evaluate(self, doc, context, expression, *sets):
        self.expressions.append(read_cstr(expression))
        return RESULT

    def _binder(self, kind):
        def bind(s, name, value):
            assert s == VAR_SET
            self.variables.append((kind, read_cstr(name),
                                   read_cstr(value) if kind == "string" else value))
        return bind

    def _get_nodes(self, result, buf, capacity):
        copied = len(self.nodes) if self.copied is None else self.copied
        for i, node in enumerate(self.nodes[: min(copied, capacity)]):
            buf[i] = node
        return copied

    def frees(self) -> list[tuple]:
        return self.engine.args_of("xpath_result_free")


@pytest.fixture
def results(engine):
    return Results(engine)


class CountingDoc:
    """A document that counts how often its registry is looked up."""

    def __init__(self, accel) -> None:
        self.lookups = 0
        self._capsule = accel.new_registry()

    @property
    def _accel_registry(self):
        self.lookups += 1
        return self._capsule


# -- result conversion -------------------------------------------------------

def test_nodeset_converts_three_nodes(accel_module, engine, results):
    doc = CountingDoc(accel_module)
    results.nodes = [0x100, 0x200, 0x300]
    found = accel_module.nodeset(DOC, CTX, "//x", doc)
    assert [e._raw for e in found] == [0x100, 0x200, 0x300]
    assert len({id(e) for e in found}) == 3
    assert all(e._ptr is None and e._document is doc for e in found)
    assert engine.calls() == ["xpath_eval", "xpath_result_type", "xpath_result_count",
                              "xpath_result_get_nodes", "xpath_result_free"]
    assert engine.args_of("xpath_result_get_nodes")[0][2] == 3  # capacity: exactly the count
    assert doc.lookups == 1  # one registry lookup per conversion
    accel_module.invalidate(doc._capsule)
    for el in found:
        with pytest.raises(FakeError, match="^operation on a closed document$"):
            el.tag


def test_empty_nodeset_is_a_list(accel_module, engine, results):
    doc = CountingDoc(accel_module)
    assert accel_module.nodeset(DOC, None, "//none", doc) == []
    assert engine.calls() == ["xpath_eval", "xpath_result_type", "xpath_result_count",
                              "xpath_result_free"]
    assert doc.lookups == 0


@pytest.mark.parametrize("document", [None, object(), 3])
def test_nodes_without_registry(accel_module, results, document):
    results.nodes = [0x100]
    (el,) = accel_module.nodeset(DOC, None, "/a", document)
    assert el._raw == 0x100 and el._document is document


@pytest.mark.parametrize("failing_allocation", [0, 1])
def test_out_of_memory_during_conversion(accel_module, engine, results, doc, failing_allocation):
    testcapi = pytest.importorskip("_testcapi")
    results.nodes = [0x100, 0x200, 0x300]

    def count(result):
        # Fail one of the first allocations that follow (the output list).
        testcapi.set_nomemory(failing_allocation, failing_allocation + 1)
        return 3

    engine.on("xpath_result_count", count)
    try:
        with pytest.raises(MemoryError):
            accel_module.nodeset(DOC, None, "//x", doc)
    finally:
        testcapi.remove_mem_hooks()
    assert results.frees() == [(RESULT,)]
    # No wrapper survived in the registry: closing the document is clean.
    assert accel_module.invalidate(doc._accel_registry) is None


@pytest.mark.parametrize("copied", [0, 2, 4])
def test_short_or_long_copy_gives_none(accel_module, results, copied):
    results.nodes = [0x100, 0x200, 0x300]
    results.copied = copied
    assert accel_module.nodeset(DOC, None, "//x", None) is None
    assert results.frees() == [(RESULT,)]


@pytest.mark.parametrize(
    "kind, value, expected, slot",
    [
        (1, 1, True, "xpath_result_boolean"),
        (1, 0, False, "xpath_result_boolean"),
        (1, -7, True, "xpath_result_boolean"),
        (2, 1.0, 1.0, "xpath_result_number"),
        (2, -0.5, -0.5, "xpath_result_number"),
        (3, b"caf\xc3\xa9", "caf\u00e9", "xpath_result_string"),
        (3, b"", "", "xpath_result_string"),
        (3, None, "", "xpath_result_string"),
        (3, b"a\x00b", "a", "xpath_result_string"),
        (4, None, None, None),
    ],
)
def test_scalars(accel_module, engine, results, kind, value, expected, slot):
    results.kind, results.value = kind, value
    got = accel_module.nodeset(DOC, None, "x", None)
    assert got == expected and type(got) is type(expected)
    expected_calls = ["xpath_eval", "xpath_result_type"] + ([slot] if slot else [])
    if kind == 3 and value is not None:
        expected_calls.append("free_string")
    expected_calls.append("xpath_result_free")
    assert engine.calls() == expected_calls


def test_string_freed_once_when_decoding_fails(accel_module, engine, results):
    results.kind, results.value = 3, b"\xff\xfe"
    with pytest.raises(UnicodeDecodeError):
        accel_module.nodeset(DOC, None, "x", None)
    assert len(engine.args_of("free_string")) == 1
    assert results.frees() == [(RESULT,)]


@pytest.mark.parametrize("kind", [-1, 5, 99])
def test_unknown_result_type_raises_and_frees(accel_module, engine, results, kind):
    results.kind = kind
    with pytest.raises(FakeError, match=f"^unknown XPath result type {kind}$"):
        accel_module.nodeset(DOC, None, "x", None)
    assert engine.calls() == ["xpath_eval", "xpath_result_type", "xpath_result_free"]


# -- nodeset arguments -------------------------------------------------------

@pytest.mark.parametrize(
    "context, passed",
    [(None, None), ("0x10", None), (1.5, None), (CTX, CTX), (0, None), (True, 1),
     (-1, 2**64 - 1)],
)
def test_context_handle(accel_module, engine, results, context, passed):
    results.kind = 4
    accel_module.nodeset(DOC, context, "x", None)
    (doc, ctx, _), = engine.args_of("xpath_eval")
    assert (doc, ctx, results.expressions) == (DOC, passed, [b"x"])


@pytest.mark.parametrize("address", [None, "1", 1.0, b"\x01"])
def test_document_address_must_be_int(accel_module, engine, results, address):
    assert accel_module.nodeset(address, None, "x", None) is None
    assert engine.log == []


@pytest.mark.parametrize(
    "document_address, context, error",
    [(2**64, None, OverflowError), (DOC, 2**64, OverflowError), (-(2**63) - 1, None, OverflowError),
     (DOC, None, None)],
)
def test_addresses_beyond_64_bits_are_refused(accel_module, engine, results, document_address,
                                              context, error):
    results.kind = 4
    for call in (lambda: accel_module.nodeset(document_address, context, "x", None),
                 lambda: accel_module.nodeset_ns(document_address, context, "x", None, []),
                 lambda: accel_module.nodeset_vars(document_address, context, "x", None, None)):
        if error:
            with pytest.raises(error):
                call()
        else:
            assert call() is None
    evaluated = engine.calls("xpath_eval", "xpath_eval_ns", "xpath_eval_vars_ctx")
    assert evaluated == ([] if error else ["xpath_eval", "xpath_eval_ns", "xpath_eval_vars_ctx"])


@pytest.mark.parametrize("expression, error", [(b"//a", TypeError), (5, TypeError),
                                               ("\ud800", UnicodeEncodeError)])
def test_bad_expression_makes_no_engine_call(accel_module, engine, expression, error):
    with pytest.raises(error):
        accel_module.nodeset(DOC, None, expression, None)
    assert engine.log == []


BAD_ARGUMENT = "^bad argument type for built-in operation$"


@pytest.mark.parametrize("call, raises", [
    # nodeset encodes the expression before it looks at the document address;
    # the other two answer None for a non-int address before anything else.
    (lambda a: a.nodeset("doc", None, b"x", None), TypeError),
    (lambda a: a.nodeset_ns("doc", None, b"x", None, 5), None),
    (lambda a: a.nodeset_vars("doc", None, b"x", None, 5), None),
])
def test_document_address_and_expression_order(accel_module, engine, call, raises):
    if raises:
        with pytest.raises(raises, match=BAD_ARGUMENT):
            call(accel_module)
    else:
        assert call(accel_module) is None
    assert engine.log == []


@pytest.mark.parametrize("call, message", [
    # Bindings are read before the expression; the expression before variables.
    (lambda a: a.nodeset_ns(DOC, None, b"x", None, 5), "^bindings must be a sequence$"),
    (lambda a: a.nodeset_vars(DOC, None, b"x", None, 5), BAD_ARGUMENT),
])
def test_argument_check_order(accel_module, engine, call, message):
    with pytest.raises(TypeError, match=message):
        call(accel_module)
    assert engine.log == []


def test_expression_seen_up_to_nul(accel_module, engine, results):
    results.kind = 4
    accel_module.nodeset(DOC, None, "//a\x00//b", None)
    assert results.expressions == [b"//a"]


def test_null_result_is_none(accel_module, engine):
    assert accel_module.nodeset(DOC, None, "bad(", None) is None
    assert accel_module.xquery_eval(QUERY, DOC, 0, None) is None
    assert engine.calls() == ["xpath_eval", "xquery_eval"]


def test_xquery_eval(accel_module, engine, results, doc):
    results.nodes = [0x500, 0x400]
    found = accel_module.xquery_eval(QUERY, DOC, 0, doc)
    assert [e._raw for e in found] == [0x500, 0x400]
    assert engine.args_of("xquery_eval") == [(QUERY, DOC, None)]
    assert results.frees() == [(RESULT,)]
    results.kind, results.value = 2, 3.0
    assert accel_module.xquery_eval(QUERY, DOC, CTX, doc) == 3.0
    assert engine.args_of("xquery_eval")[1] == (QUERY, DOC, CTX)


# -- namespace bindings ------------------------------------------------------

def test_nodeset_ns_call_sequence(accel_module, engine, results):
    results.kind = 1
    results.value = 1
    got = accel_module.nodeset_ns(DOC, CTX, "//p:a", None, ["p", "urn:p", "", "urn:d", "odd"])
    assert got is True
    assert results.pairs == [(NS_SET, b"p", b"urn:p"), (NS_SET, b"", b"urn:d")]
    assert engine.calls() == ["ns_set_new", "ns_set_add", "ns_set_add", "xpath_eval_ns",
                              "ns_set_free", "xpath_result_type", "xpath_result_boolean",
                              "xpath_result_free"]
    (doc, ctx, _, nsset), = engine.args_of("xpath_eval_ns")
    assert (doc, ctx, results.expressions, nsset) == (DOC, CTX, [b"//p:a"], NS_SET)


@pytest.mark.parametrize("bindings", [("p", "urn:p"), iter(["p", "urn:p"]), ["p", "urn:p"]])
def test_bindings_accept_any_iterable(accel_module, engine, results, bindings):
    results.kind = 4
    accel_module.nodeset_ns(DOC, None, "x", None, bindings)
    assert results.pairs == [(NS_SET, b"p", b"urn:p")]


def test_refused_binding(accel_module, engine, results):
    engine.on("ns_set_add", lambda s, p, u: 1 if read_cstr(p) == b"bad" else 0)
    pairs = ["p", "urn:p", "bad", "urn:x", "q", "urn:q"]
    assert accel_module.nodeset_ns(DOC, None, "x", None, pairs) is None
    assert engine.calls() == ["ns_set_new", "ns_set_add", "ns_set_add", "ns_set_free"]
    engine.clear_log()
    with pytest.raises(FakeError, match="^invalid namespace binding$"):
        accel_module.compiled_eval(COMPILED, DOC, 0, None, pairs, [])
    # Each set is made once and released once; which set comes first is free.
    calls = engine.calls()
    assert sorted(calls) == ["ns_set_add", "ns_set_add", "ns_set_free", "ns_set_new",
                             "variable_set_free", "variable_set_new"]
    assert calls.index("ns_set_new") < calls.index("ns_set_add") < calls.index("ns_set_free")
    assert calls.index("variable_set_new") < calls.index("variable_set_free")


@pytest.mark.parametrize(
    "bindings, error",
    [(["p", 5], TypeError), ([None, "urn:x"], TypeError), (["p", "\ud800"], UnicodeEncodeError)],
)
def test_nodeset_ns_non_str_binding_raises(accel_module, engine, results, bindings, error):
    # A binding that is not text is a caller's error, reported as such.
    with pytest.raises(error):
        accel_module.nodeset_ns(DOC, None, "x", None, bindings)
    assert engine.calls() == ["ns_set_new", "ns_set_free"]
    engine.clear_log()
    with pytest.raises(error):
        accel_module.compiled_eval(COMPILED, DOC, 0, None, bindings, None)
    assert engine.calls() == ["ns_set_new", "ns_set_free"]


@pytest.mark.parametrize("bindings", [None, 5, object()])
def test_bindings_must_be_a_sequence(accel_module, engine, bindings):
    with pytest.raises(TypeError, match="^bindings must be a sequence$"):
        accel_module.nodeset_ns(DOC, None, "x", None, bindings)
    assert engine.log == []


def test_ns_set_creation_failure_is_none(accel_module, engine, results):
    engine.returns("ns_set_new", None)
    assert accel_module.nodeset_ns(DOC, None, "x", None, ["p", "u"]) is None
    assert engine.calls() == ["ns_set_new"]
    engine.clear_log()
    assert accel_module.compiled_eval(COMPILED, DOC, 0, None, ["p", "u"], []) is None
    # The variable set made is released once, the missing namespace set never.
    assert sorted(engine.calls()) == ["ns_set_new", "variable_set_free", "variable_set_new"]


def test_nodeset_ns_expression_error_releases_set(accel_module, engine, results):
    with pytest.raises(TypeError):
        accel_module.nodeset_ns(DOC, None, b"x", None, ["p", "u"])
    assert engine.calls() == ["ns_set_new", "ns_set_add", "ns_set_free"]


def test_nodeset_ns_non_int_document(accel_module, engine):
    assert accel_module.nodeset_ns("doc", None, "x", None, None) is None
    assert engine.log == []


# -- variables ---------------------------------------------------------------

def test_nodeset_vars_none_passes_null_set(accel_module, engine, results):
    results.kind = 4
    accel_module.nodeset_vars(DOC, CTX, "$x", None, None)
    assert engine.calls() == ["xpath_eval_vars_ctx", "xpath_result_type", "xpath_result_free"]
    (doc, ctx, _, vset), = engine.args_of("xpath_eval_vars_ctx")
    assert (doc, ctx, results.expressions, vset) == (DOC, CTX, [b"$x"], None)


@pytest.mark.parametrize(
    "triple, bound",
    [
        (("b", 0, True), ("boolean", b"b", 1)),
        (("b", 0, 1), ("boolean", b"b", 0)),  # identity with True, not truth
        (("b", 0, "yes"), ("boolean", b"b", 0)),
        (("n", 1, 3), ("number", b"n", 3.0)),
        (("n", 1, 2.5), ("number", b"n", 2.5)),
        (("s", 2, "caf\u00e9"), ("string", b"s", b"caf\xc3\xa9")),
        (("$s", 2, ""), ("string", b"$s", b"")),
    ],
)
def test_variable_types(accel_module, engine, results, triple, bound):
    results.kind = 4
    accel_module.nodeset_vars(DOC, None, "x", None, list(triple))
    assert results.variables == [bound]
    assert engine.calls("variable_set_new", "xpath_eval_vars_ctx", "variable_set_free") == [
        "variable_set_new", "xpath_eval_vars_ctx", "variable_set_free"]
    assert engine.args_of("xpath_eval_vars_ctx")[0][3] == VAR_SET


@pytest.mark.parametrize(
    "vars_flat",
    [
        ["n", 1, "3"],  # a str is not a number
        ["n", 5, 1],  # unknown tag
        ["n", "1", 1],  # tag not an int
        [7, 1, 1.0],  # name not a str
        [b"n", 1, 1.0],
        ["s", 2, 5],  # string value not a str
        ["s", 2, "\ud800"],
        ["ok", 1, 1.0, "n", 9, 1],  # second triple fails
    ],
)
def test_bad_variable(accel_module, engine, results, vars_flat):
    for call in (lambda: accel_module.nodeset_vars(DOC, None, "x", None, vars_flat),
                 lambda: accel_module.compiled_eval(COMPILED, DOC, 0, None, None, vars_flat)):
        engine.clear_log()
        with pytest.raises(FakeError, match="^could not bind variable$") as info:
            call()
        assert info.value.__context__ is None  # the conversion error is replaced, not chained
        assert engine.calls("variable_set_new") == ["variable_set_new"]
        assert engine.calls("variable_set_free") == ["variable_set_free"]
        assert not [c for c in engine.calls() if "eval" in c]


def test_engine_refuses_variable(accel_module, engine, results):
    engine.returns("variable_set_number", 1)
    with pytest.raises(FakeError, match="^could not bind variable$"):
        accel_module.nodeset_vars(DOC, None, "x", None, ["a", 1, 1, "b", 1, 2])
    assert len(engine.args_of("variable_set_number")) == 1  # later triples untouched
    assert engine.calls("variable_set_free") == ["variable_set_free"]


@pytest.mark.parametrize("vars_flat", [["a", 1], ["a"], ["a", 1, 1.0, "b"]])
def test_incomplete_triple_is_refused_before_engine(accel_module, engine, vars_flat):
    with pytest.raises(ValueError, match="name, tag, value triples"):
        accel_module.nodeset_vars(DOC, None, "x", None, vars_flat)
    assert engine.log == []


@pytest.mark.parametrize("vars_flat", [5, object()])
def test_variables_must_be_a_sequence(accel_module, engine, vars_flat):
    with pytest.raises(TypeError, match="^variables must be a sequence$"):
        accel_module.nodeset_vars(DOC, None, "x", None, vars_flat)
    with pytest.raises(TypeError, match="^variables must be a sequence$"):
        accel_module.compiled_eval(COMPILED, DOC, 0, None, 5, vars_flat)
    assert engine.log == []


def test_variable_set_creation_failure(accel_module, engine):
    engine.returns("variable_set_new", None)
    with pytest.raises(FakeError, match="^could not create variable set$"):
        accel_module.nodeset_vars(DOC, None, "x", None, ["a", 1, 1])
    assert engine.calls() == ["variable_set_new"]


# -- compiled expressions ----------------------------------------------------

@pytest.mark.parametrize(
    "bindings, vars_flat, slot, args",
    [
        (None, None, "xpath_compiled_eval", (COMPILED, DOC, CTX)),
        (None, ["v", 1, 1], "xpath_compiled_eval_vars", (COMPILED, DOC, CTX, VAR_SET)),
        (None, [], "xpath_compiled_eval_vars", (COMPILED, DOC, CTX, VAR_SET)),
        ([], None, "xpath_compiled_eval_ns", (COMPILED, DOC, CTX, NS_SET)),
        (["p", "u"], ["v", 1, 1], "xpath_compiled_eval_ns_vars",
         (COMPILED, DOC, CTX, NS_SET, VAR_SET)),
    ],
)
def test_compiled_eval_slots(accel_module, engine, results, bindings, vars_flat, slot, args):
    results.kind, results.value = 3, b"ok"
    assert accel_module.compiled_eval(COMPILED, DOC, CTX, None, bindings, vars_flat) == "ok"
    assert engine.args_of(slot) == [args]
    evaluated = [c for c in engine.calls() if c.startswith("xpath_compiled")]
    assert evaluated == [slot]
    releases = engine.calls("variable_set_free", "ns_set_free", "xpath_result_free")
    expected = (["variable_set_free"] if vars_flat is not None else []) + (
        ["ns_set_free"] if bindings is not None else []) + ["xpath_result_free"]
    assert releases == expected


def test_compiled_eval_variables_checked_before_bindings(accel_module, engine, results):
    with pytest.raises(FakeError, match="^could not bind variable$"):
        accel_module.compiled_eval(COMPILED, DOC, 0, None, 5, ["v", 9, 1])
    assert "ns_set_new" not in engine.calls()


def test_compiled_eval_bindings_error_releases_variables(accel_module, engine, results):
    with pytest.raises(TypeError, match="^bindings must be a sequence$"):
        accel_module.compiled_eval(COMPILED, DOC, 0, None, 5, ["v", 1, 1])
    assert engine.calls() == ["variable_set_new", "variable_set_number", "variable_set_free"]


def test_compiled_eval_null_result(accel_module, engine, results):
    engine.returns("xpath_compiled_eval_ns_vars", None)
    assert accel_module.compiled_eval(COMPILED, DOC, 0, None, ["p", "u"], ["v", 1, 1]) is None
    assert engine.calls("variable_set_free", "ns_set_free", "xpath_result_free") == [
        "variable_set_free", "ns_set_free"]


def test_compiled_eval_wrappers(accel_module, engine, results, doc):
    results.nodes = [0x10, 0x20]
    found = accel_module.compiled_eval(COMPILED, DOC, 0, doc, None, None)
    assert [e._raw for e in found] == [0x10, 0x20] and found[0]._document is doc
    accel_module.invalidate(doc._accel_registry)
    with pytest.raises(FakeError):
        found[1].tag


UNBOUND = """
import json
print(json.dumps([repr(accel.nodeset(1, None, "x", None)),
                  repr(accel.nodeset_ns(1, None, "x", None, None)),
                  repr(accel.nodeset_vars(1, None, "x", None, 5)),
                  repr(accel.compiled_eval(1, 1, 0, None, None, None)),
                  repr(accel.xquery_eval(1, 1, 0, None))]))
"""


def test_unbound(unbound):
    assert json.loads(unbound(UNBOUND)) == ["None"] * 5
