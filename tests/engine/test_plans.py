"""Plans on the real engine: the engine's value tree (through ctypes) and the
package API (extract, iterextract) on real documents."""

from __future__ import annotations

import ctypes
import sys
import textwrap

import pytest

import korvith
from korvith import _engine
from korvith.extract import Located, Plan, Text, Tokens, Wrapped, extract, iterextract
from memory_probe import run_probe, write_items

lib = _engine.lib  # every export declared by the package (_engine.EXPORTS)


def compile_raw(text: bytes) -> tuple[int | None, str]:
    err = ctypes.create_string_buffer(256)
    handle = lib.korvith_plan_compile(text, len(text), err, len(err))
    return handle, err.value.decode()


@pytest.mark.parametrize("text, message", [
    (b"0\n", "at least one plan"),
    (b"1\n0 1\n1:a 9 -1 0 0\n", "unknown row kind 9"),
    (b"1\n0 1\n1:a 3 1 0 0\n", "child plan 1 does not exist"),
    (b"1\n0 1\n1:a 7 4 0 0\n", "child plan 4 does not exist"),
    (b"1\n0 1\n1:a 1 -1 300 0\n", "type tag 300"),
    (b"1\n0 0\nextra", "trailing bytes"),
    (b"1\n1 0\n2:a", "runs past"),
    (b"1\n0 1\n9:a 1 -1 0 0\n", "' ' expected"),
    (b"1\n1 0\n3:{u}\n", "malformed namespaced name"),
    (b"x", "number expected"),
    (b"99999999999\n", "count exceeds"),
])
def test_compile_rejects_malformed_descriptions(text, message):
    handle, error = compile_raw(text)
    assert handle is None
    assert message in error


def walk(value: int) -> object:
    """The engine's plan-value tree as plain data, read through the slots."""
    kind = lib.korvith_plan_value_kind(value)
    name_p = lib.korvith_plan_value_name(value)
    name = ctypes.string_at(name_p).decode() if name_p else None
    text_p = lib.korvith_plan_value_string(value)
    text = ctypes.string_at(text_p, lib.korvith_plan_value_length(value)).decode() if text_p else None
    items = [walk(lib.korvith_plan_value_at(value, i)) for i in range(lib.korvith_plan_value_count(value))]
    attrs = lib.korvith_plan_value_attribute_count(value)
    node = {"kind": kind, "name": name, "tag": lib.korvith_plan_value_type_tag(value)}
    if kind in (1, 4):
        node["text"] = text
    if kind in (0, 2):
        node["items"] = items
    if attrs:
        size = lib.korvith_plan_value_attributes_snapshot(value, None, 0, None, None, 0, None)
        names, values = ctypes.create_string_buffer(size), ctypes.create_string_buffer(size)
        noff, voff = (ctypes.c_size_t * (attrs + 1))(), (ctypes.c_size_t * (attrs + 1))()
        assert lib.korvith_plan_value_attributes_snapshot(value, names, size, noff, values, size, voff) == size
        node["attrs"] = [(ctypes.string_at(ctypes.addressof(names) + noff[i]).decode(),
                          ctypes.string_at(ctypes.addressof(values) + voff[i]).decode())
                         for i in range(attrs)]
    return node


def engine_tree(xml: bytes, description: bytes) -> object:
    doc = korvith.parse(xml)
    plan, error = compile_raw(description)
    assert plan, error
    result = lib.korvith_plan_eval(plan, doc.root._raw)
    try:
        return walk(lib.korvith_plan_result_root(result))
    finally:
        lib.korvith_plan_result_free(result)
        lib.korvith_plan_free(plan)
        doc.close()


def T(name, text, tag=0, kind=1):
    return {"kind": kind, "name": name, "tag": tag, "text": text}


def test_value_tree_lists_rows_in_order_and_attributes_in_plan_order():
    xml = b'<r b="2" a="1" z="9"><y>Y</y><x> 7 </x><w><i>1</i><i>2</i></w><t>p q</t></r>'
    desc = (b"1\n3 5\n1:a\n1:b\n1:c\n"
            b"1:x 1 -1 1 0\n1:y 4 -1 0 0\n1:m 1 -1 0 0\n1:w 7 -1 1 0\n1:t 5 -1 0 0\n")
    tree = engine_tree(xml, desc)
    assert tree["attrs"] == [("a", "1"), ("b", "2")]
    assert tree["items"] == [
        T("x", " 7 ", 1),
        T("y", "Y", 0, kind=4),
        {"kind": 2, "name": "w", "tag": 1, "items": [T("i", "1", 1), T("i", "2", 1)]},
        {"kind": 2, "name": "t", "tag": 0, "items": [T(None, "p"), T(None, "q")]},
    ]


def test_value_tree_records_own_text_and_empty_collections():
    xml = b"<r>lead<k><v>1</v></k><k><v>2</v></k>tail</r>"
    desc = b"2\n0 4\n1:k 3 1 0 0\n1:s 6 -1 0 0\n1:n 2 -1 0 0\n1:q 7 1 0 0\n0 1\n1:v 1 -1 0 0\n"
    tree = engine_tree(xml, desc)
    rec = lambda v: {"kind": 0, "name": "k", "tag": 0, "items": [T("v", v)]}
    assert tree["items"] == [
        rec("1"), rec("2"),
        T("s", "lead12tail"),
        {"kind": 2, "name": "n", "tag": 0, "items": []},
        {"kind": 2, "name": "q", "tag": 0, "items": []},
    ]


@pytest.mark.parametrize("text, slot, expected", [
    ("42", "int", (0, 42)), (" -7\n", "int", (0, -7)), ("+3", "int", (0, 3)),
    ("9223372036854775808", "int", (1, None)), ("4.0", "int", (1, None)), ("x", "int", (1, None)),
    ("2.5", "float", (0, 2.5)), ("-1e3 ", "float", (0, -1000.0)), ("1,5", "float", (1, None)),
    ("true", "bool", (0, 1)), ("FALSE", "bool", (0, 0)), ("1", "bool", (0, 1)), (" 0 ", "bool", (0, 0)),
    ("yes", "bool", (1, None)),
])
def test_typed_reads(text, slot, expected):
    tag = {"int": 1, "float": 2, "bool": 3}[slot]
    xml = f"<r><v>{text}</v></r>".encode()
    doc = korvith.parse(xml)
    plan, _ = compile_raw(f"1\n0 1\n1:v 1 -1 {tag} 0\n".encode())
    result = lib.korvith_plan_eval(plan, doc.root._raw)
    value = lib.korvith_plan_value_at(lib.korvith_plan_result_root(result), 0)
    out = {"int": ctypes.c_longlong, "float": ctypes.c_double, "bool": ctypes.c_int}[slot]()
    status = getattr(lib, f"korvith_plan_value_{slot}")(value, ctypes.byref(out))
    assert (status, out.value if status == 0 else None) == expected
    lib.korvith_plan_result_free(result)
    lib.korvith_plan_free(plan)


# ---------------------------------------------------------------- package API

BOOKS = b"""<?xml version="1.0"?>
<library xmlns:x="urn:x">
  <book id="b1" x:lang="en">
    <title>Dune</title>
    <price> 9.50 </price>
    <year>1965</year>
    <in_stock>true</in_stock>
    <tag>scifi</tag><tag>classic</tag>
    <author><name>Frank Herbert</name><born>1920</born></author>
    <keywords>sand  spice
      worm</keywords>
    <chapters><ch n="1">Book One</ch><ch n="2">Book Two</ch></chapters>
    <isbn>0441013597</isbn>
    <x:note>namespaced</x:note>
    <blurb>A <b>desert</b> planet</blurb>
  </book>
  <book id="b2">
    <title></title>
    <price/>
    <year>unknown</year>
    <author><name>A</name></author><author><name>B</name></author>
  </book>
</library>
"""

BOOK = Plan(
    attributes=["id", "{urn:x}lang"],
    title=str, price=float, year=int, in_stock=bool,
    tag=[str],
    author=[Plan(name=str, born=int)],
    keywords=Tokens(str),
    chapters=Wrapped(Plan(attributes=["n"], body=Text())),
    isbn=Located,
    blurb=str,
    **{"{urn:x}note": str},
)


@pytest.fixture
def books():
    doc = korvith.parse(BOOKS)
    yield doc.root
    doc.close()


def test_extract_reads_every_field_kind(books):
    assert extract(books[0], BOOK) == {
        "id": "b1", "{urn:x}lang": "en",
        "title": "Dune", "price": 9.5, "year": 1965, "in_stock": True,
        "tag": ["scifi", "classic"],
        "author": [{"name": "Frank Herbert", "born": 1920}],
        "keywords": ["sand", "spice", "worm"],
        "chapters": [{"n": "1", "body": "Book One"}, {"n": "2", "body": "Book Two"}],
        "isbn": Located("0441013597", 13, 0),
        "blurb": "A desert planet",
        "{urn:x}note": "namespaced",
    }


def test_extract_absent_empty_and_unconvertible_values(books):
    assert extract(books[1], BOOK) == {
        "id": "b2", "{urn:x}lang": None,
        "title": "",          # present but empty: an empty str
        "price": None,        # blank text of a typed field
        "year": "unknown",    # does not convert: kept as text
        "in_stock": None,     # absent
        "tag": [],
        "author": [{"name": "A", "born": None}, {"name": "B", "born": None}],
        "keywords": [], "chapters": [], "isbn": None, "blurb": None, "{urn:x}note": None,
    }


@pytest.mark.parametrize("spec, expected", [
    (Plan(name=str), {"name": "A"}),          # single record: the first child only
    ([Plan(name=str)], [{"name": "A"}, {"name": "B"}]),
    ([int], ["A", "B"]),  # texts of the <author> children; "A" is no int
])
def test_record_fields_have_a_stable_shape(books, spec, expected):
    assert extract(books[1], Plan(author=spec)) == {"author": expected}


def test_plan_is_reused_and_nested_plans_are_shared(books):
    inner = Plan(name=str)
    plan = Plan(first=inner, author=[inner])
    first = plan.compiled()
    assert [extract(b, plan)["author"] for b in books] == [
        [{"name": "Frank Herbert"}], [{"name": "A"}, {"name": "B"}]]
    assert plan.compiled() is first


def test_recursive_plan():
    section = Plan(attributes=["t"])
    section.fields["section"] = [section]
    doc = korvith.parse(b'<section t="1"><section t="1.1"><section t="1.1.1"/></section>'
                        b'<section t="1.2"/></section>')
    assert extract(doc.root, section) == {"t": "1", "section": [
        {"t": "1.1", "section": [{"t": "1.1.1", "section": []}]},
        {"t": "1.2", "section": []}]}


def test_custom_callback_type(books):
    class Where:
        def __init__(self, text, line, tag):
            self.args = (text, line, tag)

    got = extract(books[0], Plan(title=Where))["title"]
    assert isinstance(got, Where) and got.args == ("Dune", 4, 0)


def _late_field(plan: Plan, name: str, spec: object) -> Plan:
    plan.fields[name] = spec
    return plan


@pytest.mark.parametrize("build, error, message", [
    (lambda: Plan(attributes=["a"], a=str), ValueError, "both an attribute and a field"),
    (lambda: Plan(attributes=["a", "a"]), ValueError, "listed twice"),
    (lambda: Plan(a=[str, int]), TypeError, "a list field"),
    (lambda: Plan(a=3), TypeError, "unsupported field type"),
    (lambda: Plan(a=Plan), TypeError, "unsupported field type"),
    (lambda: Tokens(list), TypeError, "Tokens takes"),
    (lambda: Plan({"": str}), TypeError, "non-empty str"),
    (lambda: Plan(a=Located, b=Plan(c=dict)).compiled(), ValueError, "one callback type"),
    (lambda: Plan({"{x": str}).compiled(), ValueError, "malformed namespaced name"),
    (lambda: _late_field(Plan(), "a", 5).compiled(), TypeError, "unsupported field type"),
])
def test_plan_errors(build, error, message):
    with pytest.raises(error, match=message):
        build()


def test_extract_refuses_closed_and_foreign_elements():
    doc = korvith.parse(b"<r><a>1</a></r>")
    root = doc.root
    doc.close()
    with pytest.raises(korvith.KorvithError):
        extract(root, Plan(a=int))
    with pytest.raises(TypeError, match="live korvith Element"):
        extract(object(), Plan(a=int))


# ---------------------------------------------------------------- streaming

def test_iterextract_buffer_yields_every_match_with_nested_ones():
    xml = (b"<r><skip><v>0</v></skip><item><v>1</v></item>"
           b"<g><item><v>2</v><item><v>3</v></item></item></g></r>")
    got = list(iterextract(xml, "item", Plan(v=int, item=[Plan(v=int)])))
    assert got == [
        {"v": 1, "item": []},
        {"v": 3, "item": []},
        {"v": 2, "item": [{"v": 3}]},
    ]


def test_iterextract_file_and_namespaced_tag(tmp_path):
    path = tmp_path / "feed.xml"
    path.write_bytes(b'<feed xmlns="urn:a"><e id="1"><t>x</t></e><e id="2"><t>y</t></e></feed>')
    plan = Plan(attributes=["id"], **{"{urn:a}t": str})
    assert [r["{urn:a}t"] for r in iterextract(path, "{urn:a}e", plan)] == ["x", "y"]
    assert list(iterextract(str(path), "e", plan)) == []  # plain name: no namespace


def test_iterextract_raises_parse_error_after_good_records():
    gen = iterextract(b"<r><i><v>1</v></i><i><v>2</v></oops></r>", "i", Plan(v=int))
    assert next(gen) == {"v": 1}
    with pytest.raises(korvith.ParseError):
        next(gen)


MEMORY_PROBE = textwrap.dedent("""
    import sys
    from korvith.extract import Plan, iterextract
    path, count = sys.argv[1], int(sys.argv[2])
    before = peak_kib()
    n = 0
    for rec in iterextract(path, "item", Plan(attributes=["id"], name=str, qty=int, tags=[str])):
        n += rec["qty"]
    after = peak_kib()
    print(n == sum(i % 100 for i in range(count)), (after - before) * 1024)
""")


def _extract_probe(tmp_path, count):
    path = tmp_path / f"items-{count}.xml"
    size = write_items(path, count, b"<tags>a</tags><tags>b</tags>")
    ok, growth = run_probe(MEMORY_PROBE, str(path), str(count))
    assert ok == "True"
    return size, int(growth)


def test_iterextract_memory_stays_flat(tmp_path):
    # Flat means the peak does not grow with the input: four times the
    # records must cost (almost) no more memory than the smaller file.
    small_size, small_growth = _extract_probe(tmp_path, 60_000)
    big_size, big_growth = _extract_probe(tmp_path, 240_000)
    assert big_size > 20_000_000
    extra = big_growth - small_growth
    assert extra < (big_size - small_size) // 4, (small_growth, big_growth, big_size)


# -- the plan table native callers use (plan_direct.h)

_P = ctypes.c_void_p


class DirectTable(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("result_new", ctypes.CFUNCTYPE(_P)),
        ("eval_into", ctypes.CFUNCTYPE(_P, _P, _P, _P)),
        ("result_recycle", ctypes.CFUNCTYPE(ctypes.c_int, _P)),
        ("result_free", ctypes.CFUNCTYPE(None, _P)),
        ("plan_free", ctypes.CFUNCTYPE(None, _P)),
        *((name, _P) for name in ("value_kind", "value_name", "value_type_tag", "value_string",
                                  "value_length", "value_position")),
        ("value_count", ctypes.CFUNCTYPE(ctypes.c_size_t, _P)),
        *((name, _P) for name in ("value_at", "value_int", "value_float", "value_bool")),
        ("value_attribute_count", ctypes.CFUNCTYPE(ctypes.c_size_t, _P)),
        ("value_attribute_name", ctypes.CFUNCTYPE(ctypes.c_char_p, _P, ctypes.c_size_t)),
        ("value_attribute_value", ctypes.CFUNCTYPE(ctypes.c_char_p, _P, ctypes.c_size_t)),
    ]


def test_direct_table_evaluates_into_a_reused_result():
    table = DirectTable.from_address(_engine.ext.plan_direct_table())
    assert table.size == ctypes.sizeof(DirectTable)
    handle, error = compile_raw(b"1\n2 1\n1:b\n1:a\n1:t 1 -1 1 0\n")
    assert handle, error
    doc = korvith.parse(b'<r a="x" b="y"><t>5</t></r><!---->')
    result = table.result_new()
    try:
        assert table.eval_into(None, doc.root._raw, result) is None
        assert table.eval_into(handle, None, result) is None
        for _ in range(3):  # the same result, evaluated again and again
            root = table.eval_into(handle, doc.root._raw, result)
            assert root
            # attributes in plan order, only those present; nothing past the end
            assert [table.value_attribute_name(root, i) for i in range(3)] == [b"b", b"a", None]
            assert [table.value_attribute_value(root, i) for i in range(3)] == [b"y", b"x", None]
            assert (table.value_count(root), table.value_attribute_count(root)) == (1, 2)
            assert table.result_recycle(result) == 1
    finally:
        table.result_free(result)
        lib.korvith_plan_free(handle)
        doc.close()
