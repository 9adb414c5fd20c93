"""Replaying SAX recordings into handler calls, against the fake engine.

Recording layout the engine must produce (read in place by the module):

* `sax_records` returns an array of 40-byte records (struct format
  "<B7xIIIIIIII": kind, 7 unused bytes, name_off, name_len, text_off,
  text_len, attrs_off, attr_count, line, column) and writes their count;
  `sax_arena` returns the string arena and writes its size.
* Names and texts are (offset, length) ranges of the arena, no terminator
  needed. A start-element record's attributes are attr_count pairs of
  NUL-terminated strings, name then value, back to back from attrs_off.
* Only the fields a kind uses are checked and read: 2 name + attributes
  (attrs_off only when attr_count is not 0), 3 and 9 name, 4/5/6 text, 7
  and 8 name + text, 10 text + line/column. Unused fields may hold anything.
* Every range used must lie inside the arena. A record whose name, text or
  attributes reach outside it raises the engine error class (KorvithError,
  FakeError here) "SAX record I: FIELD (offset O, length L) lies outside
  the N-byte arena"; records before it have been delivered, nothing after.
  The last attribute string may end at the arena's end without a NUL.
* Kinds 11 to 255 are skipped, so an engine may add event kinds that older
  modules pass over.
"""

from __future__ import annotations

import struct

import pytest

from fake_engine import FakeError
from korvith import _korvithaccel as accel

RECORD = struct.Struct("<B7xIIIIIIII")
RECORDER = 0xABC0
assert RECORD.size == 40


class Recording:
    """Builds records and an arena, and serves them from the fake engine."""

    def __init__(self) -> None:
        self.arena = bytearray()
        self.records: list[bytes] = []

    def put(self, data: bytes | str) -> tuple[int, int]:
        if isinstance(data, str):
            data = data.encode()
        offset = len(self.arena)
        self.arena += data
        return offset, len(data)

    def raw(self, kind, name=(0, 0), text=(0, 0), attrs=(0, 0), line=0, column=0):
        self.records.append(RECORD.pack(kind, *name, *text, *attrs, line, column))
        return self

    def add(self, kind, name=None, text=None, attrs=None, line=0, column=0):
        name_range = self.put(name) if name is not None else (0, 0)
        text_range = self.put(text) if text is not None else (0, 0)
        attr_range = (0, 0)
        if attrs is not None:
            start = len(self.arena)
            for key, value in attrs:
                self.put(key)
                self.arena += b"\0"
                self.put(value)
                self.arena += b"\0"
            attr_range = (start, len(attrs))
        return self.raw(kind, name_range, text_range, attr_range, line, column)

    def serve(self, engine, arena_size: int | None = None) -> None:
        records = b"".join(self.records)
        records_address = engine.buffer(records) if records else None
        arena_address = engine.buffer(bytes(self.arena))
        size = len(self.arena) if arena_size is None else arena_size

        def sax_records(recorder, count):
            assert recorder == RECORDER
            if count:
                count[0] = len(self.records)
            return records_address

        def sax_arena(recorder, out):
            if out:
                out[0] = size
            return arena_address

        engine.on("sax_records", sax_records)
        engine.on("sax_arena", sax_arena)


class Handler:
    """Logs every call as (method, args)."""

    def __init__(self) -> None:
        self.calls: list[tuple] = []

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        def method(*args):
            self.calls.append((name, *args))

        return method


def drain(engine, recording: Recording, handler, **serve):
    recording.serve(engine, **serve)
    return accel.sax_drain(RECORDER, handler)


def test_every_kind_reaches_its_method(engine):
    rec = (Recording()
           .add(0)
           .add(8, name="p", text="urn:p")
           .add(2, name="p:root", attrs=[("a", "1"), ("b", "")])
           .add(4, text="hello ")
           .add(6, text="<raw>")
           .add(5, text=" note ")
           .add(7, name="target", text="data")
           .add(10, text="bad thing", line=3, column=7)
           .add(3, name="p:root")
           .add(9, name="p")
           .add(1))
    handler = Handler()
    assert drain(engine, rec, handler) is None
    assert handler.calls == [
        ("start_document",),
        ("start_prefix_mapping", "p", "urn:p"),
        ("start_element", "p:root", {"a": "1", "b": ""}),
        ("characters", "hello "),
        ("cdata", "<raw>"),
        ("comment", " note "),
        ("processing_instruction", "target", "data"),
        ("error", "bad thing", 3, 7),
        ("end_element", "p:root"),
        ("end_prefix_mapping", "p"),
        ("end_document",),
    ]
    assert engine.calls() == ["sax_records", "sax_arena"]


def test_unbound_drain_returns_none(unbound):
    out = unbound("""
        class H:
            def __getattr__(self, name):
                raise AssertionError(name)
        print(accel.sax_drain(1, H()))
    """)
    assert out.strip() == "None"


class Untouchable:
    def __getattribute__(self, name):
        raise AssertionError(f"looked up {name}")


@pytest.mark.parametrize("records, arena", [
    (None, b"x"),
    ("empty", b"x"),
    ("one", None),
])
def test_nothing_to_deliver(engine, records, arena):
    one = RECORD.pack(1, 0, 0, 0, 0, 0, 0, 0, 0)
    records_address = {None: None, "empty": engine.buffer(one), "one": engine.buffer(one)}[records]
    count = 0 if records == "empty" else 1
    arena_address = engine.buffer(arena) if arena is not None else None

    def sax_records(recorder, out):
        out[0] = count
        return records_address

    engine.on("sax_records", sax_records)
    engine.on("sax_arena", lambda recorder, out: arena_address)
    assert accel.sax_drain(RECORDER, Untouchable()) is None
    expected = ["sax_records"] if records_address is None or count == 0 else ["sax_records", "sax_arena"]
    assert engine.calls() == expected


def test_methods_are_looked_up_once_per_drain(engine):
    lookups: list[str] = []

    class Counting:
        def __getattr__(self, name):
            lookups.append(name)
            return lambda *args: None

    rec = Recording().add(4, text="a").add(4, text="b").add(3, name="e").add(4, text="c")
    drain(engine, rec, Counting())
    assert lookups == ["characters", "end_element"]
    drain(engine, rec, Counting())
    assert lookups == ["characters", "end_element"] * 2  # nothing kept between drains


@pytest.mark.parametrize("kind, method, fields", [
    (0, "start_document", {}),
    (1, "end_document", {}),
    (3, "end_element", {"name": "e"}),
    (4, "characters", {"text": "t"}),
    (5, "comment", {"text": "t"}),
    (6, "cdata", {"text": "t"}),
    (9, "end_prefix_mapping", {"name": "p"}),
])
def test_none_attribute_skips_records(engine, kind, method, fields):
    handler = Handler()
    setattr(handler, method, None)
    rec = Recording().add(kind, **fields).add(4 if kind != 4 else 5, text="after")
    drain(engine, rec, handler)
    assert handler.calls == [("comment" if kind == 4 else "characters", "after")]


@pytest.mark.parametrize("kind, method, fields", [
    (2, "start_element", {"name": "e", "attrs": []}),
    (7, "processing_instruction", {"name": "t", "text": "d"}),
    (8, "start_prefix_mapping", {"name": "p", "text": "u"}),
    (10, "error", {"text": "m"}),
])
def test_none_attribute_is_called_anyway(engine, kind, method, fields):
    handler = Handler()
    setattr(handler, method, None)
    rec = Recording().add(4, text="before").add(kind, **fields).add(4, text="after")
    with pytest.raises(TypeError, match="'NoneType' object is not callable"):
        drain(engine, rec, handler)
    assert handler.calls == [("characters", "before")]


def test_missing_attribute_only_matters_for_kinds_that_occur(engine):
    class OnlyEnd:
        def __init__(self):
            self.seen = []

        def end_element(self, name):
            self.seen.append(name)

    handler = OnlyEnd()
    drain(engine, Recording().add(3, name="x"), handler)
    assert handler.seen == ["x"]
    with pytest.raises(AttributeError, match="start_document"):
        drain(engine, Recording().add(3, name="y").add(0), handler)
    assert handler.seen == ["x", "y"]


@pytest.mark.parametrize("attrs, expected", [
    ([], {}),
    ([("a", "1"), ("a", "2")], {"a": "2"}),
    ([("z", "1"), ("a", "2"), ("m", "3")], {"z": "1", "a": "2", "m": "3"}),
    ([(b"k\xff", b"\xc3")], {"k\ufffd": "\ufffd"}),
])
def test_start_element_attributes(engine, attrs, expected):
    handler = Handler()
    drain(engine, Recording().add(2, name="e", attrs=attrs), handler)
    assert handler.calls == [("start_element", "e", expected)]
    assert list(handler.calls[0][2]) == list(expected)


@pytest.mark.parametrize("arena, attrs, expected", [
    (b"ek\0unterminated", (1, 1), {"k": "unterminated"}),
    (b"ek\0", (1, 1), {"k": ""}),  # the value starts at the arena's end
    (b"e", (1, 0), {}),
])
def test_attribute_strings_are_bounded_by_arena_end(engine, arena, attrs, expected):
    rec = Recording()
    rec.arena += arena
    rec.raw(2, name=(0, 1), attrs=attrs)
    handler = Handler()
    drain(engine, rec, handler)
    assert handler.calls == [("start_element", "e", expected)]


def test_invalid_utf8_is_replaced(engine):
    handler = Handler()
    rec = Recording().add(3, name=b"a\xffb").add(4, text=b"\xe2\x82").add(7, name=b"\x80", text="d")
    drain(engine, rec, handler)
    assert handler.calls == [("end_element", "a\ufffdb"), ("characters", "\ufffd"),
                             ("processing_instruction", "\ufffd", "d")]


def test_error_record_passes_line_and_column(engine):
    handler = Handler()
    drain(engine, Recording().add(10, text="oops", line=2**32 - 1, column=0), handler)
    assert handler.calls == [("error", "oops", 2**32 - 1, 0)]


def test_handler_exception_stops_the_drain(engine):
    class Stops(Handler):
        def characters(self, text):
            self.calls.append(("characters", text))
            if text == "2":
                raise KeyError("stop at 2")

    handler = Stops()
    rec = Recording()
    for text in "12345":
        rec.add(4, text=text)
    with pytest.raises(KeyError, match="stop at 2"):
        drain(engine, rec, handler)
    assert handler.calls == [("characters", "1"), ("characters", "2")]


@pytest.mark.parametrize("kind", [11, 12, 128, 255])
def test_unknown_kinds_are_skipped(engine, kind):
    handler = Handler()
    rec = Recording().add(4, text="a").raw(kind, name=(10**6, 5)).add(4, text="b")
    drain(engine, rec, handler)
    assert handler.calls == [("characters", "a"), ("characters", "b")]


def test_unused_fields_are_not_checked(engine):
    handler = Handler()
    rec = Recording().raw(0, name=(2**32 - 1, 2**32 - 1), text=(2**32 - 1, 9))
    rec.put("e")
    rec.raw(3, name=(0, 1), text=(2**32 - 1, 2**32 - 1), attrs=(2**32 - 1, 9))
    drain(engine, rec, handler)
    assert handler.calls == [("start_document",), ("end_element", "e")]


@pytest.mark.parametrize("attrs_off", [0, 1, 2, 2**32 - 1])
def test_start_element_without_attributes_ignores_attrs_off(engine, attrs_off):
    handler = Handler()
    rec = Recording()
    rec.put("e")
    rec.raw(2, name=(0, 1), attrs=(attrs_off, 0))
    drain(engine, rec, handler)
    assert handler.calls == [("start_element", "e", {})]


def test_empty_arena_is_accepted(engine):
    handler = Handler()
    rec = Recording().raw(3, name=(0, 0)).raw(2, name=(0, 0), attrs=(0, 0))
    drain(engine, rec, handler)
    assert handler.calls == [("end_element", ""), ("start_element", "", {})]


OUTSIDE = [
    # (record kind, name range, text range, attrs range, message tail)
    (3, (3, 2), (0, 0), (0, 0), "name (offset 3, length 2)"),
    (3, (5, 0), (0, 0), (0, 0), "name (offset 5, length 0)"),
    (9, (2**32 - 1, 2**32 - 1), (0, 0), (0, 0), "name (offset 4294967295, length 4294967295)"),
    (4, (0, 0), (0, 5), (0, 0), "text (offset 0, length 5)"),
    (10, (0, 0), (4, 1), (0, 0), "text (offset 4, length 1)"),
    (7, (0, 1), (1, 9), (0, 0), "text (offset 1, length 9)"),
    (8, (9, 1), (0, 1), (0, 0), "name (offset 9, length 1)"),
    (2, (0, 1), (0, 0), (5, 1), "attributes (offset 5, length 0)"),
    (2, (0, 1), (0, 0), (0, 2), "attribute value (offset 5, length 0)"),
    (2, (0, 1), (0, 0), (2, 2), "attribute name (offset 5, length 0)"),
    (2, (7, 1), (0, 0), (0, 0), "name (offset 7, length 1)"),
]


@pytest.mark.parametrize("kind, name, text, attrs, tail", OUTSIDE)
def test_ranges_outside_the_arena_are_refused(engine, kind, name, text, attrs, tail):
    rec = Recording()
    rec.arena += b"k\0v\0"  # a 4-byte arena: one attribute pair
    rec.raw(4, text=(0, 1))
    rec.raw(kind, name=name, text=text, attrs=attrs)
    rec.raw(4, text=(2, 1))
    handler = Handler()
    with pytest.raises(FakeError) as info:
        drain(engine, rec, handler)
    assert str(info.value) == f"SAX record 1: {tail} lies outside the 4-byte arena"
    assert handler.calls == [("characters", "k")]
