"""korvith.read_xml: frames equal to the records of iterextract, with dtypes
fixed by the plan, and pandas.read_xml as the oracle on flat records."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
from pandas.testing import assert_frame_equal  # noqa: E402

import korvith  # noqa: E402
from korvith import Plan, Text, Tokens, Wrapped  # noqa: E402

from corpus import MIME_NS, mime_database  # noqa: E402

ITEMS = b"""<shop>
  <item id="a1" kind="tea"><name>Green</name><price>3.5</price><qty>4</qty><ok>true</ok>
    <tag>hot</tag><tag>leaf</tag><maker><who>Ann</who></maker></item>
  <item id="a2"><name></name><price>7</price><ok>0</ok><kw>x y</kw></item>
  <box><item kind="coffee"><qty>9223372036854775807</qty><tag>dark</tag>
    <maker><who>Bo</who></maker></item></box>
</shop>"""

FLAT = Plan(attributes=["id", "kind"], name=str, price=float, qty=int, ok=bool)
NESTED = Plan(attributes=["id"], tag=[str], maker=[Plan(who=str)], kw=Tokens(str))

# What read_xml gives for each plan field type: the plan decides, the data
# never does (an int column with a missing value stays integer).
DTYPES = {
    None: {str: "object", int: "Int64", float: "float64", bool: "boolean"},
    "numpy_nullable": {str: "string", int: "Int64", float: "Float64", bool: "boolean"},
}


def expected_frame(source: bytes | str, tag: str, plan: Plan, dtypes: dict[str, str]) -> pd.DataFrame:
    """The frame built by hand from iterextract's dicts."""
    records = list(korvith.iterextract(source, tag, plan))
    return pd.DataFrame({name: pd.Series([r[name] for r in records], dtype=dtypes[name])
                         for name in [*plan.attributes, *plan.fields]})


@pytest.mark.parametrize("backend", [None, "numpy_nullable"])
def test_flat_records_equal_iterextract_with_plan_dtypes(backend: str | None) -> None:
    frame = korvith.read_xml(ITEMS, "item", FLAT, dtype_backend=backend)
    types = DTYPES[backend]
    dtypes = {"id": types[str], "kind": types[str], "name": types[str], "price": types[float],
              "qty": types[int], "ok": types[bool]}
    assert_frame_equal(frame, expected_frame(ITEMS, "item", FLAT, dtypes))
    assert frame["qty"].tolist() == [4, pd.NA, 9223372036854775807]  # exact, not via float
    assert frame["name"].tolist()[:2] == ["Green", ""]
    assert frame["ok"].tolist() == [True, False, pd.NA]


def test_nested_columns_hold_the_lists_and_dicts_of_iterextract() -> None:
    frame = korvith.read_xml(ITEMS, "item", NESTED)
    records = list(korvith.iterextract(ITEMS, "item", NESTED))
    assert frame.to_dict("records") == records
    assert list(frame.dtypes) == [object] * 4
    assert type(frame["tag"][0]) is list and type(frame["maker"][0][0]) is dict
    assert frame["kw"].tolist() == [[], ["x", "y"], []]
    assert frame["maker"].tolist() == [[{"who": "Ann"}], [], [{"who": "Bo"}]]


def test_pyarrow_backend_keeps_arrow_types() -> None:
    frame = korvith.read_xml(ITEMS, "item", Plan(attributes=["id"], qty=int, tag=[str]),
                             dtype_backend="pyarrow")
    assert [str(t) for t in frame.dtypes] == ["string[pyarrow]", "int64[pyarrow]",
                                              "list<item: string>[pyarrow]"]
    assert frame["qty"].tolist() == [4, pd.NA, 9223372036854775807]
    assert frame["tag"].tolist() == [["hot", "leaf"], [], ["dark"]]


def test_mime_database_with_namespaced_names() -> None:
    data = mime_database(types=40)
    plan = Plan(attributes=["type"], fields={f"{{{MIME_NS}}}comment": [str],
                                             f"{{{MIME_NS}}}magic": Plan(attributes=["priority"])})
    frame = korvith.read_xml(data, f"{{{MIME_NS}}}mime-type", plan)
    assert frame.to_dict("records") == list(korvith.iterextract(data, f"{{{MIME_NS}}}mime-type", plan))
    assert frame.shape == (40, 3)
    assert frame["type"].iloc[39] == "application/x-test39"


@pytest.mark.parametrize("batch_size", [1, 2, 65536])
def test_batch_size_does_not_change_the_frame(batch_size: int) -> None:
    whole = korvith.read_xml(ITEMS, "item", FLAT)
    assert_frame_equal(korvith.read_xml(ITEMS, "item", FLAT, batch_size=batch_size), whole)


def test_file_path_and_parse_options(tmp_path: Path) -> None:
    path = tmp_path / "shop.xml"
    path.write_bytes(ITEMS)
    assert_frame_equal(korvith.read_xml(path, "item", FLAT), korvith.read_xml(ITEMS, "item", FLAT))
    assert_frame_equal(korvith.read_xml(str(path), "item", FLAT, huge=True),
                       korvith.read_xml(ITEMS, "item", FLAT))


def test_no_match_gives_the_columns_and_dtypes_without_rows() -> None:
    frame = korvith.read_xml(ITEMS, "nothing", FLAT)
    assert frame.shape == (0, 6)
    assert [str(t) for t in frame.dtypes] == ["object", "object", "object", "float64",
                                              "Int64", "boolean"]
    pd.testing.assert_series_equal(frame.dtypes, korvith.read_xml(ITEMS, "item", FLAT).dtypes)


def test_unconvertible_text_raises_or_becomes_null() -> None:
    data = b"<r><i><n>1</n></i><i><n>abc</n></i></r>"
    with pytest.raises(ValueError, match="'abc' is not an int"):
        korvith.read_xml(data, "i", {"n": int})
    assert korvith.read_xml(data, "i", {"n": int}, errors="null")["n"].tolist() == [1, pd.NA]


def test_parse_error_raises() -> None:
    with pytest.raises(korvith.ParseError):
        korvith.read_xml(b"<r><i><n>1</n></i><i>", "i", ["n"])


# ------------------------------------------------------------ plan_or_columns

@pytest.mark.parametrize("columns, plan", [
    (["name", "price"], Plan(name=str, price=str)),
    (("@id", "name"), Plan(attributes=["id"], name=str)),
    ({"@kind": str, "qty": int, "tag": [str]}, Plan(attributes=["kind"], qty=int, tag=[str])),
    (["{urn:x}a", "@{urn:x}b"], Plan(attributes=["{urn:x}b"], fields={"{urn:x}a": str})),
])
def test_columns_mean_the_same_as_a_plan(columns: object, plan: Plan) -> None:
    from korvith.frames import as_plan
    built = as_plan(columns)
    assert (built.attributes, dict(built.fields)) == (plan.attributes, dict(plan.fields))
    if "{urn:x}a" not in plan.fields:
        assert_frame_equal(korvith.read_xml(ITEMS, "item", columns),
                           korvith.read_xml(ITEMS, "item", plan))


@pytest.mark.parametrize("columns, error, message", [
    ("name", TypeError, "plan_or_columns must be a korvith.Plan, a list of column names "
                        "or a dict of name -> type, not str"),
    (42, TypeError, "plan_or_columns must be .* not int"),
    (None, TypeError, "plan_or_columns must be .* not NoneType"),
    ([], ValueError, "plan_or_columns names no column"),
    ({}, ValueError, "plan_or_columns names no column"),
    (["name", 3], TypeError, "plan_or_columns: a column name is a non-empty str, not 3"),
    (["@"], TypeError, "plan_or_columns: a column name is a non-empty str, not '@'"),
    ({"@id": int}, TypeError, "plan_or_columns: attribute '@id' reads as str"),
    ({"n": 3}, TypeError, "plan_or_columns: field 'n': unsupported field type 3"),
    ({"n": complex}, TypeError, "field 'n' has a callback type, which has no Arrow type"),
    (["@id", "@id"], ValueError, "plan_or_columns: an attribute is listed twice"),
    (["@n", "n"], ValueError, "plan_or_columns: 'n' is both an attribute and a field"),
])
def test_bad_columns_name_the_parameter(columns: object, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        korvith.read_xml(ITEMS, "item", columns)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"dtype_backend": "numpy"}, ValueError, "dtype_backend must be None, 'numpy_nullable'"),
    ({"batch_size": 0}, ValueError, "batch_size"),
    ({"errors": "ignore"}, ValueError, "errors must be"),
])
def test_bad_options_raise_before_reading(kwargs: dict, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        korvith.read_xml("/nonexistent/never-read.xml", "item", FLAT, **kwargs)


@pytest.mark.parametrize("spec", [Text(str), Wrapped(str), Wrapped(Plan(who=str))])
def test_other_field_kinds_match_iterextract(spec: object) -> None:
    data = b"<r><i>own<w><a>1</a><b>2</b></w></i><i/></r>"
    plan = Plan(fields={"w": spec})
    assert korvith.read_xml(data, "i", plan).to_dict("records") == list(
        korvith.iterextract(data, "i", plan))


# ------------------------------------------------------------ the pandas oracle

@pytest.mark.parametrize("parser", ["lxml", "etree"])
def test_flat_records_match_pandas_read_xml(parser: str) -> None:
    data = b"""<shop>
      <item id="a1"><name>Green</name><price>3.5</price><qty>4</qty></item>
      <item id="a2"><name>Dark</name><price>7.25</price><qty>12</qty></item>
      <item id="a3"><name>Black</name><price>0.5</price><qty>0</qty></item>
    </shop>"""
    theirs = pd.read_xml(data, xpath=".//item", parser=parser)
    ours = korvith.read_xml(data, "item", {"@id": str, "name": str, "price": float, "qty": int})
    assert list(ours.columns) == list(theirs.columns)
    # pandas infers int64 for a column without a missing value; ours is Int64 always
    assert_frame_equal(ours.astype({"qty": "int64"}), theirs)


LAUGHS = (b'<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "aaaaaaaaaa">'
          + b"".join(b'<!ENTITY %c "&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;">'
                     % ((98 + i,) + (97 + i,) * 10) for i in range(9))
          + b']><r><i><n>&j;</n></i></r>')


@pytest.mark.parametrize("data", [
    LAUGHS,
    b'<!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/hostname">]><r><i><n>&x;</n></i></r>',
    b"<r>" + b"<i>" * 5000 + b"</i>" * 5000 + b"</r>",
    b"<r><i><n>\xff\xfe</n></i></r>",
    b"<r><i><n>1</n></i><i><n>2</n>",
    b"\xef\xbb\xbf<r><i><n>x</n></i></r>",
], ids=["entity-expansion", "external-entity", "deep", "bad-utf8", "truncated", "bom"])
def test_hostile_input_behaves_as_iterextract(data: bytes) -> None:
    plan = Plan(n=str)
    try:
        expected: object = list(korvith.iterextract(data, "i", plan))
    except Exception as e:  # the same error type, or the same records
        expected = type(e)
    try:
        got: object = korvith.read_xml(data, "i", plan).to_dict("records")
    except Exception as e:
        got = type(e)
    assert got == expected


def test_importing_korvith_loads_neither_pandas_nor_pyarrow() -> None:
    code = "import sys, korvith; print(sorted({'pandas', 'pyarrow', 'dask'} & set(sys.modules)))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "[]", out.stderr


def test_missing_pandas_says_what_to_install() -> None:
    code = ("import sys; sys.modules['pandas'] = None; import korvith\n"
            "try:\n    korvith.read_xml(b'<r/>', 'r', ['a'])\n"
            "except ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == ("korvith.read_xml needs pandas: install python3-pandas "
                                  "(Debian) or `pip install pandas`"), out.stderr
