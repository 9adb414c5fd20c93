"""User code that runs while a call converts its arguments (``__bool__``,
``__float__``, a mapping's ``items()``) may close the document or release
an iterparse element: the call must then raise, never read the freed tree;
and public entry points check real types instead of trusting objects that
merely carry the private attributes."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any, Callable

import pytest

import korvith
from korvith import _korvithaccel as accel

CLOSED = "operation on a closed document"
DATA = b'<r><a id="1">one<x>inner</x></a>tail<b><c>deep</c></b></r>'


class Closing:
    """Closes the document when the callee converts it (truth or float)."""

    def __init__(self, doc: korvith.Document, value: Any = True) -> None:
        self.doc, self.value = doc, value

    def __bool__(self) -> bool:
        self.doc.close()
        return bool(self.value)


class ClosingFloat(float):
    doc: korvith.Document

    def __float__(self) -> float:
        self.doc.close()
        return 2.0


class SideEffectMapping(Mapping[str, str]):
    """One binding; ``items()`` first runs ``effect``."""

    def __init__(self, effect: Callable[[], Any]) -> None:
        self.effect = effect
        self.data = {"p": "urn:p"}

    def __getitem__(self, key: str) -> str:
        return self.data[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self.data)

    def __len__(self) -> int:
        return 1

    def items(self) -> Any:
        self.effect()
        return self.data.items()


def _variable(doc: korvith.Document) -> float:
    value = ClosingFloat(2.0)
    value.doc = doc
    return value


# (name, call(doc, root, closing-or-plain factory), result with plain arguments)
CALLS: list[tuple[str, Callable[..., Any], Any]] = [
    ("element tobytes declaration",
     lambda doc, root, arg: root[0].tobytes(declaration=arg(False), with_tail=False),
     b'<a id="1">one<x>inner</x></a>'),
    ("element tobytes with_tail",
     lambda doc, root, arg: root[0].tobytes(with_tail=arg(True)),
     b'<a id="1">one<x>inner</x></a>tail'),
    ("document tobytes declaration",
     lambda doc, root, arg: doc.tobytes(declaration=arg(False)),
     DATA + b"\n"),
    ("tostring xml_declaration",
     lambda doc, root, arg: korvith.tostring(root[1], xml_declaration=arg(False)),
     b"<b><c>deep</c></b>"),
    ("element xpath namespaces",
     lambda doc, root, arg: root.xpath("string(a/x)", namespaces=arg.mapping()),
     "inner"),
    ("document xpath namespaces",
     lambda doc, root, arg: doc.xpath("string(//c)", namespaces=arg.mapping()),
     "deep"),
    ("compiled xpath variable",
     lambda doc, root, arg: korvith.XPath("string(*[$n])")(root, n=arg.number()),
     "deep"),
    ("element find namespaces",
     lambda doc, root, arg: root.find("b/c", namespaces=arg.mapping()).text,
     "deep"),
    ("element findtext namespaces",
     lambda doc, root, arg: root.findtext("a/x", namespaces=arg.mapping()),
     "inner"),
    ("canonicalize with_comments",
     lambda doc, root, arg: korvith.canonicalize(root[1], with_comments=arg(False)),
     b"<b><c>deep</c></b>"),
    ("canonicalize exclusive",
     lambda doc, root, arg: korvith.canonicalize(root[1], exclusive=arg(False)),
     b"<b><c>deep</c></b>"),
    ("clear keep_tail",
     lambda doc, root, arg: (root[0].clear(keep_tail=arg(True)), root.tobytes())[1],
     b"<r><a/>tail<b><c>deep</c></b></r>"),
]


class Plain:
    """The same arguments without side effects."""

    def __call__(self, value: Any) -> Any:
        return value

    def mapping(self) -> Mapping[str, str]:
        return SideEffectMapping(lambda: None)

    def number(self) -> float:
        return 2.0


class Closer:
    """Arguments that close ``doc`` while they are converted."""

    def __init__(self, doc: korvith.Document) -> None:
        self.doc = doc

    def __call__(self, value: Any) -> Any:
        return Closing(self.doc, value)

    def mapping(self) -> Mapping[str, str]:
        return SideEffectMapping(self.doc.close)

    def number(self) -> float:
        return _variable(self.doc)


@pytest.mark.parametrize(("call", "expected"), [c[1:] for c in CALLS], ids=[c[0] for c in CALLS])
def test_plain_arguments_give_the_result(call, expected) -> None:
    with korvith.parse(DATA) as doc:
        assert call(doc, doc.root, Plain()) == expected


@pytest.mark.parametrize("call", [c[1] for c in CALLS], ids=[c[0] for c in CALLS])
def test_argument_that_closes_the_document_raises(call) -> None:
    doc = korvith.parse(DATA)
    root = doc.root
    with pytest.raises(korvith.KorvithError) as info:
        call(doc, root, Closer(doc))
    assert str(info.value) == CLOSED
    assert doc.closed
    assert repr(root).startswith("<Element (closed document)")


def test_variable_that_closes_the_document_in_xquery_context_check() -> None:
    # doc.xquery looks at its arguments before the document: a closed one
    # raises, whichever argument closed it.
    doc = korvith.parse(DATA)
    root = doc.root
    query = korvith.XQuery("string(x)")
    doc.close()
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        doc.xquery(query, context=root)
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        query(root)
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        query(doc)


# ---------------------------------------------------------------- iterparse

RECORDS = b"<all>" + b"".join(b"<rec><x>%d</x></rec>" % i for i in range(5)) + b"</all>"


def _released_message(el: korvith.Element) -> str:
    with pytest.raises(korvith.KorvithError) as info:
        el.text
    return str(info.value)


@pytest.mark.parametrize("use", [
    lambda first, advance: first.xpath("string(x)", namespaces=SideEffectMapping(advance)),
    lambda first, advance: first.find("x", namespaces=SideEffectMapping(advance)),
    lambda first, advance: first.tobytes(declaration=Closing.__new__(_Advance).bind(advance)),
    lambda first, advance: korvith.XPath("string(x)")(first, v=_advancing_float(advance)),
], ids=["xpath namespaces", "find namespaces", "tobytes declaration", "compiled variable"])
def test_argument_that_advances_iterparse_raises_released(use) -> None:
    it = korvith.iterparse(RECORDS, tag="rec")
    first = next(it)
    assert first.xpath("string(x)") == "0"
    with pytest.raises(korvith.KorvithError) as info:
        use(first, lambda: next(it))
    assert str(info.value) == _released_message(first)
    assert "released by iterparse" in str(info.value)
    # the iterator went on: the second record is the current one
    assert [el.findtext("x") for el in it] == ["2", "3", "4"]


class _Advance(Closing):
    def bind(self, advance: Callable[[], Any]) -> _Advance:
        self.advance = advance
        return self

    def __bool__(self) -> bool:
        self.advance()
        return False


class _AdvancingFloat(float):
    advance: Callable[[], Any]

    def __float__(self) -> float:
        self.advance()
        return 1.0


def _advancing_float(advance: Callable[[], Any]) -> float:
    value = _AdvancingFloat(1.0)
    value.advance = advance
    return value


@pytest.mark.parametrize(("use", "expected"), [
    (lambda el: el.tobytes(), b"<rec><x>1</x></rec>"),
    (lambda el: el.xpath("string(x)"), "1"),
    (lambda el: el.find_path("x").text, "1"),
    (lambda el: el.find("x").text, "1"),
    (lambda el: korvith.XPath("count(preceding-sibling::rec)")(el), 1.0),
    (lambda el: [e.text for e in korvith.XQuery("for $x in x return $x")(el)], ["1"]),
], ids=["tobytes", "xpath", "find_path", "find", "compiled xpath", "xquery"])
def test_checked_calls_on_a_streamed_element(use, expected) -> None:
    with korvith.iterparse(RECORDS, tag="rec", release=False) as it:
        next(it)
        second = next(it)
        assert use(second) == expected


def test_element_of_a_closed_iterator_raises_closed() -> None:
    it = korvith.iterparse(RECORDS, release=False)
    first = next(it)
    assert first.tobytes() == b"<x>0</x>"
    it.close()
    for call in (first.tobytes, lambda: first.xpath("."), lambda: first.find_path("x")):
        with pytest.raises(korvith.KorvithError, match=CLOSED):
            call()


# ---------------------------------------------------------------- real types

class Impostor:
    """Carries every private attribute a careless check might trust."""

    def __init__(self) -> None:
        self._raw = 0x1234
        self._address = 0x1234
        self._accel_registry = accel.new_registry()
        self._document = self
        self._finalizer = None

    def _check(self) -> int:
        return 0x1234


@pytest.mark.parametrize(("call", "message"), [
    (lambda doc, fake: korvith.XPath("//a")(fake), "node must be a Document or an Element"),
    (lambda doc, fake: korvith.XQuery("//a")(fake), "node must be a Document or an Element"),
    (lambda doc, fake: doc.xquery("//a", context=fake), "context must be an Element"),
    (lambda doc, fake: doc.xquery("//a", context=doc), "context must be an Element"),
    (lambda doc, fake: korvith.Element.tobytes(fake), "element must be an Element"),
    (lambda doc, fake: korvith.Element.xpath(fake, "."), "node must be a Document or an Element"),
    (lambda doc, fake: korvith.Element.find_path(fake, "a"), "element must be an Element"),
    (lambda doc, fake: korvith.Element.find(fake, "a"), "element must be an Element"),
    (lambda doc, fake: korvith.Document.tobytes(fake), "document must be a Document"),
    (lambda doc, fake: korvith.Document.xpath(fake, "/"), "node must be a Document or an Element"),
    (lambda doc, fake: korvith.Document.root.fget(fake), "document must be a Document"),
    (lambda doc, fake: korvith.Document.close(fake), "document must be a Document"),
    (lambda doc, fake: korvith.canonicalize(fake), "canonicalize\\(\\) argument must be"),
    (lambda doc, fake: korvith.tostring(fake), "tostring\\(\\) needs an Element or a Document"),
], ids=["XPath call", "XQuery call", "xquery context", "xquery context document",
        "Element.tobytes", "Element.xpath", "Element.find_path", "Element.find",
        "Document.tobytes", "Document.xpath", "Document.root", "Document.close",
        "canonicalize", "tostring"])
def test_impostors_are_refused_by_type(call, message) -> None:
    with korvith.parse(DATA) as doc:
        with pytest.raises(TypeError, match=message):
            call(doc, Impostor())
        # the real document is untouched
        assert doc.root.find_path("b", "c").text == "deep"


@pytest.mark.parametrize("owner", [None, "impostor", "string"])
def test_element_whose_document_field_is_not_a_document(owner) -> None:
    doc = korvith.parse(DATA)
    el = doc.root
    el._document = {"impostor": Impostor(), "string": "doc", None: None}[owner]
    expected = ("element has no document" if owner is None
                else "element belongs to no korvith document")
    for call in (el.tobytes, lambda: el.xpath("."), lambda: el.find_path("a"),
                 lambda: korvith.XQuery(".")(el)):
        with pytest.raises(korvith.KorvithError, match=expected):
            call()
    el._document = doc
    assert el.find_path("b", "c").text == "deep"
    doc.close()


def test_xquery_evaluate_checks_the_document() -> None:
    doc = korvith.parse(DATA)
    query = korvith.XQuery("string(//c)")
    assert query.evaluate(doc._address, None, doc) == "deep"
    with pytest.raises(ValueError, match="document_address is not the address of document"):
        query.evaluate(doc._address + 8, None, doc)
    doc.close()
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        query.evaluate(0, None, doc)


def test_closed_document_raises_for_every_covered_call() -> None:
    doc = korvith.parse(DATA)
    root = doc.root
    c = root.find_path("b", "c")
    doc.close()
    doc.close()  # idempotent
    calls = [
        lambda: doc.tobytes(), lambda: doc.root, lambda: doc.xpath("/"), lambda: doc.errors,
        lambda: doc.xquery("//c"), lambda: root.tobytes(), lambda: c.xpath("string()"),
        lambda: root.find("b"), lambda: root.find("b/c"), lambda: root.findtext("b/c"),
        lambda: root.findall("b/c"), lambda: root.find_path("b"), lambda: root["b"],
        lambda: korvith.XPath("//c")(doc), lambda: korvith.XPath(".")(c),
        lambda: korvith.XQuery("//c")(doc), lambda: korvith.canonicalize(doc),
        lambda: korvith.tostring(c),
    ]
    messages = []
    for call in calls:
        with pytest.raises(korvith.KorvithError) as info:
            call()
        messages.append(str(info.value))
    assert messages == [CLOSED] * len(calls)


# ---------------------------------------------------------------- editing

class ClosingIndex:
    def __init__(self, doc: korvith.Document) -> None:
        self.doc = doc

    def __index__(self) -> int:
        self.doc.close()
        return 0


@pytest.mark.parametrize("closes", ["source", "target"])
def test_insert_index_that_closes_a_document_raises(closes) -> None:
    target = korvith.parse(b"<t><x/></t>")
    source = korvith.parse(b"<s><m>moved</m></s>")
    moved = source.root[0]
    closing, other = (source, target) if closes == "source" else (target, source)
    with pytest.raises(korvith.KorvithError, match=CLOSED):
        target.root.insert(ClosingIndex(closing), moved)
    assert closing.closed
    assert other.tobytes() == {"source": b"<t><x/></t>\n",
                               "target": b"<s><m>moved</m></s>\n"}[closes]
    other.close()


# ---------------------------------------------------------------- the native step

def _record(*args: Any) -> tuple[Any, ...]:
    return args


def test_checked_call_passes_the_addresses_it_checked() -> None:
    from korvith._liveness import DOC, NODE, NODE_OR_DOCUMENT, OTHER, OWNER, run, run_pair
    with korvith.parse(DATA) as doc:
        root = doc.root
        a, b = root[0], root[1]
        assert run("n", doc, NODE_OR_DOCUMENT, _record, DOC, NODE, OWNER, "x") == \
            (doc._address, 0, doc, "x")
        assert run("n", a, NODE_OR_DOCUMENT, _record, 1, DOC, NODE, OWNER) == \
            (1, doc._address, a._raw, doc)
        assert run_pair("e", a, "o", b, _record, NODE, OTHER, 7) == (a._raw, b._raw, 7)


def test_checked_call_never_calls_on_a_dead_target() -> None:
    from korvith._liveness import DOC, DOCUMENT, ELEMENT, NODE, NODE_OR_DOCUMENT, run, run_pair
    calls: list[tuple[Any, ...]] = []

    def spy(*args: Any) -> None:
        calls.append(args)

    doc = korvith.parse(DATA)
    live = korvith.parse(DATA)
    a = doc.root[0]
    doc.close()
    attempts = [
        (lambda: run("n", doc, NODE_OR_DOCUMENT, spy, DOC), korvith.KorvithError, CLOSED),
        (lambda: run("n", a, NODE_OR_DOCUMENT, spy, NODE), korvith.KorvithError, CLOSED),
        (lambda: run_pair("e", a, "o", live.root, spy, NODE), korvith.KorvithError, CLOSED),
        (lambda: run_pair("e", live.root, "o", a, spy, NODE), korvith.KorvithError, CLOSED),
        (lambda: run("doc", live.root, DOCUMENT, spy), TypeError,
         "doc must be a Document, not Element"),
        (lambda: run("el", live, ELEMENT, spy), TypeError, "el must be an Element, not Document"),
        (lambda: run_pair("e", live.root, "other", live, spy), TypeError,
         "other must be an Element, not Document"),
        (lambda: run("n", Impostor(), NODE_OR_DOCUMENT, spy), TypeError,
         "n must be a Document or an Element, not Impostor"),
    ]
    for attempt, error, message in attempts:
        with pytest.raises(error) as info:
            attempt()
        assert str(info.value) == message
    assert calls == []
    live.close()
