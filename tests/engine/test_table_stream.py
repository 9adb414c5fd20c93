"""The engine's table stream read through the Arrow C Data Interface structs
directly, without pyarrow: formats and names, buffer contents, return codes,
and the release contract (each node frees its own buffers exactly once; a
child moved out by the consumer outlives its parent). Run under ASan to
see a double free or a read of freed memory."""

from __future__ import annotations

import ctypes

import pytest

import korvith
from korvith import _engine
from korvith.tables import _ArrowArray, _ArrowSchema, _release

ext = _engine.ext
PLAN = korvith.Plan(attributes=["id"], n=int, tags=[str], p=korvith.Plan(ok=bool))
DATA = (b"<r><i id='a'><n>1</n><tags>x</tags><tags>yz</tags><p><ok>true</ok></p></i>"
        b"<i><n></n></i>"
        b"<i id='c'><n>3</n><tags></tags><p><ok>0</ok></p></i>\n<i><n>bad</n></i></r>")


def children(struct: _ArrowSchema | _ArrowArray, kind: type) -> list:
    pointers = ctypes.cast(struct.children, ctypes.POINTER(ctypes.POINTER(kind)))
    return [pointers[i].contents for i in range(struct.n_children)]


def buffer(array: _ArrowArray, index: int, ctype: type, count: int) -> list:
    buffers = ctypes.cast(array.buffers, ctypes.POINTER(ctypes.c_void_p))
    if not buffers[index]:
        return []
    return list((ctype * count).from_address(buffers[index]))


def bits(array: _ArrowArray, index: int) -> list[int]:
    raw = buffer(array, index, ctypes.c_uint8, (array.length + 7) // 8)
    return [(raw[i // 8] >> (i % 8)) & 1 for i in range(array.length)] if raw else []


class Stream:
    def __init__(self, data: bytes, plan: korvith.Plan = PLAN, batch_size: int = 100,
                 flags: int = 0) -> None:
        self.iterator = _engine.open_iterator(None, data, 0)
        error = ctypes.create_string_buffer(256)
        self.handle = ext.table_stream_new(plan.compiled().handle, self.iterator, b"i",
                                           batch_size, flags, error, len(error))
        assert self.handle, error.value

    def next(self) -> tuple[int, _ArrowArray]:
        array = _ArrowArray()
        return ext.table_stream_next(self.handle, ctypes.addressof(array)), array

    def error(self) -> tuple[int, str]:
        message = ctypes.create_string_buffer(256)
        line = ext.table_stream_error(self.handle, message, len(message))
        return line, message.value.decode()

    def close(self) -> None:
        ext.table_stream_free(self.handle)
        ext.iterparse_free(self.iterator)


def test_schema_tree_formats_names_and_release():
    schema = _ArrowSchema()
    assert ext.table_schema(PLAN.compiled().handle, ctypes.addressof(schema), None, 0) == 0
    assert (schema.format, schema.flags, schema.n_children) == (b"+s", 0, 4)
    columns = children(schema, _ArrowSchema)
    assert [(c.name, c.format, c.flags) for c in columns] == [
        (b"id", b"u", 2), (b"n", b"l", 2), (b"tags", b"+l", 2), (b"p", b"+s", 2)]
    assert [(c.name, c.format) for c in children(columns[2], _ArrowSchema)] == [(b"item", b"u")]
    assert [(c.name, c.format) for c in children(columns[3], _ArrowSchema)] == [(b"ok", b"b")]
    _release(schema)
    assert not schema.release
    _release(schema)  # a released struct is left alone


def test_batch_buffers_hold_the_values_and_validity():
    stream = Stream(DATA, batch_size=3)
    try:
        status, batch = stream.next()
        assert status == 1
        assert (batch.length, batch.null_count, batch.n_buffers, batch.n_children) == (3, 0, 1, 4)
        ids, n, tags, p = children(batch, _ArrowArray)
        assert (ids.length, ids.null_count, bits(ids, 0)) == (3, 1, [1, 0, 1])
        assert buffer(ids, 1, ctypes.c_int32, 4) == [0, 1, 1, 2]
        assert b"".join(buffer(ids, 2, ctypes.c_char, 2)) == b"ac"
        assert (n.null_count, bits(n, 0), buffer(n, 1, ctypes.c_int64, 3)) == (1, [1, 0, 1],
                                                                                [1, 0, 3])
        # lists are never null: the validity buffer may be left out
        assert tags.null_count == 0 and buffer(tags, 1, ctypes.c_int32, 4) == [0, 2, 2, 3]
        (items,) = children(tags, _ArrowArray)
        assert buffer(items, 1, ctypes.c_int32, 4) == [0, 1, 3, 3]
        assert (p.null_count, bits(p, 0)) == (1, [1, 0, 1])
        (ok,) = children(p, _ArrowArray)
        assert (ok.length, bits(ok, 1)) == (3, [1, 0, 0])
        _release(batch)
        assert not batch.release
    finally:
        stream.close()


def test_a_child_moved_out_outlives_its_released_parent():
    stream = Stream(DATA, batch_size=3)
    status, batch = stream.next()
    stream.close()  # the stream, its iterator and the tree go first
    assert status == 1
    column = children(batch, _ArrowArray)[2]  # tags: list<utf8>, with its own child
    moved = _ArrowArray.from_buffer_copy(column)
    column.release = None  # the consumer now owns it
    _release(batch)
    (items,) = children(moved, _ArrowArray)
    assert b"".join(buffer(items, 2, ctypes.c_char, 3)) == b"xyz"
    _release(moved)
    assert not moved.release


def test_return_codes_after_a_conversion_error_and_at_the_end():
    stream = Stream(DATA, batch_size=10)
    try:
        status, batch = stream.next()
        assert (status, batch.length) == (1, 3)  # the rows before the bad record
        _release(batch)
        assert [stream.next()[0] for _ in range(2)] == [-1, -1]
        assert stream.error() == (2, "field 'n': 'bad' is not an int (line 2)")
    finally:
        stream.close()
    lenient = Stream(DATA, flags=1)
    try:
        status, batch = lenient.next()
        assert (status, batch.length) == (1, 4)
        _release(batch)
        assert [lenient.next()[0] for _ in range(2)] == [0, 0]
        assert lenient.error() == (0, "")
    finally:
        lenient.close()


@pytest.mark.parametrize(("tag", "batch_size", "message"), [
    (b"{urn:x", 10, b"malformed tag '{urn:x'"),
    (b"i", 0, b"no plan, iterator or batch size"),
])
def test_stream_new_refuses_with_a_message(tag, batch_size, message):
    iterator = _engine.open_iterator(None, DATA, 0)
    error = ctypes.create_string_buffer(256)
    try:
        assert not ext.table_stream_new(PLAN.compiled().handle, iterator, tag, batch_size, 0,
                                        error, len(error))
        assert error.value == message
    finally:
        ext.iterparse_free(iterator)
