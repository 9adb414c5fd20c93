"""Element wrappers, registries, poisoning and batch creation."""

from __future__ import annotations

import gc

import pytest

from conftest import Doc
from fake_engine import FakeError

POISON = 2**64 - 1


class NoRegistry:
    pass


class BrokenRegistry:
    @property
    def _accel_registry(self):
        raise RuntimeError("getter fails")


def test_create_without_anything(accel_module):
    el = accel_module.create(0, None, None)
    assert type(el) is accel_module.Element
    assert (el._raw, el._ptr, el._document) == (None, None, None)


def test_element_called_directly_is_empty(accel_module):
    el = accel_module.Element()
    assert (el._raw, el._ptr, el._document) == (None, None, None)
    assert el.tag is None


def test_invalidate_poisons_registered_wrappers(engine, accel_module, doc):
    engine.on("element_name", lambda el: engine.cstr("a"))
    handles = [object(), object(), object()]
    els = [accel_module.create(0x100 + i, h, doc) for i, h in enumerate(handles)]
    assert [e._ptr for e in els] == handles
    assert els[0].tag == "a"  # cached, yet poison comes first

    assert accel_module.invalidate(doc._accel_registry) is None
    for el in els:
        with pytest.raises(FakeError, match="^operation on a closed document$"):
            el.tag
        assert el._ptr is None
        assert el._raw == POISON
        assert el._document is doc
    # A second invalidate visits nothing.
    assert accel_module.invalidate(doc._accel_registry) is None


def test_released_wrapper_unlinks_itself(engine, accel_module, doc):
    first = accel_module.create(0x1, None, doc)
    middle = accel_module.create(0x2, None, doc)
    last = accel_module.create(0x3, None, doc)
    del middle
    gc.collect()
    accel_module.invalidate(doc._accel_registry)
    assert first._raw == POISON and last._raw == POISON
    # Releasing poisoned wrappers touches no registry.
    del first, last
    gc.collect()
    survivor = accel_module.create(0x4, None, doc)
    accel_module.invalidate(doc._accel_registry)
    assert survivor._raw == POISON


class NotACapsule:
    _accel_registry = 5


@pytest.mark.parametrize("document", [None, NoRegistry(), BrokenRegistry(), NotACapsule()])
def test_documents_without_usable_registry_give_unregistered_wrappers(accel_module, document):
    el = accel_module.create(0x10, None, document)
    assert el._raw == 0x10
    assert el._document is document


def test_registry_made_afresh_on_every_read_is_not_linked_into(accel_module):
    # Such a capsule dies as soon as the lookup lets go of it; a wrapper
    # linked into its registry would point into freed memory, and would
    # corrupt whatever registry is allocated there next.
    class FreshEachTime:
        @property
        def _accel_registry(self):
            return accel_module.new_registry()

    stray = accel_module.create(0x10, None, FreshEachTime())
    batch = accel_module.materialize(["a", "b"], FreshEachTime(), [0x11, 0x12])

    d = Doc()
    kept = accel_module.create(0x20, None, d)
    del stray, batch
    gc.collect()
    accel_module.invalidate(d._accel_registry)
    assert kept._raw == POISON


def test_registry_of_another_capsule_name_is_ignored(accel_module):
    import ctypes

    capsule_new = ctypes.pythonapi.PyCapsule_New
    capsule_new.restype = ctypes.py_object
    capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    other = capsule_new(ctypes.c_void_p(1).value, b"other.name", None)

    d = Doc()
    d._accel_registry = other
    el = accel_module.create(0x10, None, d)
    assert el._raw == 0x10
    with pytest.raises(ValueError):
        accel_module.invalidate(other)


@pytest.mark.parametrize("arg", [1, "capsule", None, object()])
def test_invalidate_requires_a_capsule(accel_module, arg):
    with pytest.raises(TypeError, match="^expected a registry capsule$"):
        accel_module.invalidate(arg)


class Holder:
    """A handle object that owns other objects (and may run code when freed)."""

    def __init__(self, held=None, on_free=None) -> None:
        self.held = held
        self.on_free = on_free

    def __del__(self) -> None:
        if self.on_free:
            self.on_free()


def test_invalidate_survives_a_handle_that_frees_the_next_wrapper(accel_module, doc):
    first = accel_module.create(0x1, None, doc)
    first._ptr = Holder(held=accel_module.create(0x2, None, doc))  # only owner of the 2nd
    last = accel_module.create(0x3, None, doc)
    accel_module.invalidate(doc._accel_registry)
    assert (first._raw, last._raw) == (POISON, POISON)
    assert first._ptr is None and last._ptr is None
    fresh = accel_module.create(0x4, None, doc)
    accel_module.invalidate(doc._accel_registry)
    assert fresh._raw == POISON


def test_wrapper_made_while_invalidating_is_poisoned_too(accel_module, doc):
    made = []
    el = accel_module.create(0x1, None, doc)
    el._ptr = Holder(on_free=lambda: made.append(accel_module.create(0x2, "h", doc)))
    accel_module.invalidate(doc._accel_registry)
    assert el._raw == POISON
    assert [(m._raw, m._ptr) for m in made] == [(POISON, None)]
    del made[:]
    gc.collect()
    later = accel_module.create(0x3, None, doc)
    accel_module.invalidate(doc._accel_registry)
    assert later._raw == POISON


def test_dropping_registry_with_live_wrappers_poisons_them(engine, accel_module, doc):
    # The capsule is the only owner of the registry: when it dies while
    # wrappers are still linked, they must not keep pointers into it.
    el = accel_module.create(0x10, None, doc)
    other = accel_module.create(0x11, None, doc)
    del doc._accel_registry
    gc.collect()
    assert el._raw == POISON
    with pytest.raises(FakeError, match="closed document"):
        el.tag
    del el, other  # deallocation must not touch the freed registry
    gc.collect()


def test_new_registry_capsule_can_be_dropped_with_wrappers(engine, accel_module):
    d = Doc()
    wrappers = [accel_module.create(i + 1, None, d) for i in range(5)]
    d._accel_registry = accel_module.new_registry()  # replaces and frees the first
    gc.collect()
    assert all(w._raw == POISON for w in wrappers)
    fresh = accel_module.create(9, None, d)
    accel_module.invalidate(d._accel_registry)
    assert fresh._raw == POISON


@pytest.mark.parametrize(
    "value, expected",
    [(5, 5), (True, 1), (2**64 - 1, POISON), (-1, POISON), (-(2**63), 2**63)],
)
def test_raw_setter_converts_like_bind(accel_module, value, expected):
    el = accel_module.Element()
    el._raw = value
    assert el._raw == expected


@pytest.mark.parametrize("value, error", [("1", TypeError), (1.5, TypeError),
                                          (2**64, OverflowError), (-(2**63) - 1, OverflowError)])
def test_raw_setter_rejects(accel_module, value, error):
    el = accel_module.Element()
    with pytest.raises(error) as info:
        el._raw = value
    if error is TypeError:
        assert str(info.value) == "_raw must be an address int"


def test_raw_none_and_delete_unpoison(engine, accel_module):
    el = accel_module.create(POISON, None, None)
    el._raw = None
    assert el.tag is None  # no element, not an error
    el._raw = -1
    with pytest.raises(FakeError):
        el.tag
    del el._raw
    assert el._raw is None


def test_ptr_and_document_setters(accel_module):
    el = accel_module.Element()
    marker = object()
    el._ptr = marker
    el._document = marker
    assert el._ptr is marker and el._document is marker
    del el._ptr
    del el._document
    assert el._ptr is None and el._document is None


def test_subclass_instances_deallocate(accel_module):
    class Sub(accel_module.Element):
        def hello(self):
            return "hi"

    s = Sub()
    s._raw = 5
    assert s.hello() == "hi"
    del s
    gc.collect()


# -- materialize ------------------------------------------------------------

def test_materialize_builds_registered_wrappers(engine, accel_module, doc):
    handles = ["h1", "h2", "h3"]
    els = accel_module.materialize(handles, doc, [0x10, 0x20, 0x30, 0x40])
    assert [e._ptr for e in els] == handles
    assert [e._raw for e in els] == [0x10, 0x20, 0x30]
    assert all(e._document is doc for e in els)
    accel_module.invalidate(doc._accel_registry)
    assert all(e._raw == POISON for e in els)
    assert all(e._ptr is None for e in els)


@pytest.mark.parametrize("address, raw", [(None, None), ("0x10", None), (1.0, None),
                                          (True, 1), (0, None), (-1, POISON)])
def test_materialize_address_items(accel_module, doc, address, raw):
    (el,) = accel_module.materialize(("h",), doc, (address,))
    assert el._raw == raw and el._ptr == "h"
    accel_module.invalidate(doc._accel_registry)
    assert el._raw == POISON  # registered whatever its address


def test_materialize_reads_the_lists_it_was_given(accel_module):
    # Looking up the registry runs the document's code, which here empties
    # both lists; the batch is made from what was passed in.
    ptrs = [object() for _ in range(3)]
    expected = list(ptrs)
    addresses = [0x10, 0x20, 0x30]
    capsule = accel_module.new_registry()

    class Meddling:
        @property
        def _accel_registry(self):
            ptrs.clear()
            addresses.clear()
            return capsule

    els = accel_module.materialize(ptrs, Meddling(), addresses)
    assert [e._ptr for e in els] == expected
    assert [e._raw for e in els] == [0x10, 0x20, 0x30]
    accel_module.invalidate(capsule)
    assert all(e._raw == POISON for e in els)


@pytest.mark.parametrize(
    "ptrs, addresses, error, message",
    [
        (5, [], TypeError, "ptrs must be a sequence"),
        ([], 5, TypeError, "addresses must be a sequence"),
        (["a", "b"], [1], ValueError, "addresses shorter than ptrs"),
        (["a"], [2**64], OverflowError, None),
    ],
)
def test_materialize_rejects(accel_module, doc, ptrs, addresses, error, message):
    with pytest.raises(error) as info:
        accel_module.materialize(ptrs, doc, addresses)
    if message:
        assert str(info.value) == message


def test_materialize_empty(accel_module):
    assert accel_module.materialize([], None, iter([1, 2])) == []


def test_materialize_and_create_work_unbound(unbound):
    out = unbound("""
        class D: pass
        d = D(); d._accel_registry = accel.new_registry()
        els = accel.materialize(["a", "b"], d, [1, 2])
        one = accel.create(3, "c", d)
        accel.invalidate(d._accel_registry)
        print([e._raw for e in els + [one]], [e._ptr for e in els])
    """)
    assert out.strip() == f"[{POISON}, {POISON}, {POISON}] [None, None]"
