"""Generated documents and the lxml oracle for iterparse release.

Release frees an element, its subtree, every node before it under the same
parent (processed siblings, comments, the text between them) and the same
before each of its ancestors, which stay; it keeps the text after it, and
keeps an element that still has something to hand out (at an end event, its
own end-ns events). The engine decides that without a
search for the element handed out last, and with one for any other: the
tests drive both against `lxml_stream`, which parses the whole document
with lxml, takes its elements in end-tag order and applies each release to
that tree by the rule above.
"""

from __future__ import annotations

import itertools
import random
from collections.abc import Collection
from typing import Any

EV_START, EV_END, EV_START_NS, EV_END_NS = 0x01, 0x02, 0x04, 0x08
EV_ALL = 0x3F

# Releases, never of the root: "off" none; "now" each matching element as
# it is handed out; "late" the previous matching element once the next
# element has been handed out (its end event, in event mode), and the last
# one at the end; "parent-first" the parent of each matching element
# (still open or queued: always kept), then the element. "filtered" (the
# package's filtered step, not among RELEASE_MODES) is "now" plus the release
# of each element that does not match, unless a matching element encloses it.
RELEASE_MODES = ["off", "now", "late", "parent-first"]


def generated_document(seed: int, size: int, entities: bool = False) -> bytes:
    """A well-formed document of about `size` bytes: nesting up to 7 levels,
    mixed content, comments, PIs, CDATA in leaves, attributes, namespace
    declarations (each with a URI of its own) and, with `entities`,
    references to an internal entity holding elements."""
    rng = random.Random(seed)
    fresh = itertools.count()
    out: list[str] = []
    if entities:
        out.append("<!DOCTYPE r [<!ENTITY e \"<b k='1'>in<c/></b>t\"><!ENTITY w 'word'>]>")

    def text() -> str:
        pick = rng.random()
        if pick < 0.3:
            return ""
        if pick < 0.5:
            return "\n" + " " * rng.randrange(4)
        if entities and pick < 0.6:
            return rng.choice(["&e;", "x&e;y", "&w;"])
        return rng.choice(["t", "a &amp; b", "&lt;x&gt;", "caf\u00e9", "&#233;t\u00e9"])

    def other() -> str:
        return rng.choice(["<!--c-->", "<?pi d?>", "<!--x-y-->", "<?q?>"])

    def element(depth: int, prefixes: list[str]) -> None:
        declared = ""
        scope = prefixes
        if rng.random() < 0.15:
            n = next(fresh)
            if rng.random() < 0.5:
                declared = f' xmlns:p{n}="urn:p{n}"'
                scope = prefixes + [f"p{n}"]
            else:
                declared = f' xmlns="urn:d{n}"'
        local = rng.choice(["a", "b", "c", "item", "item"])
        name = f"{rng.choice(scope)}:{local}" if scope and rng.random() < 0.3 else local
        attrs = f' id="{next(fresh)}"' if rng.random() < 0.7 else ""
        if scope and rng.random() < 0.2:
            attrs += f' {rng.choice(scope)}:at="v"'
        kids = 0 if depth >= 7 else rng.choice([0, 0, 1, 2, 3, 4])
        if kids == 0 and rng.random() < 0.3:
            out.append(f"<{name}{declared}{attrs}/>")
            return
        out.append(f"<{name}{declared}{attrs}>")
        if kids == 0 and rng.random() < 0.2:
            out.append("<![CDATA[<cdata> & ]]>")
        else:
            out.append(text())
        for _ in range(kids):
            if rng.random() < 0.2:
                out.append(other())
            element(depth + 1, scope)
            out.append(text())
        out.append(f"</{name}>")

    out.append("<r>")
    while sum(map(len, out)) < size:
        element(1, [])
        out.append(text() or "\n")
    out.append("</r>")
    return "".join(out).encode("utf-8")


def tag_matches(tag: str, tags: Collection[str] | None) -> bool:
    """ElementTree-style tag test: a Clark name, or "{*}local" for any namespace."""
    if tags is None:
        return True
    local = tag.rsplit("}", 1)[-1]
    return any(t == tag or (t.startswith("{*}") and t[3:] == local) for t in tags)


def comparable(etree: Any, got: list[bytes],
               want: list[bytes]) -> tuple[list[bytes | str], list[bytes | str]]:
    """`got` and `want` with each differing pair of standalone serialisations
    replaced by their C14N forms: the order in which the namespace
    declarations inherited from ancestors are written is the serialiser's
    choice. Compare the results with ==."""
    def c14n(data: bytes) -> str:
        return etree.canonicalize(data.decode("utf-8"), with_comments=True)

    pairs = [(g, w) if g == w else (c14n(g), c14n(w)) for g, w in zip(got, want)]
    return ([g for g, _ in pairs] + list(got[len(pairs):]),
            [w for _, w in pairs] + list(want[len(pairs):]))


def lxml_stream(etree: Any, data: bytes, tags: Collection[str] | None, mode: str,
                events: int = 0) -> tuple[list[bytes], bytes]:
    """The elements matching `tags`, serialised as they are when handed out,
    and the root's serialisation at the end, when `data` (well-formed) is
    streamed with releases by `mode` (RELEASE_MODES) and `events` the event
    mask (0: elements without events)."""
    root = etree.fromstring(data, etree.XMLParser(resolve_entities=True, strip_cdata=False))
    order = [el for _, el in etree.iterwalk(root, events=("end",)) if isinstance(el.tag, str)]

    def declares_namespaces(el: Any) -> bool:
        # Every declaration of the generated documents has a URI of its own.
        return el.nsmap != el.getparent().nsmap

    def release(el: Any) -> None:
        if events & EV_END_NS and declares_namespaces(el) and mode != "late":
            return  # its end-ns events are still queued: kept
        parent = el.getparent()
        ancestors = list(el.iterancestors())
        for before in list(el.itersiblings(preceding=True)):
            parent.remove(before)
        tail = el.tail
        parent.remove(el)  # lxml takes the tail along
        parent.text = tail
        for up in ancestors[:-1]:  # what lies before each ancestor goes too
            above = up.getparent()
            for before in list(up.itersiblings(preceding=True)):
                above.remove(before)
            above.text = None

    seen: list[bytes] = []
    pending = None
    for el in order:
        matches = tag_matches(el.tag, tags)
        if matches:
            seen.append(etree.tostring(el, encoding="UTF-8", xml_declaration=False,
                                       with_tail=False))
        if mode == "late" and pending is not None:
            release(pending)
            pending = None
        if mode == "filtered":
            if el is not root and (matches or not any(
                    tag_matches(up.tag, tags) for up in el.iterancestors())):
                release(el)
            continue
        if not matches or el is root:
            continue
        if mode in ("now", "parent-first"):
            release(el)
        elif mode == "late":
            pending = el
    if pending is not None:
        release(pending)
    return seen, etree.tostring(root, encoding="UTF-8", xml_declaration=False)
