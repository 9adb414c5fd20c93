"""Arguments a careless or hostile caller may pass: NUL characters in names
and strings that the engine would read as C strings (cut short at the NUL),
and numbers outside the range the engine's 32-bit fields can carry."""

from __future__ import annotations

import pytest

import korvith

DOC = b"<a k='1'><b>first</b><c/></a>"


@pytest.fixture
def root():
    with korvith.parse(DOC) as doc:
        yield doc.root


@pytest.mark.parametrize("use", [
    lambda r: list(r.iter("b\0x")),
    lambda r: list(r.iter("{urn:\0}b")),
    lambda r: list(r.iter("b\0x", "c")),
    lambda r: r["b\0x"],
    lambda r: "b\0x" in r,
    lambda r: r.find_path("b\0x"),
    lambda r: r.find_path(["b", "\0"]),
], ids=["iter", "iter clark", "iter several", "getitem", "contains", "find_path", "find_path list"])
def test_names_with_nul_raise_value_error(root, use) -> None:
    with pytest.raises(ValueError):
        use(root)
    # the name cut at the NUL does exist, and plain lookups still find it
    assert [e.tag for e in root.iter("b")] == ["b"]
    assert root.find_path("b").text == "first"


def test_attribute_key_with_nul_is_missing(root) -> None:
    with pytest.raises(KeyError):
        root["@k\0x"]
    assert root["@k"] == "1"


@pytest.mark.parametrize("kw", [
    dict(variables={"v": "a\0b"}),
    dict(variables={"v": "a", "v\0": "b"}),
    dict(namespaces={"p": "urn:\0x"}),
    dict(namespaces={"p\0": "urn:x"}),
])
def test_xpath_strings_with_nul_raise_value_error(root, kw) -> None:
    with pytest.raises(ValueError, match="NUL"):
        root.xpath("string($v)" if "variables" in kw else "p:b",
                   namespaces=kw.get("namespaces"), **kw.get("variables", {}))
    assert root.xpath("string($v)", v="ab") == "ab"


def test_iterparse_and_iterextract_tags_with_nul_raise_value_error() -> None:
    with pytest.raises(ValueError):
        korvith.iterparse(DOC, tag="b\0x")
    with pytest.raises(ValueError, match="malformed tag"):
        list(korvith.iterextract(DOC, "b\0x", korvith.Plan(k=str)))
    assert [e.tag for e in korvith.iterparse(DOC, tag="b")] == ["b"]


@pytest.mark.parametrize("depth", [-1, 2**31, 2**32, 2**32 + 3, True, 1.5])
def test_max_depth_out_of_range_raises_value_error(depth, tmp_path) -> None:
    with pytest.raises(ValueError, match="max_depth"):
        korvith.parse(b"<a><b/></a>", max_depth=depth)
    path = tmp_path / "d.xml"
    path.write_bytes(b"<a><b/></a>")
    with pytest.raises(ValueError, match="max_depth"):
        korvith.parse_file(path, max_depth=depth)


def test_max_depth_in_range_is_passed_on() -> None:
    with korvith.parse(b"<a><b/></a>", max_depth=2**31 - 1) as doc:
        assert doc.root[0].tag == "b"
    with pytest.raises(korvith.ParseError, match="max_depth"):
        korvith.parse(b"<a><b/></a>", max_depth=1)


@pytest.mark.parametrize("indent", [61, 2**40])
def test_indent_beyond_the_engine_limit_raises_value_error(root, indent) -> None:
    with pytest.raises(ValueError, match="indent"):
        root.tobytes(indent=indent)
    with pytest.raises(ValueError, match="indent"):
        root._document.tobytes(indent=indent)
    assert root.tobytes(indent=60).count(b"\n" + b" " * 60 + b"<b>") == 1


# ---------------------------------------------------------------- threads

def _race(work, close, rounds: int = 4) -> list[str]:
    """Runs ``work`` in a thread while this thread calls ``close`` a little
    later, several times; returns the error messages the worker saw."""
    import threading
    import time

    seen: list[str] = []
    for attempt in range(rounds):
        state = work()
        errors: list[str] = []

        def run(state=state, errors=errors) -> None:
            try:
                state()
            except korvith.KorvithError as err:
                errors.append(str(err))

        thread = threading.Thread(target=run)
        thread.start()
        time.sleep(0.002 * (attempt + 1))
        close()
        thread.join()
        seen += errors
    return seen


BIG = b"<r>" + b"<item id='1'><name>n</name><v>1</v><v>2</v></item>" * 5000 + b"</r>"


def test_closing_a_document_while_another_thread_extracts_from_it() -> None:
    # The extraction used to run with the GIL released, so the close freed
    # the tree under it (use after free under the sanitizer build). Now it
    # either completes or raises KorvithError.
    plan = korvith.Plan(item=[korvith.Plan(attributes=["id"], name=str, v=[int])])
    holder: dict[str, korvith.Document] = {}

    def work():
        holder["doc"] = doc = korvith.parse(BIG)
        root = doc.root

        def loop() -> None:
            for _ in range(200):
                record = korvith.extract(root, plan)
                assert len(record["item"]) == 5000
        return loop

    errors = _race(work, lambda: holder["doc"].close())
    assert set(errors) <= {"operation on a closed document"}
    assert errors  # the close did land during the loop


def test_closing_an_iterparse_while_another_thread_iterates() -> None:
    holder: dict[str, korvith.iterparse] = {}

    def work():
        holder["it"] = it = korvith.iterparse(BIG, tag="v")

        def loop() -> None:
            for el in it:
                el.text
        return loop

    errors = _race(work, lambda: holder["it"].close())
    assert set(errors) <= {"operation on a closed document"}
