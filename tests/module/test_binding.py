"""Module entry, the engine function table and bind."""

from __future__ import annotations

import pytest

from fake_engine import FakeEngine, FakeError
from korvith._slots import SLOT_NAMES

EXPECTED_FUNCTIONS = {
    "attribute_pairs": "attribute_pairs(element, ns) -> [(name, value[, prefix, uri]), ...]",
    "create": "create(address, ptr, document) -> Element",
    "materialize": "materialize(ptrs, document, addresses) -> list[Element]",
    "bind": "bind(addresses_in_Fns_order, error_class) -> None",
    "nodeset": "nodeset(document_address, context_address, expression, document) -> list | scalar | None",
    "nodeset_ns": "nodeset_ns(document_address, context_address, expression, document, bindings) -> list | scalar | None",
    "find_first": "find_first(address, name, document) -> Element | None",
    "serialize_elem": "serialize_elem(address, indent, declaration) -> bytes | None",
    "parse": "parse(data, recover) -> (address|None, registry|None, status)",
    "parse_with_encoding": "parse_with_encoding(data, recover) -> (address|None, registry|None, status)",
    "parse_inplace": "parse_inplace(address, length, recover, flags) -> (address|None, registry|None, status)",
    "parse_file": "parse_file(path_bytes) -> (address|None, registry|None, status)",
    "close_document": "close_document(address) -> None",
    "document_root": "document_root(address, document) -> Element | None",
    "compiled_eval": "compiled_eval(compiled_address, document_address, context_address, document, bindings, vars_flat) -> list | scalar | None",
    "iterparse_next": "iterparse_next(iterator_address, sentinel) -> Element | None",
    "find_path": "find_path(address, steps, document) -> Element | None",
    "subtree_iter": "subtree_iter(element, include_self, ns, local) -> SubtreeIterator",
    "children": "children(element) -> list[Element]",
    "serialize_doc": "serialize_doc(document_address) -> bytes | None",
    "new_registry": "new_registry() -> capsule tracking live elements of a document",
    "invalidate": "invalidate(capsule) -> poison all tracked elements (document closed)",
    "plan_shape_build": "plan_shape_build(plans, callback_type) -> capsule",
    "plan_convert": "plan_convert(result_address, shape_capsule) -> dict",
    "serialize_doc_opts": "serialize_doc_opts(address, indent, declaration, encoding|None) -> bytes | None",
    "serialize_elem_opts": "serialize_elem_opts(address, indent, declaration, encoding|None) -> bytes | None",
    "nodeset_vars": "nodeset_vars(document_address, context_address, expression, document, vars_flat) -> list | scalar | None",
    "sax_drain": "sax_drain(recorder_address, handler) -> None",
    "xquery_eval": "xquery_eval(query_address, document_address, context_address, document) -> list | scalar | None",
}


def test_module_exports_functions_with_docstrings(accel_module):
    functions = {n for n in dir(accel_module)
                 if callable(getattr(accel_module, n)) and not isinstance(getattr(accel_module, n), type)}
    assert functions == set(EXPECTED_FUNCTIONS)
    for name, doc in EXPECTED_FUNCTIONS.items():
        assert getattr(accel_module, name).__doc__ == doc, name
    assert accel_module.__doc__ == "C-accelerated Element allocation and accessors for korvith."
    assert not hasattr(accel_module, "ReadOnlyDict")


def test_types(accel_module):
    assert accel_module.Element.__name__ == "Element"
    assert accel_module.Element.__module__ == "korvith._korvithaccel"
    assert accel_module.Element.__doc__ == "Accelerated Element base type."
    assert accel_module.SubtreeIterator.__doc__ == "Document-order element cursor over a subtree."

    class Sub(accel_module.Element):
        pass

    assert isinstance(Sub(), accel_module.Element)
    with pytest.raises(TypeError):
        class Bad(accel_module.SubtreeIterator):  # not a base type
            pass


def test_element_members_have_their_docs(accel_module):
    E = accel_module.Element
    assert E._ptr.__doc__ == "cffi handle for the wrapped KorvithElement."
    assert E.text.__doc__ == "First-run text content (settable; libkorvith 1.9.216+)."
    assert E.sourceline.__doc__ == "Source line."
    assert E.get_bool.__doc__ == ("get_bool(name, default=False) -> true/1/yes truthy, "
                                  "false/0 falsy, default otherwise.")
    assert E.itertext.__doc__ == "Merged text runs of the subtree, document order."


def test_bind_routes_positions_to_their_slots(engine, accel_module):
    # Positions 18, 77 and 79 are where bind order and record order differ.
    seen = []
    engine.on("element_attribute_int", lambda el, name, default: seen.append("int") or 5)
    el = accel_module.create(0x1000, None, None)
    assert el.get_int("n") == 5
    assert seen == ["int"]
    assert SLOT_NAMES[18] == "element_attribute_int"
    assert SLOT_NAMES[77] == "plan_value_attribute_count"
    assert SLOT_NAMES[79] == "element_attributes_snapshot"


@pytest.mark.parametrize(
    "addresses, error, message",
    [
        (7, TypeError, "addresses must be a sequence"),
        (list(range(81)), ValueError,
         "bind: expected 80 function addresses in Fns declaration order, got 81"),
        (list(range(79)), ValueError,
         "bind: expected 80 function addresses in Fns declaration order, got 79"),
        (tuple(range(10)) + ("x",) + tuple(range(69)), TypeError, "addresses must be ints"),
        ([2**64] + list(range(79)), OverflowError, None),
        ([-(2**63) - 1] + list(range(79)), OverflowError, None),
    ],
)
def test_bind_rejects(accel_module, addresses, error, message):
    with pytest.raises(error) as info:
        accel_module.bind(addresses, None)
    if message:
        assert str(info.value) == message


def test_partial_bind_keeps_earlier_positions_and_class(engine, accel_module):
    # A failing bind has stored positions before the bad item; the class and
    # the slots after it keep their previous content.
    other = FakeEngine()
    other.on("element_name", lambda el: other.cstr("from-other"))
    engine.on("element_name", lambda el: engine.cstr("from-engine"))
    addresses = other.addresses()[:1] + ["bad"] + other.addresses()[2:]
    with pytest.raises(TypeError):
        accel_module.bind(addresses, ValueError)
    el = accel_module.create(0x10, None, None)
    assert el.tag == "from-other"
    el._raw = kpoison = 2**64 - 1
    assert el._raw == kpoison
    with pytest.raises(FakeError, match="operation on a closed document"):
        el.tag


def test_rebind_with_none_keeps_error_class(engine, accel_module):
    engine.bind(None)
    el = accel_module.create(2**64 - 1, None, None)
    with pytest.raises(FakeError):
        el.tag


def test_iterable_addresses_are_collected(engine, accel_module):
    accel_module.bind(iter(engine.addresses()), FakeError)
    accel_module.bind(tuple(engine.addresses()), None)


UNBOUND_CASES = """
import json
out = {}
def attempt(name, fn):
    try:
        out[name] = repr(fn())
    except Exception as exc:
        out[name] = f"{type(exc).__name__}: {exc}"
attempt("parse", lambda: accel.parse(b"<a/>", False))
attempt("parse_file", lambda: accel.parse_file(b"/nonexistent"))
attempt("plan_convert", lambda: accel.plan_convert(1, None))
attempt("serialize_doc", lambda: accel.serialize_doc(1))
attempt("serialize_elem", lambda: accel.serialize_elem(1, 0, 0))
attempt("nodeset", lambda: accel.nodeset(1, 1, "/a", None))
attempt("find_first", lambda: accel.find_first(1, "a", None))
attempt("close_document", lambda: accel.close_document(1))
attempt("document_root", lambda: accel.document_root(1, None))
attempt("iterparse_next", lambda: accel.iterparse_next(1, None))
attempt("sax_drain", lambda: accel.sax_drain(1, None))
attempt("xquery_eval", lambda: accel.xquery_eval(1, 1, 1, None))
el = accel.create(0x1234, None, None)
attempt("subtree_iter", lambda: accel.subtree_iter(el, True, None, None))
attempt("children", lambda: accel.children(el))
attempt("attribute_pairs", lambda: accel.attribute_pairs(el, True))
attempt("tag", lambda: el.tag)
attempt("get_int", lambda: el.get_int("x", 7))
attempt("keys", lambda: el.keys())
attempt("len", lambda: len(el))
el._raw = -1
attempt("poisoned_len", lambda: len(el))
attempt("poisoned_tag", lambda: el.tag)
print(json.dumps(out))
"""


def test_unbound_entry_points(unbound):
    import json

    out = json.loads(unbound(UNBOUND_CASES))
    assert out["parse"] == "RuntimeError: accelerator is not bound"
    assert out["parse_file"] == "RuntimeError: accelerator is not bound"
    assert out["subtree_iter"] == "RuntimeError: accelerator is not bound"
    assert out["plan_convert"] == "RuntimeError: accelerator not bound"
    for name in ("serialize_doc", "serialize_elem", "nodeset", "find_first", "close_document",
                 "document_root", "iterparse_next", "sax_drain", "xquery_eval", "tag"):
        assert out[name] == "None", name
    assert out["children"] == "[]"
    assert out["attribute_pairs"] == "[]"
    assert out["get_int"] == "7"
    assert out["keys"] == "[]"
    assert out["len"] == "0"
    # Length checks bound before poison; other accessors poison first. With
    # no class bound yet, the closed-document error is a RuntimeError.
    assert out["poisoned_len"] == "0"
    assert out["poisoned_tag"] == "RuntimeError: operation on a closed document"
