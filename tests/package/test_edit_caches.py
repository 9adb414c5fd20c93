"""Attribute and tag edits reach every wrapper of the edited node, also
wrappers that cached `tag`/`attrib` before the edit, while an edit costs
O(1) bookkeeping (no walk of every live wrapper per edit)."""

from __future__ import annotations

import gc

import pytest

import korvith
from korvith import _korvithedit as wrappers


def _doc(n: int) -> korvith.Document:
    return korvith.parse(b"<r>" + b"<c k='0'/>" * n + b"</r>")


@pytest.mark.parametrize("edit,tag,attrib", [
    (lambda el: el.set("k", "1"), "c", {"k": "1"}),
    (lambda el: el.set("new", "x"), "c", {"k": "0", "new": "x"}),
    (lambda el: el.unset("k"), "c", {}),
    (lambda el: el.attrs.update({"k": "2"}), "c", {"k": "2"}),
    (lambda el: setattr(el, "tag", "{urn:x}d"), "{urn:x}d", {"k": "0"}),
    (lambda el: el.clear(), "c", {}),
], ids=["set", "add", "unset", "attrs", "tag", "clear"])
def test_every_wrapper_of_the_node_sees_the_edit(edit, tag, attrib) -> None:
    with _doc(3) as doc:
        first, second, other = doc.root[1], doc.root[1], doc.root[2]
        for w in (first, second, other):
            assert (w.tag, dict(w.attrib)) == ("c", {"k": "0"})  # fills the caches
        edit(first)
        for w in (second, first, doc.root[1]):
            assert (w.tag, dict(w.attrib)) == (tag, attrib)
            assert (w.tag, dict(w.attrib)) == (tag, attrib)  # and again, from the cache
        assert (other.tag, dict(other.attrib)) == ("c", {"k": "0"})


def test_cached_wrappers_stay_right_across_sweeps_and_the_set_stays_bounded() -> None:
    gc.collect()
    before = wrappers.dirty_count()
    with _doc(2500) as doc:
        held = [doc.root[i] for i in range(0, 2500, 250)]
        assert [w.attrib["k"] for w in held] == ["0"] * 10
        for el in doc.root:
            el.set("k", "v")
        # A sweep runs once the dirty set reaches 1024 nodes; the next one
        # waits for as many edits as the sweep walked live wrappers (the
        # loop holds a wrapper of every child), so 1476 are still pending.
        assert wrappers.dirty_count() - before == 2500 - 1024
        assert [w.attrib["k"] for w in held] == ["v"] * 10
        assert {el.get("k") for el in doc.root} == {"v"}
        for el in doc.root:
            el.tag = "t"
        assert {w.tag for w in held} == {"t"}
    del doc, held, el
    gc.collect()
    assert wrappers.dirty_count() == before  # the closed document's set went with it


def test_tag_and_attrib_keep_their_descriptor_behaviour() -> None:
    assert korvith.Element.tag.__doc__ == "Element name (Clark notation)."
    assert korvith.Element.attrib.__doc__ == "Attributes as a dict."
    with _doc(1) as doc:
        el = doc.root[0]
        with pytest.raises(TypeError):
            el.attrib["k"] = "x"  # the read-only snapshot
        assert el.attrib == {"k": "0"}
