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


ELEMENT_METHODS = {
    "getparent": "Parent element or None.",
    "getnext": "Next element sibling or None.",
    "get": "get(name, default=None) -> attribute value.",
    "get_int": "get_int(name, default=0) -> strict int; default when missing/empty/unparseable.",
    "get_float": ("get_float(name, default=0.0) -> strict float; "
                  "default when missing/empty/unparseable."),
    "get_bool": ("get_bool(name, default=False) -> true/1/yes truthy, "
                 "false/0 falsy, default otherwise."),
    "getprevious": "Previous element sibling or None.",
    "keys": "Attribute names in document order.",
    "items": "(name, value) pairs in document order.",
    "values": "Attribute values in document order.",
    "itertext": "Merged text runs of the subtree, document order.",
}

ELEMENT_GETSETS = {
    "_ptr": ("cffi handle for the wrapped KorvithElement.", True),
    "_raw": ("Raw element pointer as an int (internal).", True),
    "_document": ("Owning Document.", True),
    "tag": ("Element name (Clark notation).", False),
    "text": ("First-run text content (settable; libkorvith 1.9.216+).", True),
    "attrib": ("Attributes as a dict.", False),
    "tail": ("Trailing text run.", False),
    "namespace": ("Namespace URI.", False),
    "prefix": ("Namespace prefix.", False),
    "sourceline": ("Source line.", False),
}


def test_element_members_in_order_with_their_docs(accel_module):
    import types

    E = accel_module.Element
    own = [n for n, v in vars(E).items()
           if isinstance(v, (types.MethodDescriptorType, types.GetSetDescriptorType))]
    # The type lists its methods first, then its getsets, each in table order.
    assert own == list(ELEMENT_METHODS) + list(ELEMENT_GETSETS)
    for name, doc in ELEMENT_METHODS.items():
        assert getattr(E, name).__doc__ == doc, name
    el = E()
    for name, (doc, settable) in ELEMENT_GETSETS.items():
        assert getattr(E, name).__doc__ == doc, name
        if not settable:
            with pytest.raises(AttributeError):
                setattr(el, name, None)


def test_last_position_reaches_the_attribute_snapshot(engine, accel_module):
    engine.returns("attribute_count", 1)
    engine.returns("element_attributes_snapshot", 2**64 - 1)
    with pytest.raises(FakeError):
        accel_module.attribute_pairs(accel_module.create(0x1000, None, None), True)
    assert engine.calls()[:2] == ["attribute_count", "element_attributes_snapshot"]


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
    # The 11th item is bad: positions 0 to 9 already hold the new addresses,
    # position 10 on keep the old ones, and so does the error class.
    other = FakeEngine()
    for fake, label in ((engine, b"from-engine"), (other, b"from-other")):
        fake.on("element_as_node", lambda h: h)
        fake.on("node_first_child", lambda n: 0x50)
        fake.on("text_node_get_content", lambda n, fake=fake, label=label: fake.cstr(label))
    other.returns("node_get_type", 1)  # position 9: a text node
    engine.returns("node_get_type", 8)  # a comment, which would make text None
    addresses = tuple(other.addresses()[:10]) + ("bad",) + tuple(other.addresses()[11:])
    with pytest.raises(TypeError, match="^addresses must be ints$"):
        accel_module.bind(addresses, ValueError)
    el = accel_module.create(0x10, None, None)
    assert el.text == "from-engine"
    assert other.calls() == ["element_as_node", "node_first_child", "node_get_type",
                             "node_next_sibling"]
    assert engine.calls() == ["text_node_get_content"]
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
attempt("parse_with_encoding", lambda: accel.parse_with_encoding(b"<a/>", False))
attempt("parse_inplace", lambda: accel.parse_inplace(1, 4, False, 0))
attempt("nodeset_ns", lambda: accel.nodeset_ns(1, 1, "/a", None, None))
attempt("nodeset_vars", lambda: accel.nodeset_vars(1, 1, "/a", None, None))
attempt("compiled_eval", lambda: accel.compiled_eval(1, 1, 1, None, None, None))
attempt("find_path", lambda: accel.find_path(1, ["a"], None))
attempt("serialize_doc_opts", lambda: accel.serialize_doc_opts(1, 0, 0, None))
attempt("serialize_elem_opts", lambda: accel.serialize_elem_opts(1, 0, 0, None))
attempt("subtree_iter", lambda: accel.subtree_iter(el, True, None, None))
for member in ("namespace", "prefix", "sourceline", "text", "tail", "attrib"):
    attempt(member, lambda member=member: getattr(el, member))
for method in ("getparent", "getnext", "getprevious", "values", "items", "itertext"):
    attempt(method, lambda method=method: getattr(el, method)())
attempt("get", lambda: el.get("x", 7))
attempt("get_float", lambda: el.get_float("x", 1.5))
attempt("get_bool", lambda: el.get_bool("x", True))
accel.Element._py_getitem = lambda e, k: ("hook", k)
attempt("subscript", lambda: el[0])
attempt("children", lambda: accel.children(el))
attempt("attribute_pairs", lambda: accel.attribute_pairs(el, True))
attempt("tag", lambda: el.tag)
attempt("get_int", lambda: el.get_int("x", 7))
attempt("keys", lambda: el.keys())
attempt("len", lambda: len(el))
el._raw = -1
attempt("poisoned_len", lambda: len(el))
attempt("poisoned_tag", lambda: el.tag)
"""


def test_unbound_entry_points(unbound_attempts):
    out = unbound_attempts(UNBOUND_CASES)
    assert out["parse"] == "RuntimeError: accelerator is not bound"
    for name in ("parse_file", "parse_with_encoding", "parse_inplace"):
        assert out[name] == "RuntimeError: accelerator is not bound", name
    assert out["subtree_iter"] == "RuntimeError: accelerator is not bound"
    assert out["plan_convert"] == "RuntimeError: accelerator not bound"
    for name in ("serialize_doc", "serialize_elem", "nodeset", "find_first", "close_document",
                 "document_root", "iterparse_next", "sax_drain", "xquery_eval", "tag",
                 "nodeset_ns", "nodeset_vars", "compiled_eval", "find_path",
                 "serialize_doc_opts", "serialize_elem_opts", "namespace", "prefix",
                 "sourceline", "text", "tail", "attrib", "getparent", "getnext", "getprevious",
                 "get"):
        assert out[name] == "None", name
    for name in ("values", "items", "itertext"):
        assert out[name] == "[]", name
    assert (out["get_float"], out["get_bool"]) == ("1.5", "True")
    assert out["subscript"] == "('hook', 0)"
    assert out["children"] == "[]"
    assert out["attribute_pairs"] == "[]"
    assert out["get_int"] == "7"
    assert out["keys"] == "[]"
    assert out["len"] == "0"
    # Length checks bound before poison; other accessors poison first. With
    # no class bound yet, the closed-document error is a RuntimeError.
    assert out["poisoned_len"] == "0"
    assert out["poisoned_tag"] == "RuntimeError: operation on a closed document"


def test_fresh_bind_with_plain_ints_and_no_class(unbound):
    # Any ints are accepted; the module is bound from then on (length now
    # checks the poison value) and, with no class given, the closed-document
    # error is a RuntimeError.
    out = unbound("""
        print(accel.bind(list(range(80)), None))
        el = accel.create(0, None, None)
        print(el.tag, el.keys())
        el._raw = -1
        for action in (lambda: len(el), lambda: el.tag):
            try:
                action()
            except Exception as exc:
                print(type(exc).__name__, exc)
    """)
    assert out.splitlines() == ["None", "None []",
                                "RuntimeError operation on a closed document",
                                "RuntimeError operation on a closed document"]
