"""Wrong argument types raise TypeError or ValueError naming what was
wrong, never AttributeError from deep inside, on every public function and
on Document and Element methods."""

from __future__ import annotations

import inspect
import io
from typing import Any, Callable

import pytest
from lxml import etree

import korvith

SOURCE = b"<r xmlns:p='urn:p'><a k='v'>t<b/>tail</a><c/></r>"
BAD_VALUES = [42, object(), b"bytes", ["x"]]
# What a parameter gets while another one receives the bad value.
GOOD = {"tag": "a", "path": "a", "key": "k", "name": "k", "value": "v", "text": "t",
        "data": b"<r/>", "source": b"<r/>", "xpath": "a", "expr": "a", "query": "a",
        "match": "a", "node": None, "element": None, "parent": None, "old": None, "new": None}
# Exceptions a bad argument may legitimately give (OSError: a bytes or
# str value taken as a file name).
EXPECTED = (TypeError, ValueError, LookupError, OSError, korvith.KorvithError)
# Constructors the engine's own results go through (they take an engine
# address); not for callers.
INTERNAL = {"Document", "XSLTResult"}


def _doc() -> korvith.Document:
    return korvith.parse(SOURCE)


def _good(name: str) -> Any:
    value = GOOD.get(name, "a")
    return _doc().root.find("a") if value is None else value


def _calls() -> list[tuple[str, Callable[[], Any], str]]:
    """(label, call, parameter) for every positional-or-keyword parameter of
    every public callable, with one bad value in that parameter."""
    targets: list[tuple[str, Callable[[], Callable[..., Any]]]] = []
    for name in korvith.__all__:
        obj = getattr(korvith, name)
        if name in INTERNAL or (inspect.isclass(obj) and issubclass(obj, BaseException)):
            continue
        if callable(obj):
            targets.append((name, lambda obj=obj: obj))
    for cls, make in [(korvith.Document, _doc), (korvith.Element, lambda: _doc().root)]:
        for method in sorted(m for m in dir(cls) if not m.startswith("_")):
            if callable(getattr(cls, method)):
                targets.append((f"{cls.__name__}.{method}",
                                lambda make=make, method=method: getattr(make(), method)))
    calls = []
    for label, get in targets:
        try:
            params = list(inspect.signature(get()).parameters.values())
        except (TypeError, ValueError):
            continue
        params = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD,
                                                  p.KEYWORD_ONLY)]
        for i, bad_param in enumerate(params):
            for bad in BAD_VALUES:
                def call(get=get, params=params, i=i, bad=bad) -> Any:
                    args, kwargs = [], {}
                    for j, p in enumerate(params):
                        if j != i and p.default is not p.empty:
                            continue
                        value = bad if j == i else _good(p.name)
                        if p.kind == p.KEYWORD_ONLY or (p.default is not p.empty and j == i
                                                        and p.kind != p.POSITIONAL_ONLY):
                            kwargs[p.name] = value
                        else:
                            args.append(value)
                    return get()(*args, **kwargs)
                calls.append((f"{label}({bad_param.name}={type(bad).__name__})", call,
                              bad_param.name))
    return calls


def test_no_public_call_fails_with_an_unexpected_exception_type(tmp_path, monkeypatch) -> None:
    monkeypatch.chdir(tmp_path)  # bad values taken as output file names land here
    unexpected = []
    for label, call, _ in _calls():
        try:
            result = call()
            if inspect.isgenerator(result) or isinstance(result, korvith.SubtreeIterator):
                list(result)
        except EXPECTED:
            pass
        except Exception as e:  # noqa: BLE001 - collecting every offender
            unexpected.append(f"{label}: {type(e).__name__}: {e}")
    assert unexpected == []


def _el() -> Any:
    return _doc().root.find("a")


# (call, exception, message naming the parameter)
NAMED = [
    (lambda: korvith.parse_file(42), TypeError, "path must be a str, bytes or os.PathLike"),
    (lambda: korvith.parse_inplace(42), TypeError, "buffer must be a writable buffer"),
    (lambda: list(korvith.iterparse(b"<a/>", tag=42)), TypeError, "tag must be a str or a seq"),
    (lambda: list(korvith.iterparse(b"<a/>", events=42)), TypeError, "events must be a seq"),
    (lambda: list(korvith.iterparse(b"<a/>", events=b"x")), TypeError, "events must be a seq"),
    (lambda: _el().find(["x"]), TypeError, "path must be str, not list"),
    (lambda: _el().findall(42), TypeError, "path must be str, not int"),
    (lambda: _doc().xpath(["x"]), TypeError, "XPath expression must be str, not list"),
    (lambda: korvith.Plan(attributes=["k\0"]), ValueError, "malformed name"),
    (lambda: korvith.tostring(node=42), TypeError, "tostring() needs an Element or a Document"),
    (lambda: _doc().xpath("a", namespaces=42), TypeError, "namespaces must be a mapping"),
    (lambda: _el().find("b", namespaces=["x"]), TypeError, "namespaces must be a mapping"),
    (lambda: korvith.XPath("a", namespaces=object()), TypeError, "namespaces must be a mapping"),
    (lambda: _doc().find(42), TypeError, "path must be str, not int"),
    (lambda: korvith.extract(_doc(), 42), TypeError, "plan must be a korvith.Plan, not int"),
    (lambda: korvith.sax_parse(b"<r/>", object()), TypeError,
     "SAX handler object needs a callable start_document()"),
    (lambda: setattr(_el(), "text", 42), TypeError, "text must be str or None, not int"),
    (lambda: setattr(_el(), "tail", b"x"), TypeError, "tail must be str or None, not bytes"),
    (lambda: korvith.ElementTree(file=42), TypeError,
     "file must be a path or a binary file object, not int"),
    (lambda: korvith.write_c14n(_doc(), 42), TypeError,
     "file must be a path or a binary file object, not int"),
    (lambda: korvith.canonicalize(_doc(), exclusive=True, inclusive_ns_prefixes=42), TypeError,
     "inclusive_ns_prefixes must be a list of prefixes, not int"),
    (lambda: korvith.XSLT(b"<x/>", allow_dirs=42), TypeError,
     "allow_dirs must be a directory path or a list of them, not int"),
    (lambda: korvith.XMLSchema(b"<x/>", allow_dirs=object()), TypeError,
     "allow_dirs must be a directory path or a list of them, not object"),
    (lambda: _el().extend(42), TypeError, "elements must be an iterable of elements, not int"),
]


@pytest.mark.parametrize("call,error,message", NAMED, ids=range(len(NAMED)))
def test_wrong_types_name_the_parameter(call, error, message) -> None:
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


def test_write_c14n_refusal_leaves_no_file_and_file_objects_still_work(tmp_path) -> None:
    out = io.BytesIO()
    korvith.write_c14n(_doc(), out)
    assert out.getvalue() == etree.tostring(etree.fromstring(SOURCE), method="c14n")
    tree = korvith.ElementTree(file=io.BytesIO(b"<x><y/></x>"))
    assert tree.getroot().tag == "x"


def test_text_none_clears_the_text_as_lxml_does() -> None:
    el = _el()
    lel = etree.fromstring(SOURCE).find("a")
    el.text = None
    lel.text = None
    assert el.text is None and lel.text is None
    assert korvith.tostring(el) == etree.tostring(lel)


@pytest.mark.parametrize("cls", [korvith.Document, korvith.XSLTResult])
def test_documents_are_not_made_from_addresses(cls) -> None:
    # An address from anywhere but the package's own parse would be read
    # as a tree (a segfault for 4096).
    with pytest.raises(TypeError, match="cannot be created directly; use korvith.parse"):
        cls(4096, korvith._korvithaccel.new_registry())
