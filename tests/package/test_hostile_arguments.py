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


# -- arguments of the wrong type: TypeError naming the parameter and the type

@pytest.mark.parametrize("use", [
    lambda d: d.xpath("//b", namespaces=[("p", "urn:p")]),
    lambda d: d.root.xpath("//b", namespaces=5),
    lambda d: d.find("b", namespaces=5),
    lambda d: d.root.findall("b", namespaces=5),
    lambda d: korvith.XPath("//b", namespaces=5),
], ids=["doc.xpath", "el.xpath", "doc.find", "el.findall", "XPath"])
def test_namespaces_that_are_not_a_mapping_raise_type_error(use) -> None:
    with korvith.parse(DOC) as doc:
        with pytest.raises(TypeError, match=r"namespaces must be a mapping .*not (list|int)$"):
            use(doc)
        assert doc.find("b", namespaces={"p": "urn:p"}).text == "first"


@pytest.mark.parametrize("use", [lambda d: d.find(5), lambda d: d.findall(5),
                                 lambda d: d.root.find(5)],
                         ids=["doc.find", "doc.findall", "el.find"])
def test_find_with_a_non_str_path_raises_type_error(use) -> None:
    with korvith.parse(DOC) as doc:
        with pytest.raises(TypeError, match="path must be str, not int"):
            use(doc)


class _LooksLikeAnElement:
    _raw = 1  # a private attribute must never be trusted as an address


class _LooksLikeADocument:
    _check = _accel_registry = None


def test_compiled_xpath_checks_its_context_by_class() -> None:
    find = korvith.XPath("//b")
    with pytest.raises(TypeError, match="Document or an Element, not _LooksLikeADocument"):
        find(_LooksLikeADocument())
    with pytest.raises(TypeError, match="Document or an Element, not _LooksLikeAnElement"):
        find(_LooksLikeAnElement())
    with korvith.parse(DOC) as doc:
        assert [e.text for e in find(doc)] == ["first"]


def test_extract_checks_the_plan_and_the_element_by_class() -> None:
    with korvith.parse(DOC) as doc:
        with pytest.raises(TypeError, match="plan must be a korvith.Plan, not dict"):
            korvith.extract(doc.root, {"b": str})
        with pytest.raises(TypeError, match="not _LooksLikeAnElement"):
            korvith.extract(_LooksLikeAnElement(), korvith.Plan(b=str))
        assert korvith.extract(doc.root, korvith.Plan(b=str)) == {"b": "first"}
    with pytest.raises(TypeError, match="plan must be a korvith.Plan, not dict"):
        list(korvith.iterextract(DOC, "a", {"b": str}))


class _Partial:
    def start_element(self, name, attrs): ...


@pytest.mark.parametrize("handler, missing", [
    (object(), "start_document"), (_Partial(), "start_document"),
    (type("H", (korvith.SaxHandler,), {"error": None})(), "error"),
    (type("H", (korvith.SaxHandler,), {"characters": 3})(), "characters"),
])
def test_sax_handler_lacking_a_method_raises_type_error_naming_it(handler, missing) -> None:
    with pytest.raises(TypeError, match=rf"needs a callable {missing}\(\).*SaxHandler"):
        korvith.sax_parse(DOC, handler)


def test_sax_handler_may_silence_an_optional_event_with_none() -> None:
    seen = []

    class Quiet(korvith.SaxHandler):
        characters = None

        def start_element(self, name, attrs):
            seen.append(name)

    korvith.sax_parse(DOC, Quiet())
    assert seen == ["a", "b", "c"]


# -- paths

@pytest.mark.parametrize("use", [lambda p: korvith.iterparse(p),
                                 lambda p: korvith.sax_parse(p, korvith.SaxHandler()),
                                 lambda p: list(korvith.iterextract(p, "b", korvith.Plan()))],
                         ids=["iterparse", "sax_parse", "iterextract"])
def test_paths_fail_as_open_would(use, tmp_path) -> None:
    with pytest.raises(ValueError, match="embedded NUL character in path"):
        use("a\0b")
    with pytest.raises(IsADirectoryError):
        use(str(tmp_path))
    with pytest.raises(FileNotFoundError):
        use(str(tmp_path / "missing.xml"))


# -- output encodings

@pytest.mark.parametrize("encoding", ["utf-16", "UTF-16LE", "utf-32", "UTF-32-BE"])
@pytest.mark.parametrize("use", [lambda d, e: d.tobytes(encoding=e),
                                 lambda d, e: d.root.tobytes(encoding=e),
                                 lambda d, e: korvith.tostring(d.root, encoding=e)],
                         ids=["doc.tobytes", "el.tobytes", "tostring"])
def test_wide_encodings_say_why_and_name_the_alternative(use, encoding) -> None:
    with korvith.parse(DOC) as doc:
        with pytest.raises(ValueError, match=rf"cannot serialize to '{encoding}'.*"
                                             r"NUL bytes.*encoding='unicode'"):
            use(doc, encoding)


@pytest.mark.parametrize("use", [lambda d: d.tobytes(encoding="no-such-enc"),
                                 lambda d: korvith.tostring(d.root, encoding="no-such-enc")])
def test_unknown_encoding_raises_lookup_error_naming_it(use) -> None:
    with korvith.parse(DOC) as doc:
        with pytest.raises(LookupError, match="unknown encoding: 'no-such-enc'"):
            use(doc)
        assert doc.root.tobytes(encoding="latin1", with_tail=False).startswith(b"<a k=")


@pytest.mark.parametrize("encoding, hint", [("latin-1", "try that name"), ("rot13", ""),
                                            ("euc_jp", "")])
def test_encoding_python_knows_but_the_serializer_does_not(encoding, hint) -> None:
    with korvith.parse(DOC) as doc:
        with pytest.raises(LookupError, match=rf"unknown encoding for XML output: '{encoding}'"
                                              rf".*serializer does not\).*{hint}"):
            doc.tobytes(encoding=encoding)


# -- plans are compiled on first use, so they cannot change afterwards

@pytest.mark.parametrize("change", [
    lambda p: setattr(p, "fields", {"c": str}),
    lambda p: setattr(p, "attributes", ("k", "z")),
    lambda p: setattr(p, "_compiled", None),
    lambda p: delattr(p, "fields"),
    lambda p: setattr(p.fields["inner"], "type_", int),
], ids=["set fields", "set attributes", "set private", "delete", "nested Text"])
def test_plans_are_immutable(change) -> None:
    plan = korvith.Plan(b=str, inner=korvith.Text, attributes=["k"])
    with korvith.parse(DOC) as doc:
        before = korvith.extract(doc.root, plan)
        with pytest.raises(AttributeError, match=r"objects are immutable .*build a new"):
            change(plan)
        assert korvith.extract(doc.root, plan) == before == {"k": "1", "b": "first",
                                                              "inner": "first"}


@pytest.mark.parametrize("change", [
    lambda f: f.__setitem__("c", str), lambda f: f.__delitem__("b"), lambda f: f.update(c=str),
    lambda f: f.setdefault("c", str), lambda f: f.pop("b"), lambda f: f.popitem(),
    lambda f: f.clear(), lambda f: f.__ior__({"c": str}),
], ids=["set", "del", "update", "setdefault", "pop", "popitem", "clear", "ior"])
def test_plan_fields_are_frozen_at_first_use_also_in_sub_plans(change) -> None:
    inner = korvith.Plan(b=str)
    outer = korvith.Plan(b=str, sub=inner)
    change(korvith.Plan(b=str).fields)  # before first use: a recursive plan is built so
    with korvith.parse(DOC) as doc:
        korvith.extract(doc.root, outer)
        for plan in (outer, inner):
            with pytest.raises(TypeError, match=r"cannot change after its first use .*new Plan"):
                change(plan.fields)
        assert dict(inner.fields) == {"b": str} and list(outer.fields) == ["b", "sub"]
    assert repr(inner) == "Plan(attributes=[], fields={'b': <class 'str'>})"


def test_plans_pickle_before_and_after_use() -> None:
    import pickle
    plan = korvith.Plan({"b": int, "w": korvith.Wrapped(str), "t": korvith.Tokens(int)},
                        attributes=["k"], c=[korvith.Plan(x=str)])
    with korvith.parse(b"<a k='1'><b>7</b><w><i>x</i></w><t>1 2</t><c><x>y</x></c></a>") as doc:
        expected = {"k": "1", "b": 7, "w": ["x"], "t": [1, 2], "c": [{"x": "y"}]}
        for _ in range(2):  # before and after the plan's first use
            copy = pickle.loads(pickle.dumps(plan))
            assert copy.attributes == ("k",) and list(copy.fields) == ["b", "w", "t", "c"]
            assert korvith.extract(doc.root, copy) == expected
            assert korvith.extract(doc.root, plan) == expected


def test_recursive_plans_pickle_and_stay_immutable() -> None:
    import pickle
    section = korvith.Plan(attributes=["t"])
    section.fields["section"] = [section]
    copy = pickle.loads(pickle.dumps(section))
    assert copy.fields["section"][0] is copy
    xml = b'<section t="1"><section t="1.1"/><section t="1.2"/></section>'
    with korvith.parse(xml) as doc:
        assert korvith.extract(doc.root, copy) == korvith.extract(doc.root, section) == {
            "t": "1", "section": [{"t": "1.1", "section": []}, {"t": "1.2", "section": []}]}
    with pytest.raises(AttributeError, match="immutable"):
        copy.__setstate__(((), {}))
