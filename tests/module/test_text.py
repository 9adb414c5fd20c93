"""text, tail, itertext and the text setter against the fake engine."""

from __future__ import annotations

import pytest

from fake_engine import FakeError, read_cstr
from fake_tree import FakeTree


@pytest.fixture
def tree(engine):
    return FakeTree(engine)


def wrap(accel_module, handle, document=None):
    return accel_module.create(handle, None, document)


@pytest.mark.parametrize(
    "content, expected",
    [
        (lambda t: [], None),
        (lambda t: [t.text(b"hello")], "hello"),
        (lambda t: [t.text(b"")], ""),
        (lambda t: [t.text(None)], ""),
        (lambda t: [t.cdata(b"<raw>")], "<raw>"),
        (lambda t: [t.text(b"a"), t.cdata(b"b"), t.text(b"c"), t.element()], "abc"),
        (lambda t: [t.text(b"a"), t.text(None), t.text(b"c")], "ac"),
        (lambda t: [t.text(b"before"), t.comment(), t.text(b"after")], "before"),
        (lambda t: [t.element(children=[t.text(b"inner")]), t.text(b"x")], None),
        (lambda t: [t.comment(), t.text(b"later")], None),
        (lambda t: [t.text(b"caf\xc3\xa9")], "caf\u00e9"),
        (lambda t: [t.text(b"cut\x00here")], "cut"),
    ],
    ids=["empty", "one", "empty-content", "null-content", "cdata", "text-cdata-text",
         "null-piece", "comment-splits", "leading-element", "leading-comment", "utf8", "nul"],
)
def test_text(accel_module, tree, content, expected):
    root = tree.element(b"r", content(tree))
    assert wrap(accel_module, root).text == expected


def test_text_single_node_fast_path_calls(accel_module, engine, tree):
    t = tree.text(b"only")
    root = tree.element(b"r", [t, tree.element()])
    engine.clear_log()
    assert wrap(accel_module, root).text == "only"
    assert engine.calls() == ["element_as_node", "node_first_child", "node_get_type",
                              "node_next_sibling", "node_get_type", "text_node_get_content"]


def test_text_run_reads_each_piece_once(accel_module, engine, tree):
    root = tree.element(b"r", [tree.text(b"a"), tree.cdata(b"b")])
    engine.clear_log()
    assert wrap(accel_module, root).text == "ab"
    assert engine.calls("text_node_get_content", "cdata_node_get_content") == [
        "text_node_get_content", "cdata_node_get_content"]
    assert engine.calls("node_next_sibling") == ["node_next_sibling"] * 2


@pytest.mark.parametrize("bad_at", [0, 1])
def test_text_invalid_utf8_raises(accel_module, tree, bad_at):
    pieces = [b"ok", b"ok"]
    pieces[bad_at] = b"\xff"
    root = tree.element(b"r", [tree.text(p) for p in pieces])
    with pytest.raises(UnicodeDecodeError):
        wrap(accel_module, root).text


@pytest.mark.parametrize(
    "after, expected",
    [
        (lambda t: [], None),
        (lambda t: [t.comment(), t.text(b"x")], None),
        (lambda t: [t.text(b"tail")], "tail"),
        (lambda t: [t.text(b"a"), t.cdata(b"b"), t.element(), t.text(b"c")], "ab"),
        (lambda t: [t.element(), t.text(b"x")], None),
    ],
)
def test_tail(accel_module, tree, after, expected):
    a = tree.element(b"a", [tree.text(b"own text")])
    tree.element(b"r", [tree.text(b"lead"), a] + after(tree))
    assert wrap(accel_module, a).tail == expected


def test_tail_calls(accel_module, engine, tree):
    a = tree.element(b"a")
    t1, t2 = tree.text(b"x"), tree.cdata(b"y")
    tree.element(b"r", [a, t1, t2, tree.comment()])
    engine.clear_log()
    assert wrap(accel_module, a).tail == "xy"
    assert engine.log[:4] == [("element_as_node", (a,)), ("node_next_sibling", (a,)),
                              ("node_get_type", (t1,)), ("node_next_sibling", (t1,))]
    assert engine.calls("text_node_get_content", "cdata_node_get_content") == [
        "text_node_get_content", "cdata_node_get_content"]


def test_itertext_hands_element_nodes_to_element_as_node(accel_module, engine):
    # Element handles and node handles differ here: the element's own handle
    # is turned into a node, and each child element node is passed back to
    # element_as_node as it is.
    ROOT, ROOT_NODE, CHILD, TEXT = 0x1000, 0x2000, 0x3000, 0x4000
    engine.on("element_as_node", lambda h: {ROOT: ROOT_NODE, CHILD: CHILD}[h])
    engine.on("node_first_child", lambda n: {ROOT_NODE: CHILD, CHILD: TEXT}[n])
    engine.on("node_next_sibling", lambda n: None)
    engine.on("node_get_type", lambda n: {CHILD: 0, TEXT: 1}[n])
    engine.on("text_node_get_content", lambda n: engine.cstr(b"inner"))
    assert accel_module.create(ROOT, None, None).itertext() == ["inner"]
    assert engine.args_of("element_as_node") == [(ROOT,), (CHILD,)]
    assert engine.args_of("node_first_child") == [(ROOT_NODE,), (CHILD,)]


def test_itertext_runs_in_document_order(accel_module, tree):
    # <r>x<a>y</a>z<!--c-->w</r>
    a = tree.element(b"a", [tree.text(b"y")])
    root = tree.element(b"r", [tree.text(b"x"), a, tree.text(b"z"), tree.comment(),
                               tree.text(b"w")])
    assert wrap(accel_module, root).itertext() == ["x", "y", "z", "w"]
    assert wrap(accel_module, a).itertext() == ["y"]  # its own tail is not included


def test_itertext_merges_cdata_and_nests(accel_module, tree):
    inner = tree.element(b"i", [tree.cdata(b"2"), tree.text(b"3")])
    mid = tree.element(b"m", [tree.text(b"1"), inner, tree.text(b"4")])
    root = tree.element(b"r", [mid, tree.text(b"5"), tree.cdata(b"6"), tree.comment(),
                               tree.element(b"empty")])
    assert wrap(accel_module, root).itertext() == ["1", "23", "4", "56"]


def test_itertext_deep_document_does_not_exhaust_the_stack(accel_module, tree):
    depth = 100_000
    leaf = tree.element(b"leaf", [tree.text(b"bottom")])
    top = leaf
    for _ in range(depth):
        top = tree.element(b"n", [top, tree.text(b"t")])
    result = wrap(accel_module, top).itertext()
    assert len(result) == depth + 1
    assert result[0] == "bottom" and set(result[1:]) == {"t"}


def test_itertext_invalid_utf8_returns_nothing_partial(accel_module, tree):
    root = tree.element(b"r", [tree.text(b"fine"), tree.element(children=[tree.text(b"\xfe")])])
    with pytest.raises(UnicodeDecodeError):
        wrap(accel_module, root).itertext()


@pytest.mark.parametrize("member", ["text", "tail", "itertext"])
def test_poisoned_getters(accel_module, engine, tree, doc, member):
    el = wrap(accel_module, tree.element(), doc)
    accel_module.invalidate(doc._accel_registry)
    engine.clear_log()
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        value = getattr(el, member)
        if member == "itertext":
            value()
    assert engine.log == []


def test_null_handle_getters(accel_module, engine):
    el = accel_module.create(0, None, None)
    assert (el.text, el.tail, el.itertext()) == (None, None, [])
    assert engine.log == []


@pytest.mark.parametrize("value, sent", [("new", b"new"), ("", b""), ("\u00e9", b"\xc3\xa9")])
def test_set_text_sends_utf8(accel_module, engine, value, sent):
    seen = []
    engine.on("element_set_text", lambda h, s: seen.append((h, read_cstr(s) or b"")) or 0)
    el = accel_module.create(0x1000, None, None)
    el.text = value
    assert seen == [(0x1000, sent)]


@pytest.mark.parametrize(
    "action, error, message",
    [
        (lambda el: setattr(el, "text", None), TypeError, None),
        (lambda el: setattr(el, "text", 5), TypeError, None),
        (lambda el: setattr(el, "text", "\ud800"), UnicodeEncodeError, None),
        (lambda el: delattr(el, "text"), NotImplementedError, "deleting text"),
        # A NUL would reach the engine as the end of a shorter text.
        (lambda el: setattr(el, "text", "a\x00b"), ValueError,
         "text must not contain NUL characters"),
    ],
)
def test_set_text_rejects_without_engine_call(accel_module, engine, action, error, message):
    el = accel_module.create(0x1000, None, None)
    with pytest.raises(error) as info:
        action(el)
    if message:
        assert str(info.value) == message
    assert engine.log == []


def test_set_text_engine_refusal(accel_module, engine):
    engine.returns("element_set_text", 3)
    el = accel_module.create(0x1000, None, None)
    with pytest.raises(FakeError, match="^set_text failed$"):
        el.text = "x"


@pytest.mark.parametrize("action", [lambda el: setattr(el, "text", "x"),
                                    lambda el: setattr(el, "text", None),
                                    lambda el: delattr(el, "text")],
                         ids=["set", "set-none", "delete"])
def test_set_text_poisoned(accel_module, engine, doc, action):
    # The poison check comes before the deletion and type checks.
    el = accel_module.create(0x1000, None, doc)
    accel_module.invalidate(doc._accel_registry)
    with pytest.raises(FakeError, match="^operation on a closed document$"):
        action(el)
    assert engine.log == []


def test_set_text_without_element_raises(accel_module, engine):
    el = accel_module.create(0, None, None)
    with pytest.raises(TypeError, match="^cannot set text: the Element holds no element$"):
        el.text = "x"
    assert engine.log == []


def test_set_text_with_null_engine_slot_raises(accel_module, engine):
    engine.null_slots.add("element_set_text")
    engine.bind()
    el = accel_module.create(0x1000, None, None)
    with pytest.raises(NotImplementedError, match=r"^setting text needs libkorvith 1\.9\.216\+$"):
        el.text = "x"


def test_before_bind(unbound):
    out = unbound("""
        el = accel.create(0x1000, None, None)
        print([el.text, el.tail, el.itertext()])
        try:
            el.text = "x"
        except RuntimeError as exc:
            print(exc)
    """)
    assert out.splitlines() == ["[None, None, []]", "accelerator is not bound"]
