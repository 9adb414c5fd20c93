"""Typed extraction: declare the shape of a record once, get nested dicts.

A :class:`Plan` names the attributes and child fields of one kind of
element and says how each field reads::

    book = Plan(
        attributes=["id"],
        title=str, price=float, year=int, in_stock=bool,
        tags=[str],                        # texts of every <tags> child
        author=Plan(name=str),             # first <author> as a dict
        reviews=[Plan(attributes=["stars"], text=Text())],   # every <reviews>
        keywords=Tokens(str),              # "a b c" -> ["a", "b", "c"]
        chapters=Wrapped(Plan(title=str)), # <chapters><ch>..</ch></chapters>
        isbn=Located,                      # (text, line, tag) of <isbn>
    )
    korvith.extract(root, book)
    for record in korvith.iterextract("big.xml", "book", book): ...

A result is one dict per record: the attributes first (``str`` or None),
then the fields in declaration order. Names are element and attribute names
as written: plain names match names without a namespace, ``"{uri}local"``
matches a namespaced name. The plan compiles once, on first use, and is
reused for every record. ``docs/plans.md`` describes every field kind.
"""

from __future__ import annotations

import ctypes
import os
from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Callable, NamedTuple

from . import _korvithaccel as _accel
from . import _korvithedit as _edit
from ._engine import CLOSED_MESSAGE, ext, open_iterator, raise_iterparse_error
from .document import parse_flags
from .errors import KorvithError

__all__ = [
    "Located", "Plan", "Text", "Tokens", "Wrapped", "extract", "iterextract",
]

# Row kinds and type tags understood by the engine and the module.
_TEXT, _TEXTS, _RECORDS, _CALLBACK, _TOKENS, _OWN_TEXT, _WRAPPED = 1, 2, 3, 4, 5, 6, 7
_FIRST_ONLY = 1
_TAGS: dict[type, int] = {str: 0, int: 1, float: 2, bool: 3}


class Located(NamedTuple):
    """Default callback type: a field's text with its source line."""

    text: str | None
    line: int
    tag: int


class _Immutable:
    """Refuses changes after construction: a plan is compiled on first use,
    so a later change would be silently ignored."""

    __slots__ = ()

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"{type(self).__name__} objects are immutable (cannot set {name!r}): "
                             f"build a new {type(self).__name__} with the fields you want")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} objects are immutable (cannot delete "
                             f"{name!r}): build a new {type(self).__name__} with the fields "
                             "you want")


class Text(_Immutable):
    """The record element's own text (all its descendant text), as ``type_``."""

    __slots__ = ("type_",)
    type_: type

    def __init__(self, type_: type = str) -> None:
        object.__setattr__(self, "type_", _leaf(type_, "Text"))

    def __reduce__(self) -> Any:
        return (Text, (self.type_,))


class Tokens(_Immutable):
    """The whitespace-separated tokens of a child's text, each as ``type_``."""

    __slots__ = ("type_",)
    type_: type

    def __init__(self, type_: type = str) -> None:
        object.__setattr__(self, "type_", _leaf(type_, "Tokens"))

    def __reduce__(self) -> Any:
        return (Tokens, (self.type_,))


class Wrapped(_Immutable):
    """The element children of a wrapper child: each a record (``Plan``) or a
    leaf (``str``, ``int``, ``float``, ``bool``)."""

    __slots__ = ("item",)
    item: Plan | type

    def __init__(self, item: Plan | type = str) -> None:
        if not isinstance(item, Plan):
            _leaf(item, "Wrapped")
        object.__setattr__(self, "item", item)

    def __reduce__(self) -> Any:
        return (Wrapped, (self.item,))


def _is_leaf(spec: Any) -> bool:
    return isinstance(spec, type) and spec in _TAGS


def _leaf(type_: Any, where: str) -> type:
    if not _is_leaf(type_):
        raise TypeError(f"{where} takes str, int, float or bool, not {type_!r}")
    return type_


class Plan(_Immutable):
    """The shape of one kind of record: attribute names and typed fields.

    ``fields`` (a mapping, for names that are not identifiers) and keyword
    fields are merged in that order. Field values:

    - ``str``, ``int``, ``float``, ``bool``: text of the first child of that
      name, converted (None when absent; a text that does not convert stays
      a ``str``; a blank text of a typed field reads as None);
    - ``[T]`` with T a leaf type: texts of every child of that name;
    - a ``Plan``: the first child of that name as a dict (None when absent);
      ``[Plan]``: every child of that name, as a list of dicts;
    - ``Tokens(T)``, ``Wrapped(item)``, ``Text(T)``: see their classes;
    - any other class: a callback type, called as ``cls(text, line, tag)``
      for the first child of that name (``Located`` is one ready-made). One
      plan tree uses one callback type.
    """

    __slots__ = ("attributes", "fields", "_compiled", "__weakref__")

    def __init__(self, fields: Mapping[str, Any] | None = None, *,
                 attributes: Iterable[str] = (), **more: Any) -> None:
        self.attributes: tuple[str, ...]
        self.fields: _Fields
        object.__setattr__(self, "attributes", _attribute_names(attributes))
        merged = _field_mapping(fields)
        merged.update(more)
        for name in merged:
            _check_name(name)
        if len(set(self.attributes)) != len(self.attributes):
            raise ValueError("an attribute is listed twice")
        clash = set(self.attributes) & set(merged)
        if clash:
            raise ValueError(f"{sorted(clash)[0]!r} is both an attribute and a field")
        object.__setattr__(self, "fields", _Fields(merged))
        self._compiled: _Compiled | None
        object.__setattr__(self, "_compiled", None)

    def __repr__(self) -> str:
        return f"Plan(attributes={list(self.attributes)!r}, fields={dict(self.fields)!r})"

    def __reduce__(self) -> Any:
        # The compiled form holds engine handles: a copy compiles its own.
        # The fields travel as state, set after the copy exists, so that a
        # recursive plan (one that holds itself) pickles too.
        return (_empty_plan, (), (self.attributes, dict(self.fields)))

    def __setstate__(self, state: tuple[tuple[str, ...], dict[str, Any]]) -> None:
        if self._compiled is not None or self.fields:
            raise AttributeError("Plan objects are immutable: build a new Plan")
        object.__setattr__(self, "attributes", _attribute_names(state[0]))
        object.__setattr__(self, "fields", _Fields(state[1]))

    def compiled(self) -> _Compiled:
        compiled = self._compiled
        if compiled is None:
            compiled = _Compiled(self)
            object.__setattr__(self, "_compiled", compiled)
        return compiled


class _Fields(dict[str, Any]):
    """A plan's fields: filled in until the plan's first use (the way to
    build a recursive plan: ``p.fields["child"] = [p]``), read-only from then
    on, as the compiled plan would not see a change. Every value is checked
    and kept in a form the caller cannot change (a list field becomes a
    frozen copy)."""

    __slots__ = ("frozen",)

    def __init__(self, fields: dict[str, Any]) -> None:
        super().__init__({name: _frozen_spec(name, spec) for name, spec in fields.items()})
        self.frozen = False

    def _refuse(self, *args: Any, **kwargs: Any) -> None:
        if self.frozen:
            raise TypeError("a plan's fields cannot change after its first use (it is "
                            "compiled then): build a new Plan with the fields you want")

    def __setitem__(self, name: str, spec: Any) -> None:
        self._refuse()
        _check_name(name)
        super().__setitem__(name, _frozen_spec(name, spec))

    def __delitem__(self, name: str) -> None:
        self._refuse()
        super().__delitem__(name)

    def __ior__(self, other: Any) -> Any:  # type: ignore[misc]
        self._refuse()
        self.update(other)
        return self

    def update(self, *args: Any, **kwargs: Any) -> None:
        self._refuse()
        for name, spec in dict(*args, **kwargs).items():
            self[name] = spec

    def setdefault(self, name: str, spec: Any = None) -> Any:
        self._refuse()
        if name not in self:
            self[name] = spec
        return self[name]

    def pop(self, *args: Any) -> Any:
        self._refuse()
        return super().pop(*args)

    def popitem(self) -> Any:
        self._refuse()
        return super().popitem()

    def clear(self) -> None:
        self._refuse()
        super().clear()


def _empty_plan() -> Plan:
    """A plan without fields, for unpickling to fill in (``__setstate__``)."""
    return Plan()


class _FrozenList(list[Any]):
    """A list field (``[T]`` or ``[Plan]``) as the plan keeps it: a copy of
    the caller's list that refuses changes, so that changing the caller's
    list, or this one, cannot leave a compiled plan stale."""

    __slots__ = ()

    def __init__(self, items: Iterable[Any] = ()) -> None:
        if self:
            _refuse_list_change()
        super().__init__(items)

    def __reduce__(self) -> Any:
        return (_FrozenList, (list(self),))


def _refuse_list_change(*args: Any, **kwargs: Any) -> Any:
    raise TypeError("a plan's list field cannot change: build a new Plan with the fields you want")


for _name in ("__setitem__", "__delitem__", "__iadd__", "__imul__", "append", "extend",
              "insert", "pop", "remove", "clear", "sort", "reverse"):
    setattr(_FrozenList, _name, _refuse_list_change)
del _name


def _frozen_spec(name: str, spec: Any) -> Any:
    """``spec`` checked, in the form a plan keeps: ``Text``/``Tokens`` given
    as classes become instances, lists become frozen copies."""
    if spec is Text or spec is Tokens:
        spec = spec()
    if isinstance(spec, list) and not isinstance(spec, _FrozenList):
        spec = _FrozenList(spec)
    _check_spec(name, spec)
    return spec


def _check_name(name: Any) -> None:
    if not isinstance(name, str) or not name:
        raise TypeError(f"names must be non-empty str, not {name!r}")
    if "\0" in name:
        # no XML name holds NUL: the plan could never match it
        raise ValueError(f"malformed name {name!r}")


def _attribute_names(attributes: Any) -> tuple[str, ...]:
    if isinstance(attributes, str):
        attributes = [attributes]
    if isinstance(attributes, (bytes, bytearray, Mapping)) or not isinstance(attributes, Iterable):
        raise TypeError("attributes must be an iterable of str (attribute names), not "
                        f"{type(attributes).__name__}")
    names = tuple(attributes)
    for name in names:
        _check_name(name)
    return names


def _field_mapping(fields: Any) -> dict[str, Any]:
    if fields is None:
        return {}
    if isinstance(fields, Mapping):
        return dict(fields)
    try:
        return dict(fields)  # (name, type) pairs
    except (TypeError, ValueError):
        raise TypeError("fields must be a mapping of field names to field types, not "
                        f"{type(fields).__name__}") from None


def _check_spec(name: str, spec: Any) -> None:
    if _is_leaf(spec) or isinstance(spec, (Plan, Text, Tokens, Wrapped)):
        return
    if isinstance(spec, list):
        if len(spec) == 1 and (_is_leaf(spec[0]) or isinstance(spec[0], Plan)):
            return
        raise TypeError(f"field {name!r}: a list field is [str|int|float|bool|Plan]")
    if isinstance(spec, type) and spec not in (Plan, Wrapped):
        return  # callback type
    raise TypeError(f"field {name!r}: unsupported field type {spec!r}")


# ------------------------------------------------------------------ compiling

def _encode_name(name: str) -> bytes:
    raw = name.encode("utf-8")
    return str(len(raw)).encode() + b":" + raw


class _Builder:
    """Numbers the plans of a tree and lays out their rows."""

    def __init__(self) -> None:
        self.plans: list[Plan] = []
        self.index: dict[int, int] = {}
        self.rows: list[list[tuple[str, int, int, int, int]]] = []
        self.callback: type | None = None

    def add(self, plan: Plan) -> int:
        known = self.index.get(id(plan))
        if known is not None:
            return known
        at = len(self.plans)
        self.index[id(plan)] = at
        self.plans.append(plan)
        self.rows.append([])
        self.rows[at] = [self.row(name, spec) for name, spec in plan.fields.items()]
        return at

    def row(self, name: str, spec: Any) -> tuple[str, int, int, int, int]:
        _check_spec(name, spec)  # fields may have been added after construction
        if _is_leaf(spec):
            return (name, _TEXT, -1, _TAGS[spec], 0)
        if isinstance(spec, Plan):
            return (name, _RECORDS, self.add(spec), 0, _FIRST_ONLY)
        if isinstance(spec, list):
            item = spec[0]
            if isinstance(item, Plan):
                return (name, _RECORDS, self.add(item), 0, 0)
            return (name, _TEXTS, -1, _TAGS[item], 0)
        if isinstance(spec, Text):
            return (name, _OWN_TEXT, -1, _TAGS[spec.type_], 0)
        if isinstance(spec, Tokens):
            return (name, _TOKENS, -1, _TAGS[spec.type_], 0)
        if isinstance(spec, Wrapped):
            if isinstance(spec.item, Plan):
                return (name, _WRAPPED, self.add(spec.item), 0, 0)
            return (name, _WRAPPED, -1, _TAGS[spec.item], 0)
        if self.callback is not None and self.callback is not spec:
            raise ValueError(
                f"field {name!r}: one plan uses one callback type "
                f"({self.callback.__name__} already, not {spec.__name__})")
        self.callback = spec
        return (name, _CALLBACK, -1, 0, 0)

    def encode(self) -> bytes:
        out = [f"{len(self.plans)}\n".encode()]
        for plan, rows in zip(self.plans, self.rows):
            out.append(f"{len(plan.attributes)} {len(rows)}\n".encode())
            out.extend(_encode_name(a) + b"\n" for a in plan.attributes)
            for name, kind, child, tag, flags in rows:
                out.append(_encode_name(name) + f" {kind} {child} {tag} {flags}\n".encode())
        return b"".join(out)

    def layout(self) -> list[tuple[tuple[str, ...], list[tuple[str, int, int, int, int]]]]:
        """Every plan of the tree with its rows, flags included, for the
        edit module's conversion."""
        return [(plan.attributes, list(rows)) for plan, rows in zip(self.plans, self.rows)]

    def description(self) -> list[tuple[tuple[str, ...], list[tuple[str, int, int, int]]]]:
        return [(plan.attributes, [r[:4] for r in rows]) for plan, rows in zip(self.plans, self.rows)]


def _finisher(plan: Plan, memo: dict[int, Callable[[dict], dict]]) -> Callable[[dict], dict]:
    """A function turning the module's {"attributes", "children"} record of
    ``plan`` into the flat dict the user sees."""
    known = memo.get(id(plan))
    if known is not None:
        return known
    posts: list[tuple[str, Callable[[Any], Any]]] = []

    def finish(raw: dict) -> dict:
        out = raw["attributes"]
        children = raw["children"]
        for key, post in posts:
            children[key] = post(children[key])
        out.update(children)
        return out

    memo[id(plan)] = finish
    for name, spec in plan.fields.items():
        if isinstance(spec, Plan):
            posts.append((name, _one(_finisher(spec, memo))))
        elif isinstance(spec, list) and isinstance(spec[0], Plan):
            posts.append((name, _many(_finisher(spec[0], memo))))
        elif isinstance(spec, Wrapped) and isinstance(spec.item, Plan):
            inner = _finisher(spec.item, memo)
            posts.append((name, lambda items, f=inner: [f(i) for i in items]))
    return finish


def _one(finish: Callable[[dict], dict]) -> Callable[[Any], Any]:
    return lambda value: None if value is None else finish(value)


def _many(finish: Callable[[dict], dict]) -> Callable[[Any], Any]:
    def post(value: Any) -> list[dict]:
        # The module gives one record as a dict and several as a list.
        if value is None:
            return []
        if isinstance(value, dict):
            return [finish(value)]
        return [finish(v) for v in value]
    return post


_edit.plan_bind(ext.plan_direct_table(), KorvithError, CLOSED_MESSAGE, Plan)


class _Compiled:
    """A plan compiled for the engine.

    ``direct`` is the edit module's plan capsule: it owns the engine plan
    (``handle``, valid while this object lives) and converts its results
    into the final dicts. ``shape`` and ``finish`` are the accelerator
    module's conversion of the same results, kept for callers of
    ``plan_convert``."""

    def __init__(self, plan: Plan) -> None:
        builder = _Builder()
        builder.add(plan)
        error = ctypes.create_string_buffer(512)
        encoded = builder.encode()
        handle = ext.plan_compile(encoded, len(encoded), error, len(error))
        if not handle:
            raise ValueError("plan rejected by the engine: " + error.value.decode("utf-8", "replace"))
        callback = builder.callback or Located
        try:
            self.direct = _edit.plan_prepare(handle, builder.layout(), callback)
        except BaseException:
            ext.plan_free(handle)
            raise
        self.handle: int = handle
        self.shape = _accel.plan_shape_build(builder.description(), callback)
        self.finish = _finisher(plan, {})
        for compiled in builder.plans:  # every plan of the tree, as this one uses them all
            compiled.fields.frozen = True


def _check_plan(plan: Any) -> None:
    if not isinstance(plan, Plan):
        raise TypeError(f"plan must be a korvith.Plan, not {type(plan).__name__}")


if TYPE_CHECKING:
    def extract(element: Any, plan: Plan) -> dict[str, Any]: ...
else:
    # One native call (korvith/native_edit/src/extract.cpp): it checks that
    # ``plan`` is a Plan (compiling it on first use) and that ``element`` is
    # a live korvith Element (TypeError for anything else, KorvithError
    # once its document is closed), evaluates the plan and builds the dict.
    extract = _edit.extract


# ------------------------------------------------------------------ streaming

def _open_iterator(source: Any, flags: int) -> int:
    if isinstance(source, (str, os.PathLike)):
        return open_iterator(os.fspath(source), None, flags)
    if isinstance(source, (bytes, bytearray, memoryview)):
        return open_iterator(None, bytes(source), flags)
    raise TypeError("iterextract source must be a path or bytes")


def iterextract(source: Any, tag: str, plan: Plan, **options: bool) -> Iterator[dict]:
    """Yield ``extract(element, plan)`` for every element named ``tag`` of
    ``source`` (a path or bytes), reading in chunks: each record's subtree is
    freed once it is read, so memory stays flat for input of any size.

    Every matching element is yielded, also one nested in another match
    (inner first, as end tags arrive); the outer one still sees its inner
    ones. A parse error raises :class:`ParseError` after the records before
    it. ``options`` are the parse keywords of ``korvith.parse`` (``huge``...).
    """
    if not isinstance(tag, str) or not tag:
        raise TypeError("tag must be a non-empty str")
    if "\0" in tag:
        # the engine takes the tag as a C string: "b\0x" would match <b>
        raise ValueError(f"malformed tag {tag!r}")
    _check_plan(plan)
    compiled = plan.compiled()
    iterator = _open_iterator(source, parse_flags(options))
    stream = ext.plan_stream_new(compiled.handle, iterator, tag.encode("utf-8"))
    if not stream:
        ext.iterparse_free(iterator)
        raise ValueError(f"malformed tag {tag!r}")
    convert, direct = _edit.plan_convert, compiled.direct
    try:
        while True:
            root = ext.plan_stream_next(stream)
            if not root:
                break
            yield convert(root, direct)
        raise_iterparse_error(iterator)
    finally:
        ext.plan_stream_free(stream)
        ext.iterparse_free(iterator)
