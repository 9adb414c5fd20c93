"""Building and editing trees: exact results, refused input, wrapper
truthfulness, moves between documents, lifetimes and output."""

from __future__ import annotations

import copy
import io
import pickle

import pytest

import korvith
from korvith import Comment, Element, KorvithError, ProcessingInstruction, SubElement
from korvith import _korvithedit

etree = pytest.importorskip("lxml.etree")


def out(el) -> bytes:
    """The element's own markup; tails are asserted on their own."""
    return korvith.tostring(el, with_tail=False)


def tree(xml: bytes):
    return korvith.fromstring(xml)


# ---------------------------------------------------------------- construction

def test_keyword_attributes_follow_the_attrib_mapping_as_in_elementtree():
    # lxml puts the keywords first; ElementTree merges them after `attrib`.
    el = Element("a", {"k": "v"}, z="1")
    assert out(el) == b'<a k="v" z="1"/>'
    assert list(el.attrib) == list({"k": "v", "z": "1"})


@pytest.mark.parametrize("args, kwargs, expected", [
    (("a",), {}, b"<a/>"),
    (("a", {"k": "v"}), {}, b'<a k="v"/>'),
    (("{urn:x}a",), {}, b'<ns0:a xmlns:ns0="urn:x"/>'),
    (("{urn:x}a",), {"nsmap": {"p": "urn:x"}}, b'<p:a xmlns:p="urn:x"/>'),
    (("{urn:x}a",), {"nsmap": {None: "urn:x"}}, b'<a xmlns="urn:x"/>'),
    (("a", {"{urn:y}k": "1"}), {}, b'<a xmlns:ns0="urn:y" ns0:k="1"/>'),
    (("{urn:x}a", {"{urn:x}k": "1"}), {"nsmap": {None: "urn:x"}},
     b'<a xmlns="urn:x" xmlns:ns0="urn:x" ns0:k="1"/>'),
])
def test_new_element_matches_lxml(args, kwargs, expected):
    el = Element(*args, **kwargs)
    assert out(el) == expected
    assert etree.tostring(etree.Element(*args, **kwargs)) == expected
    assert el.getparent() is None and isinstance(el, Element)


def test_element_without_arguments_is_still_an_empty_wrapper():
    assert repr(Element()).startswith("<Element (empty) at 0x")


def test_subelement_reuses_prefixes_in_scope_and_generates_missing_ones():
    root = Element("{urn:x}r", nsmap={"p": "urn:x"})
    SubElement(root, "{urn:x}a")
    SubElement(root, "{urn:y}b", {"{urn:x}k": "1"})
    SubElement(root, "c", nsmap={"q": "urn:z"})
    assert out(root) == (b'<p:r xmlns:p="urn:x"><p:a/><ns0:b xmlns:ns0="urn:y" p:k="1"/>'
                         b'<c xmlns:q="urn:z"/></p:r>')


def test_element_without_namespace_under_a_default_namespace_is_undeclared():
    # lxml writes <p xmlns="u"><c/></p> here, which reads back with c in "u";
    # korvith declares xmlns="" so that the output means what the tree holds.
    root = Element("{u}p", nsmap={None: "u"})
    SubElement(root, "c")
    assert out(root) == b'<p xmlns="u"><c xmlns=""/></p>'
    assert [e.tag for e in tree(out(root)).iter()] == ["{u}p", "c"]


def test_renaming_out_of_an_own_default_namespace_keeps_children_in_it():
    root = tree(b'<a xmlns="u"><b/></a>')
    root.tag = "plain"
    assert [e.tag for e in root.iter()] == ["plain", "{u}b"]
    assert [e.tag for e in tree(out(root)).iter()] == ["plain", "{u}b"]


def test_makeelement_is_unattached():
    root = tree(b"<r/>")
    el = root.makeelement("x", {"a": "1"})
    assert el.getparent() is None and len(root) == 0 and out(el) == b'<x a="1"/>'


# ---------------------------------------------------------------- refused input

BAD_NAMES = ["", "a b", "1x", "a\x00b", "p:q", "{urn:x}", "{urn:x", "-a", "{a{b}c"]


@pytest.mark.parametrize("name", BAD_NAMES)
def test_bad_names_are_refused_everywhere_and_change_nothing(name):
    root = tree(b'<r k="v"><a/>t</r>')
    before = out(root)
    for action in (lambda: root.set(name, "x"), lambda: setattr(root, "tag", name),
                   lambda: SubElement(root, name), lambda: Element(name),
                   lambda: root.attrs.__setitem__(name, "x"), lambda: Element("a", {name: "v"})):
        with pytest.raises(ValueError, match="invalid"):
            action()
    assert out(root) == before and root.tag == "r"


@pytest.mark.parametrize("text", ["\x00", "a\x01b", "\x0b", "\x1f", "\ud800", "\ufffe", "\uffff"])
def test_characters_xml_cannot_hold_are_refused(text):
    root = tree(b'<r k="v">x<a/>y</r>')
    before = out(root)
    child = root[0]
    for action in (lambda: setattr(root, "text", text), lambda: setattr(child, "tail", text),
                   lambda: root.set("k", text), lambda: Element("a", k=text),
                   lambda: Comment(text)):
        with pytest.raises(ValueError, match="cannot hold"):
            action()
    assert out(root) == before


@pytest.mark.parametrize("value, name", [(1, "int"), (b"x", "bytes"), (None, "NoneType")])
def test_non_str_values_raise_type_error_naming_the_type(value, name):
    root = tree(b"<r/>")
    with pytest.raises(TypeError, match=f"must be str, not {name}"):
        root.set("k", value)
    with pytest.raises(TypeError, match="tag must be str"):
        root.tag = 5
    if value is not None:
        with pytest.raises(TypeError, match=f"text must be str or None, not {name}"):
            root.text = value
    assert out(root) == b"<r/>"


def test_text_and_tail_accept_none_and_empty():
    root = tree(b"<r>x<a/>y</r>")
    root.text = None
    root[0].tail = None
    assert out(root) == b"<r><a/></r>" and root.text is None and root[0].tail is None
    root.text = ""
    assert root.text == "" and out(root) == b"<r><a/></r>"
    root[0].text = ""
    assert out(root) == b"<r><a></a></r>"


@pytest.mark.parametrize("build", [
    lambda r: r.append(r),
    lambda r: r[0].append(r),
    lambda r: r[0][0].append(r[0]),
    lambda r: r[0].insert(0, r),
    lambda r: r[0][0].extend([Element("ok"), r]),
    lambda r: r.__setitem__(0, r),
])
def test_an_element_cannot_become_its_own_ancestor(build):
    root = tree(b"<r><a><b/></a></r>")
    before = out(root)
    with pytest.raises(ValueError, match="own subtree"):
        build(root)
    assert out(root) == before


def test_edits_of_a_closed_document_raise_and_moves_from_it_are_refused():
    doc = korvith.parse(b"<r><a/></r>")
    a = doc.root[0]
    other = tree(b"<o/>")
    doc.close()
    for action in (lambda: a.set("k", "v"), lambda: other.append(a),
                   lambda: setattr(a, "text", "x"), lambda: copy.copy(a)):
        with pytest.raises(KorvithError, match="closed document"):
            action()
    assert out(other) == b"<o/>"


# ---------------------------------------------------------------- wrappers stay truthful

def test_every_wrapper_of_an_edited_node_reads_the_new_values():
    doc = korvith.parse(b'<r><a k="1"/></r>')
    first, second = doc.root[0], doc.root.find("a")
    assert (first.tag, second.tag, dict(second.attrib)) == ("a", "a", {"k": "1"})
    first.tag = "{urn:n}b"
    first.set("k", "2")
    del first.attrs["k"]
    first.attrs["m"] = "3"
    assert (second.tag, dict(second.attrib)) == ("{urn:n}b", {"m": "3"})
    assert second.attrs == {"m": "3"} and len(second.attrs) == 1 and "m" in second.attrs


def test_attrib_stays_a_read_only_snapshot_and_attrs_is_the_live_view():
    el = tree(b'<a k="1"/>')
    snap = el.attrib
    with pytest.raises(TypeError, match="read-only"):
        el.attrib["k"] = "2"
    el.attrs["k"] = "2"
    assert snap == {"k": "1"} and el.attrib == {"k": "2"}
    with pytest.raises(KeyError):
        del el.attrs["missing"]
    el.attrs.update({"x": "1", "{urn:q}y": "2"})
    assert list(el.attrs) == ["k", "x", "{urn:q}y"]


# ---------------------------------------------------------------- moving and lifetimes

def test_moving_between_documents_adopts_the_subtree_and_its_wrappers():
    src = korvith.parse(b"<s><m><n/></m>tail</s>")
    m, n = src.root[0], src.root[0][0]
    dst = korvith.parse(b"<d/>")
    target = dst.root
    target.append(m)
    assert out(target) == b"<d><m><n/></m>tail</d>" and src.tobytes() == b"<s/>\n"
    assert m._document is dst and n._document is dst
    assert _korvithedit.registered_in(n, dst._accel_registry)
    src.close()  # the moved nodes are not the source's any more
    assert n.getparent().tag == "m"
    dst.close()
    with pytest.raises(KorvithError):
        _ = n.tag


def test_a_removed_element_stays_valid_until_its_document_closes():
    doc = korvith.parse(b"<r><a><b/></a>t<c/></r>")
    root, a = doc.root, doc.root[0]
    root.remove(a)
    assert out(root) == b"<r><c/></r>" and a.tail == "t" and a.getparent() is None
    a.set("k", "v")
    a[0].text = "x"
    assert out(a) == b'<a k="v"><b>x</b></a>'
    root.insert(0, a)
    assert out(root) == b'<r><a k="v"><b>x</b></a>t<c/></r>'
    root.remove(a)
    doc.close()
    with pytest.raises(KorvithError, match="closed document"):
        _ = a[0].tag


def test_remove_refuses_a_non_child():
    root = tree(b"<r><a><b/></a></r>")
    with pytest.raises(ValueError, match="not a child"):
        root.remove(root[0][0])
    with pytest.raises(TypeError):
        root.remove("a")


def test_moving_keeps_namespaces_declared():
    src = tree(b'<s xmlns:p="urn:p" xmlns="urn:d"><p:a p:k="1"><b/></p:a></s>')
    dst = tree(b"<d/>")
    dst.append(src[0])
    src_close = src._document
    src_close.close()
    assert [e.tag for e in tree(out(dst)).iter()] == ["d", "{urn:p}a", "{urn:d}b"]
    assert tree(out(dst))[0].attrib == {"{urn:p}k": "1"}


def test_streamed_elements_take_attribute_tag_and_text_edits_only():
    seen = []
    for el in korvith.iterparse(b"<r><i>1</i>t<i>2</i></r>", tag="i"):
        el.text = el.text + "!"
        el.set("n", el.text)
        el.tag = "{urn:x}j"
        seen.append(el.tobytes(with_tail=False))
        # The parser still points into the tree around the element.
        for action in (lambda: Element("x").append(el), lambda: setattr(el, "tail", "x"),
                       lambda: el.clear(), lambda: el.getparent().remove(el),
                       lambda: SubElement(el, "c")):
            with pytest.raises(KorvithError, match="streamed"):
                action()
        assert copy.deepcopy(el).tag == "{urn:x}j"
    assert seen == [b'<ns0:j xmlns:ns0="urn:x" n="1!">1!</ns0:j>',
                    b'<ns0:j xmlns:ns0="urn:x" n="2!">2!</ns0:j>']


# ---------------------------------------------------------------- positions, slices, siblings

def test_positional_edits_match_lxml():
    xml = b"<r><a/>1<b/>2<c/>3<d/>4</r>"
    k, l = tree(xml), etree.fromstring(xml)
    for el in (k, l):
        el.insert(1, el.makeelement("x", {}))
        el.insert(-1, el.makeelement("y", {}))
        el.insert(99, el.makeelement("z", {}))
        el[0] = el.makeelement("w", {})
        del el[2:4]
        el[1:2] = [el.makeelement("s", {}), el.makeelement("t", {})]
        del el[::2]
    assert out(k) == etree.tostring(l) == b"<r><s/><y/><z/></r>"


def test_slice_assignment_keeps_the_order_given():
    # lxml gives [x, b, c] here (it inserts before b, then moves b onto
    # itself); ElementTree would hold b twice. korvith puts the items in
    # the order given.
    el = tree(b"<r><a/>1<b/>2<c/>3</r>")
    el[0:1] = [el[1], Element("x")]
    assert out(el) == b"<r><b/>2<x/><c/>3</r>"


@pytest.mark.parametrize("assign", [
    lambda el: el.__setitem__(slice(0, 1), [el[2], el[1]]),
    lambda el: el.__setitem__(slice(1, 3), []),
    lambda el: el.__setitem__(slice(3, 3), [el[0]]),
    lambda el: el.__setitem__(slice(None, None, -1), [el[0], el[1], el[2]]),
])
def test_slice_assignment_moves_children_as_lxml_does(assign):
    xml = b"<r><a/>1<b/>2<c/>3</r>"
    k, l = tree(xml), etree.fromstring(xml)
    assign(k)
    assign(l)
    assert out(k) == etree.tostring(l)


def test_replace_addnext_addprevious_carry_tails_as_lxml_does():
    xml = b"<r><a/>t1<b/>t2</r>"
    k, l = tree(xml), etree.fromstring(xml)
    for mod, el in ((korvith, k), (etree, l)):
        new = mod.Element("x") if mod is etree else Element("x")
        new.tail = "xt"
        el[0].addnext(new)
        el[2].addprevious(el.makeelement("y", {}))
        el.replace(el[0], el.makeelement("z", {}))
    assert out(k) == etree.tostring(l) == b"<r><z/><x/>xt<y/><b/>t2</r>"
    with pytest.raises(TypeError, match="siblings"):
        k.addnext(Element("q"))


def test_clear_keeps_children_usable_and_matches_lxml():
    xml = b'<r k="1">x<a>in</a>y</r>'
    k, l = tree(xml), etree.fromstring(xml)
    ka = k[0]
    k.clear()
    l.clear()
    assert out(k) == etree.tostring(l) == b"<r/>"
    assert (ka.text, ka.tail, ka.getparent()) == ("in", "y", None)


# ---------------------------------------------------------------- iteration during edits

@pytest.mark.parametrize("victim, expected", [
    (1, ["r", "a", "b"]),       # the element looked ahead to is still yielded
    (0, ["r", "a", "b", "c"]),  # removing the current one: the walk goes on
])
def test_iter_after_a_removal_follows_lxml(victim, expected):
    xml = b"<r><a/><b/><c/></r>"
    for root in (tree(xml), etree.fromstring(xml)):
        it = root.iter()
        got = [next(it).tag, next(it).tag]
        root.remove(root[victim])
        got += [e.tag for e in it]
        assert got == expected


def test_iter_survives_its_lookahead_moving_to_a_document_that_closes():
    root = tree(b"<r><a/><b/></r>")
    it = root.iter()
    assert next(it).tag == "r"
    assert next(it).tag == "a"  # b is the lookahead now
    doc = korvith.parse(b"<o/>")
    doc.root.append(root[1])
    doc.close()
    with pytest.raises(KorvithError, match="closed document"):
        next(it)


# ---------------------------------------------------------------- copies, pickling, output

def test_copies_are_new_documents_with_the_tail():
    root = tree(b'<r xmlns:p="urn:p"><p:a k="1">x</p:a>tail</r>')
    for dup in (copy.copy(root[0]), copy.deepcopy(root[0])):
        assert dup._document is not root._document
        assert out(dup) == b'<p:a xmlns:p="urn:p" k="1">x</p:a>' and dup.tail == "tail"
        dup.text = "changed"
    assert root[0].text == "x"


def test_pickle_round_trips_elements_and_documents():
    doc = korvith.parse(b'<r><a k="1">x</a>t</r>')
    a = pickle.loads(pickle.dumps(doc.root[0]))
    assert (out(a), a.tail) == (b'<a k="1">x</a>', "t")
    again = pickle.loads(pickle.dumps(doc))
    assert isinstance(again, korvith.Document) and again.tobytes() == doc.tobytes()


def test_write_to_paths_and_files(tmp_path):
    doc = korvith.parse(b"<r><a>\xc3\xa9</a></r>")
    path = tmp_path / "o.xml"
    doc.write(path)
    assert path.read_bytes() == b"<r><a>\xc3\xa9</a></r>\n"
    doc.write(str(path), encoding="ISO-8859-1")
    assert path.read_bytes() == b'<?xml version="1.0" encoding="ISO-8859-1"?>\n<r><a>\xe9</a></r>\n'
    buf = io.BytesIO()
    doc.write(buf, xml_declaration=True, pretty_print=True)
    assert buf.getvalue() == b'<?xml version="1.0" encoding="UTF-8"?>\n<r>\n  <a>\xc3\xa9</a>\n</r>\n'
    text = io.StringIO()
    doc.write(text, encoding="unicode")
    assert text.getvalue() == "<r><a>é</a></r>\n"
    with pytest.raises(TypeError, match="write"):
        doc.write(42)


def test_element_tree_wrapper_writes_its_root(tmp_path):
    root = Element("r")
    SubElement(root, "a").text = "1"
    et = korvith.ElementTree(root)
    assert et.getroot() is root
    et.write(tmp_path / "t.xml", xml_declaration=True)
    assert (tmp_path / "t.xml").read_bytes() == (b'<?xml version="1.0" encoding="UTF-8"?>\n'
                                                 b"<r><a>1</a></r>")
    assert korvith.ElementTree(file=tmp_path / "t.xml").getroot().find("a").text == "1"


# ---------------------------------------------------------------- comments and PIs

def test_comments_and_processing_instructions_are_nodes_to_place():
    root = Element("r")
    c = Comment(" note ")
    pi = ProcessingInstruction("style", "href='x'")
    root.append(c)
    SubElement(root, "a")
    root.insert(0, pi)  # positions count elements: before <a>
    c.tail = "after"
    assert out(root) == b"<r><!-- note -->after<?style href='x'?><a/></r>"
    assert (c.text, c.tag, pi.target, pi.text) == (" note ", Comment, "style", "href='x'")
    assert c.getparent() == root
    # As in lxml, a comment is written with its tail unless with_tail=False.
    assert (korvith.tostring(c), korvith.tostring(c, with_tail=False),
            korvith.tostring(pi, encoding="unicode")) == \
        (b"<!-- note -->after", b"<!-- note -->", "<?style href='x'?>")
    root.remove(c)
    assert out(root) == b"<r><?style href='x'?><a/></r>" and c.tail == "after"
    assert len(root) == 1  # navigation counts elements only


@pytest.mark.parametrize("make, message", [
    (lambda: Comment("a--b"), "--"),
    (lambda: Comment("ends-"), "--"),
    (lambda: ProcessingInstruction("xml"), "reserved"),
    (lambda: ProcessingInstruction("t", "a?>b"), r"\?>"),
    (lambda: ProcessingInstruction("a b"), "invalid"),
])
def test_bad_comments_and_processing_instructions(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_edited_tree_round_trips_through_serialisation():
    root = Element("{urn:a}root", nsmap={"a": "urn:a"})
    for i in range(3):
        child = SubElement(root, "{urn:b}item", {"{urn:c}n": str(i), "plain": "<&>"})
        child.text = f"t{i} & more"
        child.tail = "\n"
    root[1].tag = "{urn:a}renamed"
    moved = tree(b'<x xmlns="urn:d"><y z="1">deep</y></x>')[0]
    root[0].append(moved)
    data = out(root)
    again = tree(data)
    assert out(again) == data
    assert [(e.tag, dict(e.attrib), e.text, e.tail) for e in again.iter()] == \
        [(e.tag, dict(e.attrib), e.text, e.tail) for e in root.iter()]


def test_a_subclass_cannot_hand_the_engine_an_address_of_its_choosing():
    class Forged(Element):
        @property
        def _raw(self):
            return 0xDEADBEEF

    root = tree(b"<r/>")
    forged = Forged()
    for action in (lambda: root.append(forged), lambda: forged.set("k", "v"),
                   lambda: copy.deepcopy(forged)):
        with pytest.raises(KorvithError, match="no engine node"):
            action()
    assert out(root) == b"<r/>"


def test_bookkeeping_module_moves_every_wrapper_and_checks_its_arguments():
    src = korvith.parse(b"<s><m/></s>")
    first, second = src.root[0], src.root.find("m")
    raw = first._raw
    assert len(_korvithedit.wrappers(src._accel_registry, raw)) == 2
    dst = korvith.parse(b"<d/>")
    dst.root.append(second)
    assert _korvithedit.wrappers(src._accel_registry, raw) == []
    assert {id(w) for w in _korvithedit.wrappers(dst._accel_registry, raw)} == \
        {id(first), id(second)}
    with pytest.raises(TypeError, match="registry capsule"):
        _korvithedit.forget(object(), raw)
    with pytest.raises(TypeError, match="set of ints"):
        _korvithedit.adopt(src._accel_registry, dst._accel_registry, dst, [raw])
    with pytest.raises(TypeError, match="set of ints"):
        _korvithedit.adopt(src._accel_registry, dst._accel_registry, dst, {"x"})
