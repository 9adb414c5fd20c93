"""Attributes on real documents: names, lookups, typed getters and the bulk forms."""

from __future__ import annotations

import ctypes
import math
import random
from collections.abc import Callable

import pytest

from conftest import KEEP_ENTITIES, accel, lib, run_in_threads, s

XML_NS = "http://www.w3.org/XML/1998/namespace"
DOC = (b'<r xmlns:p="urn:p" xmlns:q="urn:q" plain="1" p:a="pa" q:a="qa" '
       b'xml:lang="en" p:plain="shadow"><c xmlns:p="urn:other" p:a="inner"/></r>')


def test_attrib_keys_round_trip_through_get(mdoc) -> None:
    _, root = mdoc(DOC)
    assert root.attrib == {
        "plain": "1", "{urn:p}a": "pa", "{urn:q}a": "qa", f"{{{XML_NS}}}lang": "en",
        "{urn:p}plain": "shadow",
    }
    for key, value in root.attrib.items():
        assert root.get(key) == value
    assert root.keys() == list(root.attrib)


@pytest.mark.parametrize(
    ("name", "value"),
    [
        ("plain", "1"),
        ("p:a", "pa"),
        ("q:a", "qa"),
        ("{urn:q}a", "qa"),
        ("xml:lang", "en"),
        ("p:plain", "shadow"),
        ("a", None),          # only namespaced attributes called a
        ("z:a", None),        # undeclared prefix
        ("{urn:p", None),     # unterminated brace
        ("{}plain", "1"),     # empty URI: no namespace
    ],
)
def test_element_attribute_lookup_forms(docs, name: str, value: str | None) -> None:
    root = docs.root(DOC)
    assert s(lib.korvith_element_attribute(root, name.encode())) == value


def test_prefixed_lookup_uses_the_elements_own_scope(docs) -> None:
    root = docs.root(DOC)
    child = lib.korvith_element_child(root, 0)
    assert s(lib.korvith_element_attribute(child, b"p:a")) == "inner"
    assert s(lib.korvith_element_attribute(child, b"{urn:p}a")) is None
    assert s(lib.korvith_element_attribute_ns(child, b"urn:other", b"a")) == "inner"


@pytest.mark.parametrize(
    ("uri", "local", "value"),
    [(b"urn:p", b"a", "pa"), (b"", b"plain", "1"), (None, b"plain", "1"), (b"urn:x", b"a", None)],
)
def test_element_attribute_ns(docs, uri, local, value) -> None:
    root = docs.root(DOC)
    assert s(lib.korvith_element_attribute_ns(root, uri, local)) == value


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("42", 42), ("-7", -7), ("+5", 5), (" 12 ", 12), ("\t3\n", 3), ("007", 7),
        ("2147483647", 2147483647), ("-2147483648", -2147483648),
        ("2147483648", 99), ("-2147483649", 99), ("1 2", 99), ("1.0", 99), ("0x10", 99),
        ("", 99), ("+", 99), ("--1", 99), ("١٢", 99), ("12abc", 99),
    ],
)
def test_get_int_is_strict(mdoc, text: str, expected: int) -> None:
    _, root = mdoc(f'<r v="{text}"/>'.encode())
    assert root.get_int("v", 99) == expected


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("1.5", 1.5), ("-2", -2.0), ("+.5", 0.5), ("1e3", 1000.0), (" 2.5E-1 ", 0.25),
        ("INF", math.inf), ("-INF", -math.inf),
        ("inf", -1.0), ("nan", -1.0), ("1e999", -1.0), ("0x1p3", -1.0), ("1,5", -1.0),
        ("", -1.0), ("e5", -1.0), ("1.5.2", -1.0), ("--1", -1.0),
        ("4.9e-324", 5e-324), ("1e-400", -1.0),
    ],
)
def test_get_float_is_strict(mdoc, text: str, expected: float) -> None:
    _, root = mdoc(f'<r v="{text}"/>'.encode())
    assert root.get_float("v", -1.0) == expected


def test_get_float_nan(docs) -> None:
    root = docs.root(b'<r v="NaN"/>')
    assert math.isnan(lib.korvith_element_attribute_double(root, b"v", 0.0))


@pytest.mark.parametrize(
    ("text", "expected"),
    [("true", 1), ("TRUE", 1), ("Yes", 1), ("1", 1), (" true ", 1),
     ("false", 0), ("No", 0), ("0", 0), ("FALSE", 0),
     ("on", 7), ("y", 7), ("", 7), ("2", 7), ("truth", 7)],
)
def test_bool_words(docs, text: str, expected: int) -> None:
    root = docs.root(f'<r v="{text}"/>'.encode())
    assert lib.korvith_element_attribute_bool(root, b"v", 7) == expected


def test_typed_getters_accept_prefixed_names_and_default_when_missing(mdoc) -> None:
    _, root = mdoc(b'<r xmlns:n="urn:n" n:count="12" n:flag="yes"/>')
    assert root.get_int("n:count", 0) == 12
    assert root.get_bool("n:flag") is True
    assert root.get_int("missing", 5) == 5
    assert root.get_float("missing", 2.5) == 2.5


def test_value_split_over_entity_references_is_joined(mdoc) -> None:
    xml = b'<!DOCTYPE r [<!ENTITY e "mid">]><r a="x&e;y&amp;z"/>'
    _, root = mdoc(xml)
    assert root.get("a") == "xmidy&z"


def test_kept_entity_reference_in_value(docs) -> None:
    xml = b'<!DOCTYPE r [<!ENTITY e "mid">]><r a="x&e;y"/>'
    root = docs.root(xml, flags=KEEP_ENTITIES)
    first = s(lib.korvith_element_attribute(root, b"a"))
    again = lib.korvith_element_attribute(root, b"a")
    assert first == "xmidy"
    assert lib.korvith_element_attribute(root, b"a") == again  # interned once per document


def test_empty_value_reads_as_empty_string(mdoc) -> None:
    _, root = mdoc(b'<r a=""/>')
    assert root.get("a") == "" and root.attrib == {"a": ""}


def test_attribute_pairs_both_forms(mdoc) -> None:
    _, root = mdoc(DOC)
    assert accel.attribute_pairs(root, False) == root.items()
    assert accel.attribute_pairs(root, True) == [
        ("plain", "1", None, None),
        ("a", "pa", "p", "urn:p"),
        ("a", "qa", "q", "urn:q"),
        ("lang", "en", "xml", XML_NS),
        ("plain", "shadow", "p", "urn:p"),
    ]


def test_snapshot_sizing_and_too_small_buffers(docs) -> None:
    root = docs.root(b'<r xmlns:p="urn:p" p:x="value" y="1"/>')
    need = lib.korvith_element_attributes_snapshot(root, *([None, 0, None] * 4))
    assert need == len(b"value\x001\x00")
    bufs = [ctypes.create_string_buffer(need) for _ in range(4)]
    offs = [(ctypes.c_size_t * 3)() for _ in range(4)]
    args = []
    for b, o in zip(bufs, offs):
        args += [b, need, o]
    assert lib.korvith_element_attributes_snapshot(root, *args) == 0
    names = [ctypes.string_at(ctypes.addressof(bufs[0]) + offs[0][i]) for i in range(2)]
    assert names == [b"x", b"y"]
    assert offs[2][1] == 2**64 - 1 and offs[3][1] == 2**64 - 1
    small = list(args)
    small[4] = need - 1  # values buffer one byte short
    assert lib.korvith_element_attributes_snapshot(root, *small) == 2**64 - 1


def test_pairs_respects_capacity_and_reports_handles(docs) -> None:
    root = docs.root(b'<r a="1" b="2" c="3"/>')
    names = (ctypes.c_void_p * 2)()
    values = (ctypes.c_void_p * 2)()
    handles = (ctypes.c_void_p * 2)()
    assert lib.korvith_element_attribute_pairs(root, names, values, handles, 2) == 2
    assert [s(n) for n in names] == ["a", "b"]
    assert handles[1] == lib.korvith_attribute_next(lib.korvith_element_first_attribute(root))
    assert lib.korvith_attribute_count(root) == 3


def test_attrib_is_one_read_only_mapping(mdoc) -> None:
    _, root = mdoc(DOC)
    assert root.attrib is root.attrib
    with pytest.raises(TypeError, match="^'attrib' is read-only$"):
        root.attrib["plain"] = "2"


def _namespaced_names_document() -> tuple[bytes, list[list[str]]]:
    """500 elements whose namespaced attribute names outnumber the memo's
    slots many times over, each element declaring its own namespace (so one
    URI sits at many addresses) and the same prefix meaning other URIs."""
    parts, expected = [], []
    for i in range(500):
        uri, other = f"urn:{i % 23}", f"urn:o{i % 7}"
        parts.append(f'<c xmlns:p="{uri}" xmlns:o="{other}" p:a{i % 29}="{i}" o:b="x" '
                     f'plain{i % 3}="y" p:b="z"/>')
        expected.append([f"{{{uri}}}a{i % 29}", f"{{{other}}}b", f"plain{i % 3}", f"{{{uri}}}b"])
    return ("<r>" + "".join(parts) + "</r>").encode(), expected


def test_namespaced_names_are_exact_and_interned_under_threads(docs) -> None:
    data, expected = _namespaced_names_document()
    root = docs.root(data)
    handles = []
    for i in range(len(expected)):
        attr = lib.korvith_element_first_attribute(lib.korvith_element_child(root, i))
        row = []
        while attr:
            row.append(attr)
            attr = lib.korvith_attribute_next(attr)
        handles.append(row)
    flat = [(i, j, h) for i, row in enumerate(handles) for j, h in enumerate(row)]
    seen: list[dict[tuple[int, int], tuple[bytes, int]]] = [{} for _ in range(4)]

    def reader(slot: int) -> Callable[[], None]:
        order = flat[:]
        random.Random(slot).shuffle(order)

        def work() -> None:
            for _ in range(3):
                for i, j, h in order:
                    address = lib.korvith_attribute_get_name(h)
                    seen[slot][(i, j)] = (ctypes.string_at(address), address)
        return work

    assert run_in_threads([reader(n) for n in range(4)]) == []
    pointers: dict[bytes, set[int]] = {}
    for per_thread in seen:
        assert [[per_thread[(i, j)][0].decode() for j in range(len(row))]
                for i, row in enumerate(handles)] == expected
        for name, address in per_thread.values():
            pointers.setdefault(name, set()).add(address)
    # One pointer per name for the document's life, whichever thread asked.
    assert all(len(addresses) == 1 for addresses in pointers.values())
