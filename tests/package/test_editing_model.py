"""Random sequences of building, editing, moving, removing, copying and
closing, applied to korvith and to lxml side by side.

After every step each live pair must agree: tag, attributes, text, tail,
element children and parent, for every wrapper korvith holds of the node
(each pair keeps a second wrapper whose caches were filled early), and
every tree's serialisation must parse back to the same tree. A refused
edit must leave the tree exactly as it was.

KORVITH_MODEL_EXAMPLES raises the number of runs (default 40).
"""

from __future__ import annotations

import copy
import os

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import korvith
from korvith import KorvithError, _korvithaccel

etree = pytest.importorskip("lxml.etree")

EXAMPLES = int(os.environ.get("KORVITH_MODEL_EXAMPLES", "40"))
STEPS = int(os.environ.get("KORVITH_MODEL_STEPS", "30"))

TAGS = st.sampled_from(["a", "b", "{urn:one}c", "{urn:two}d", "{urn:one}a"])
KEYS = st.sampled_from(["k", "m", "{urn:one}k", "{urn:three}z"])
# No default namespaces here: lxml itself gets them wrong once an element
# outside the default namespace is copied or serialised (it drops or
# keeps the wrong xmlns); test_editing.py pins korvith's output for those.
NSMAPS = st.sampled_from([None, {"p": "urn:one"}, {"q": "urn:three", "r": "urn:two"}])
TEXTS = st.none() | st.sampled_from(["", "x", "a & b < c", " spaced ", "é日本", "\t\n"])
VALUES = st.sampled_from(["", "1", "two words", "<&>\"'", "é"])
BAD_TEXTS = st.sampled_from(["\x00", "bad\x01", "\x1f", "\ud800", "\ufffe"])
BAD_NAMES = st.sampled_from(["", "a b", "1x", "a\x00", "p:q", "{urn:one}", "{unclosed"])


def lxml_elements(el):
    # korvith's children are elements; lxml's include comments.
    return [c for c in el if isinstance(c.tag, str)]


def shape(el):
    """Comparable form of a subtree (element children only; "" text as None)."""
    return (el.tag, dict(el.attrib), el.text or None,
            [shape(c) + (c.tail or None,) for c in lxml_elements(el)])


def rebuild(el):
    """A deep copy of an lxml element made from Clark names (lxml's own
    deepcopy mixes up shadowed prefixes)."""
    if not isinstance(el.tag, str):
        out = etree.Comment(el.text)
    else:
        out = etree.Element(el.tag, dict(el.attrib))
        out.text = el.text
        for child in el:
            out.append(rebuild(child))
    out.tail = el.tail
    return out


def may_move(child, parent):
    node = parent
    while node is not None:
        if node is child:
            return False
        node = node.getparent()
    return True


class Pair:
    """A korvith element, a second wrapper of the same node, and its lxml twin."""

    def __init__(self, k, l):
        self.k = k
        self.l = l
        self.second = _korvithaccel.create(k._raw, None, k._document)
        # Fill the second wrapper's caches now, so that a stale cache shows.
        _ = self.second.tag, self.second.attrib


class EditingModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.pairs: list[Pair] = []

    # ------------------------------------------------------------ helpers
    def pick(self, data, label="pair"):
        return data.draw(st.sampled_from(self.pairs), label=label)

    def adopt(self, k, l):
        self.pairs.append(Pair(k, l))

    def korvith_roots(self):
        roots = {}
        for p in self.pairs:
            top = p.k
            while (up := top.getparent()) is not None:
                top = up
            roots[top._raw] = top
        return list(roots.values())

    def snapshot(self):
        return [korvith.tostring(r, with_tail=False) for r in self.korvith_roots()]

    # ------------------------------------------------------------ building
    @precondition(lambda self: len(self.pairs) < 14)
    @rule(tag=TAGS, nsmap=NSMAPS, key=KEYS, value=VALUES)
    def new_element(self, tag, nsmap, key, value):
        k = korvith.Element(tag, {key: value}, nsmap=nsmap)
        l = etree.Element(tag, {key: value}, nsmap=nsmap)
        self.adopt(k, l)

    @precondition(lambda self: self.pairs and len(self.pairs) < 14)
    @rule(data=st.data(), tag=TAGS)
    def subelement(self, data, tag):
        p = self.pick(data)
        self.adopt(korvith.SubElement(p.k, tag), etree.SubElement(p.l, tag))

    @precondition(lambda self: self.pairs and len(self.pairs) < 14)
    @rule(data=st.data())
    def deepcopy(self, data):
        p = self.pick(data)
        k = copy.deepcopy(p.k)
        assert k.getparent() is None and k._document is not p.k._document
        self.adopt(k, rebuild(p.l))

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), text=st.sampled_from(["note", "two  words"]))
    def append_comment(self, data, text):
        p = self.pick(data)
        p.k.append(korvith.Comment(text))
        p.l.append(etree.Comment(text))

    # ------------------------------------------------------------ editing
    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), key=KEYS, value=VALUES)
    def set_attribute(self, data, key, value):
        p = self.pick(data)
        if data.draw(st.booleans(), label="through attrs"):
            p.k.attrs[key] = value
        else:
            p.k.set(key, value)
        p.l.set(key, value)

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), key=KEYS)
    def delete_attribute(self, data, key):
        p = self.pick(data)
        present = key in p.l.attrib
        if present:
            del p.k.attrs[key]
            del p.l.attrib[key]
        else:
            with pytest.raises(KeyError):
                del p.k.attrs[key]

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), tag=TAGS)
    def set_tag(self, data, tag):
        p = self.pick(data)
        p.k.tag = tag
        p.l.tag = tag

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), text=TEXTS)
    def set_text(self, data, text):
        p = self.pick(data)
        p.k.text = text
        p.l.text = text

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), text=TEXTS)
    def set_tail(self, data, text):
        p = self.pick(data)
        p.k.tail = text
        p.l.tail = text

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), keep_tail=st.booleans())
    def clear(self, data, keep_tail):
        p = self.pick(data)
        p.k.clear(keep_tail=keep_tail)
        p.l.clear(keep_tail=keep_tail)

    # ------------------------------------------------------------ moving
    def may_move(self, child, parent):
        """Whether lxml accepts the move (not into its own subtree)."""
        return may_move(child.l, parent.l)

    @precondition(lambda self: len(self.pairs) >= 1)
    @rule(data=st.data())
    def append(self, data):
        parent, child = self.pick(data, "parent"), self.pick(data, "child")
        if not self.may_move(child, parent):
            before = self.snapshot()
            with pytest.raises(ValueError):
                parent.k.append(child.k)
            assert self.snapshot() == before
            return
        parent.k.append(child.k)
        parent.l.append(child.l)

    @precondition(lambda self: len(self.pairs) >= 2)
    @rule(data=st.data(), position=st.integers(-3, 5))
    def insert(self, data, position):
        parent, child = self.pick(data, "parent"), self.pick(data, "child")
        if not self.may_move(child, parent):
            return
        kids = lxml_elements(parent.l)
        parent.k.insert(position, child.k)
        # lxml counts comments as children: insert before the same element.
        n = len(kids)
        at = max(n + position, 0) if position < 0 else position
        if at >= n:
            parent.l.append(child.l)
        elif kids[at] is not child.l:
            kids[at].addprevious(child.l)

    @precondition(lambda self: len(self.pairs) >= 2)
    @rule(data=st.data(), after=st.booleans())
    def add_sibling(self, data, after):
        anchor, other = self.pick(data, "anchor"), self.pick(data, "other")
        parent = anchor.l.getparent()
        if parent is None or other is anchor:
            return
        if not may_move(other.l, parent):
            return
        if after:
            anchor.k.addnext(other.k)
            anchor.l.addnext(other.l)
        else:
            anchor.k.addprevious(other.k)
            anchor.l.addprevious(other.l)

    @precondition(lambda self: self.pairs)
    @rule(data=st.data())
    def remove(self, data):
        p = self.pick(data)
        parent = p.k.getparent()
        if parent is None:
            before = self.snapshot()
            with pytest.raises(ValueError):
                p.k.remove(p.k)
            assert self.snapshot() == before
            return
        parent.remove(p.k)
        p.l.getparent().remove(p.l)
        # The removed element stays usable.
        assert p.k.getparent() is None

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), start=st.integers(0, 3), stop=st.integers(0, 4))
    def delete_slice(self, data, start, stop):
        p = self.pick(data)
        doomed = lxml_elements(p.l)[start:stop]
        del p.k[start:stop]
        for c in doomed:
            p.l.remove(c)

    @precondition(lambda self: len(self.pairs) >= 2)
    @rule(data=st.data(), index=st.integers(0, 3))
    def replace_item(self, data, index):
        parent, new = self.pick(data, "parent"), self.pick(data, "new")
        kids = lxml_elements(parent.l)
        if index >= len(kids):
            with pytest.raises(IndexError):
                parent.k[index] = new.k
            return
        if not self.may_move(new, parent) or kids[index] is new.l:
            return
        parent.k[index] = new.k
        parent.l.replace(kids[index], new.l)

    # ------------------------------------------------------------ iterating
    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), at=st.integers(0, 4), victim=st.integers(0, 6), move=st.booleans())
    def edit_while_iterating(self, data, at, victim, move):
        """iter() after the tree changed under it: both libraries yield the
        element they had looked ahead to, then walk on from where it is now."""
        p = self.pick(data)
        k_all, l_all = list(p.k.iter()), list(p.l.iter(tag=etree.Element))
        assert [e.tag for e in k_all] == [e.tag for e in l_all]
        candidates = [i for i, e in enumerate(l_all) if e.getparent() is not None]
        if not candidates:
            return
        target = candidates[victim % len(candidates)]
        k_it, l_it = p.k.iter(), p.l.iter(tag=etree.Element)
        k_seen, l_seen = [], []
        for step in range(at + 1):
            ke, le = next(k_it, None), next(l_it, None)
            if ke is None or le is None:
                assert ke is None and le is None
                return
            k_seen.append(ke.tag)
            l_seen.append(le.tag)
            if step == at:
                kx, lx = k_all[target], l_all[target]
                if move and may_move(lx, p.l):
                    p.k.append(kx)  # to the end of the walk
                    p.l.append(lx)
                else:
                    kx.getparent().remove(kx)
                    lx.getparent().remove(lx)
        k_seen += [e.tag for e in k_it]
        l_seen += [e.tag for e in l_it]
        assert k_seen == l_seen

    # ------------------------------------------------------------ refused edits
    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), bad=BAD_TEXTS, name=BAD_NAMES)
    def refused_edits(self, data, bad, name):
        p = self.pick(data)
        before = self.snapshot()
        with pytest.raises(ValueError):
            p.k.text = bad
        with pytest.raises(ValueError):
            p.k.tail = bad
        with pytest.raises(ValueError):
            p.k.set("k", bad)
        with pytest.raises(ValueError):
            p.k.set(name, "v")
        with pytest.raises(ValueError):
            p.k.tag = name
        with pytest.raises(TypeError):
            p.k.set("k", 1)
        with pytest.raises(ValueError):
            korvith.SubElement(p.k, name)
        assert self.snapshot() == before

    # ------------------------------------------------------------ closing
    @precondition(lambda self: self.pairs)
    @rule(data=st.data())
    def close_document(self, data):
        doc = self.pick(data).k._document
        inside = [p for p in self.pairs if p.k._document is doc]
        doc.close()
        for p in inside:
            with pytest.raises(KorvithError):
                _ = p.k.tag
            with pytest.raises(KorvithError):
                p.second.text = "x"
        self.pairs = [p for p in self.pairs if p not in inside]

    # ------------------------------------------------------------ checks
    @invariant()
    def wrappers_agree(self):
        for p in self.pairs:
            for k in (p.k, p.second):
                assert k.tag == p.l.tag
                assert dict(k.attrib) == dict(p.l.attrib)
                assert (k.text or None) == (p.l.text or None)
                assert (k.tail or None) == (p.l.tail or None)
            assert [c.tag for c in p.k] == [c.tag for c in lxml_elements(p.l)]
            kp, lp = p.k.getparent(), p.l.getparent()
            assert (kp is None) == (lp is None)
            if kp is not None:
                assert kp.tag == lp.tag

    @invariant()
    def serialisation_round_trips(self):
        for p in self.pairs:
            if p.k.getparent() is not None:
                continue
            out = korvith.tostring(p.k, with_tail=False)
            assert shape(etree.fromstring(out)) == shape(p.l)
            assert shape(korvith.fromstring(out)) == shape(p.k)

TestEditingModel = EditingModel.TestCase
TestEditingModel.settings = settings(max_examples=EXAMPLES, stateful_step_count=STEPS,
                                     deadline=None, derandomize=True,
                                     suppress_health_check=list(HealthCheck))
