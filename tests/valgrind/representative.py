"""A representative walk through the package, run under valgrind memcheck
by tests/valgrind/run: every line checks its answer, so the run proves both
that the engine reads no freed or uninitialised memory and that it answered
correctly while doing so."""

from __future__ import annotations

import os
import sys
import tempfile

import korvith
from korvith import KorvithError, Plan, SaxHandler

DOC = b"""<?xml version="1.0"?>
<!DOCTYPE shop [<!ENTITY e "ent">]>
<shop xmlns:p="urn:p" name="corner">
  <item id="1" p:cur="EUR" note="a&e;b"><name>Green</name><price>3.5</price></item>
  <item id="2"><name>Dark</name><price>7</price><![CDATA[raw]]><!-- c --></item>
  <box><item id="3"><name>Black</name><price>4.25</price></item></box>
</shop>
"""


def check(got: object, want: object) -> None:
    if got != want:
        raise SystemExit(f"wrong answer: {got!r} != {want!r}")


def walk_and_query() -> None:
    doc = korvith.parse(DOC, keep_entities=True)
    root = doc.root
    check(root.get("name"), "corner")
    items = root.findall(".//item")
    check([i.get("id") for i in items], ["1", "2", "3"])
    check(items[0].get("note"), "aentb")
    check(items[0].get("{urn:p}cur"), "EUR")
    check(dict(items[0].attrib)["{urn:p}cur"], "EUR")
    check([c.tag for c in items[1]], ["name", "price"])
    check(root.xpath("count(//item)"), 3.0)
    check(root.xpath("string(//item[@id=$n]/name)", n="2"), "Dark")
    check([e.text for e in doc.xpath("//p:x | //name", namespaces={"p": "urn:p"})],
          ["Green", "Dark", "Black"])
    check([e.text for e in korvith.XPath("//price")(doc)], ["3.5", "7", "4.25"])
    check([e.text for e in doc.xquery("for $i in //item order by number($i/price) "
                                       "descending return $i/name")], ["Dark", "Black", "Green"])
    check(items[2].tobytes(), b'<item xmlns:p="urn:p" id="3"><name>Black</name><price>4.25</price></item>')
    check(items[0].tobytes().startswith(b'<item xmlns:p="urn:p" id="1"'), True)
    check(len(doc.tobytes(indent=2, declaration=True)) > len(DOC) - 20, True)
    plan = Plan(attributes=["id"], name=str, price=float)
    check(korvith.extract(items[1], plan), {"id": "2", "name": "Dark", "price": 7.0})
    items[0].text = "new"
    check(items[0].text, "new")
    # A closed document poisons its wrappers: using one raises.
    doc.close()
    for use in (lambda: items[0].get("id"), lambda: items[1].tobytes(), lambda: root.xpath("1")):
        try:
            use()
        except KorvithError:
            pass
        else:
            raise SystemExit("a wrapper of a closed document answered")


def streams(path: str) -> None:
    seen = [(el.get("id"), el.findtext("name")) for el in korvith.iterparse(path, tag="item")]
    check(seen, [("1", "Green"), ("2", "Dark"), ("3", "Black")])
    plan = Plan(attributes=["id"], price=float)
    check([r["price"] for r in korvith.iterextract(path, "item", plan)], [3.5, 7.0, 4.25])

    class Names(SaxHandler):
        def __init__(self) -> None:
            self.names: list[str] = []

        def start_element(self, name: str, attrs: dict[str, str]) -> None:
            self.names.append(name)

    handler = Names()
    korvith.sax_parse(path, handler)
    check(handler.names.count("item"), 3)
    with korvith.parse_file(path, recover=True) as doc:
        check(doc.root.tag, "shop")
    try:
        korvith.parse(b"<a><b></a>")
    except korvith.ParseError as exc:
        check("mismatch" in str(exc), True)
    else:
        raise SystemExit("malformed input parsed")


def arrow_batch(path: str) -> None:
    """The engine's Arrow batch, read through the C structs without pyarrow
    (too heavy under valgrind): values after the stream is gone, then one
    release of the whole tree."""
    import ctypes

    from korvith import _engine
    from korvith.tables import _ArrowArray, _release

    plan = Plan(attributes=["id"], price=float)
    iterator = _engine.open_iterator(path, None, 0)
    stream = _engine.ext.table_stream_new(plan.compiled().handle, iterator, b"item", 10, 0,
                                          None, 0)
    batch = _ArrowArray()
    check(_engine.ext.table_stream_next(stream, ctypes.addressof(batch)), 1)
    _engine.ext.table_stream_free(stream)
    _engine.ext.iterparse_free(iterator)
    columns = ctypes.cast(batch.children, ctypes.POINTER(ctypes.POINTER(_ArrowArray)))
    price = columns[1].contents
    buffers = ctypes.cast(price.buffers, ctypes.POINTER(ctypes.c_void_p))
    check(list((ctypes.c_double * 3).from_address(buffers[1])), [3.5, 7.0, 4.25])
    _release(batch)
    check(bool(batch.release), False)


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "shop.xml")
        with open(path, "wb") as f:
            f.write(DOC)
        for _ in range(rounds):
            walk_and_query()
            streams(path)
            arrow_batch(path)
    print("representative script: all answers correct")


if __name__ == "__main__":
    main()
