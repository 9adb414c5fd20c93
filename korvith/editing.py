"""Building and editing trees.

Construction (:func:`new_element` behind ``korvith.Element(tag, ...)``,
:func:`SubElement`, ``makeelement``), editing methods installed on
:class:`korvith.Element` (``set``, ``attrs``, ``tag``/``text``/``tail``
setters, ``append``, ``insert``, ``remove``, ...), comments and processing
instructions, copies, pickling and ``Document.write``. docs/api.md
describes the behaviour and the choices; this module only implements them.

Every edit goes the same way: convert and validate every argument, then
read the addresses of the elements involved (which checks that their
documents are open) and call the engine with no Python code in between.
The engine calls keep the GIL, so no other thread runs during one. After
the engine call the wrappers are brought up to date: cached ``tag`` and
``attrib`` of the edited node are dropped, and the wrappers of nodes that
moved to another document are moved to that document's registry.
"""

from __future__ import annotations

import ctypes
import os
import re
from collections.abc import Iterable, Iterator, Mapping, MutableMapping
from ctypes import POINTER, c_char_p, c_int, c_size_t, c_void_p
from typing import Any, Callable

from . import _korvithaccel as _accel
from . import _korvithedit as _wrappers
from ._engine import CLOSED_MESSAGE, POISON, address_of, ext, last_error
from ._liveness import ELEMENT, NODE, OTHER, run, run_pair
from .document import Document
from .errors import KorvithError

Element = _accel.Element

APPEND, BEFORE, AFTER = 0, 1, 2
_COMMENT, _PI = 1, 2


# --------------------------------------------------------------- engine

# Every edit reads or changes a tree a Python object owns: the calls keep
# the GIL (declared in _engine.EXPORTS).
_new_element = ext.edit_new_element
_new_node = ext.edit_new_node
_document_of = ext.edit_document_of
_node_content = ext.edit_node_content
_set_content = ext.edit_set_content
_set_tag = ext.edit_set_tag
_set_attribute = ext.edit_set_attribute
_remove_attribute = ext.edit_remove_attribute
_set_text = ext.edit_set_text
_set_tail = ext.edit_set_tail
_attach = ext.edit_attach
_detach = ext.edit_detach
_clear_node = ext.edit_clear
_copy_node = ext.edit_copy
_subtree = ext.edit_subtree
_is_ancestor = ext.edit_is_ancestor
_OWN_SUBTREE = -2


def _refused(what: str) -> KorvithError:
    err = last_error()
    return KorvithError(f"{what}: {err[0]}" if err else what)


# --------------------------------------------------------------- edit counter

def _edited() -> None:
    """Counts one structural edit (see guarded_iter)."""
    _wrappers.bump()


# --------------------------------------------------------------- validation

_NAME_START = ("A-Z_a-z\u00c0-\u00d6\u00d8-\u00f6\u00f8-\u02ff\u0370-\u037d\u037f-\u1fff"
               "\u200c-\u200d\u2070-\u218f\u2c00-\u2fef\u3001-\ud7ff\uf900-\ufdcf"
               "\ufdf0-\ufffd\U00010000-\U000effff")
_NAME_MORE = _NAME_START + r"\-.0-9\u00b7\u0300-\u036f\u203f-\u2040"
_NCNAME = re.compile(f"[{_NAME_START}][{_NAME_MORE}]*")
_BAD_CHAR = re.compile("[^\t\n\r\u0020-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _check_ncname(name: object, what: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what} must be str, not {type(name).__name__}")
    if not _NCNAME.fullmatch(name):
        raise ValueError(f"invalid {what} {name!r}")
    return name


def check_text(value: object, what: str = "text", none: bool = True) -> bytes | None:
    """UTF-8 of a text value; None stays None when allowed. Characters
    XML cannot hold (control characters, NUL, lone surrogates) raise."""
    if value is None and none:
        return None
    if not isinstance(value, str):
        kinds = "str or None" if none else "str"
        raise TypeError(f"{what} must be {kinds}, not {type(value).__name__}")
    bad = _BAD_CHAR.search(value)
    if bad:
        raise ValueError(f"{what} contains a character XML cannot hold: "
                         f"{bad.group()!r} at index {bad.start()}")
    return value.encode("utf-8")


def split_name(name: object, what: str = "tag") -> tuple[bytes | None, bytes]:
    """(namespace URI or None, local name) of ``"local"`` or ``"{uri}local"``,
    both UTF-8 encoded; raises for anything that is not a valid name."""
    if not isinstance(name, str):
        raise TypeError(f"{what} must be str, not {type(name).__name__}")
    uri: str | None = None
    local = name
    if name.startswith("{"):
        end = name.find("}")
        if end < 0:
            raise ValueError(f"invalid {what} {name!r}")
        uri, local = name[1:end], name[end + 1:]
        if _BAD_CHAR.search(uri) or "{" in uri:
            raise ValueError(f"invalid namespace in {what} {name!r}")
    if not _NCNAME.fullmatch(local):
        raise ValueError(f"invalid {what} {name!r}")
    return (uri.encode("utf-8") if uri else None), local.encode("utf-8")


def _nsmap_arrays(nsmap: Mapping[str | None, str] | None) -> tuple[Any, Any, int]:
    if nsmap is None:
        return None, None, 0
    if not isinstance(nsmap, Mapping):
        raise TypeError(f"nsmap must be a mapping, not {type(nsmap).__name__}")
    items = list(nsmap.items())
    prefixes = (c_char_p * max(len(items), 1))()
    uris = (c_char_p * max(len(items), 1))()
    for i, (prefix, uri) in enumerate(items):
        if prefix is not None:
            _check_ncname(prefix, "namespace prefix")
            if prefix.lower().startswith("xml"):
                raise ValueError(f"reserved namespace prefix {prefix!r}")
            prefixes[i] = prefix.encode("utf-8")
        encoded = check_text(uri, "namespace URI", none=False)
        if not encoded:
            raise ValueError(f"empty namespace URI for prefix {prefix!r}")
        uris[i] = encoded
    return prefixes, uris, len(items)


def _attribute_items(attrib: Mapping[str, str] | None,
                     extra: Mapping[str, str]) -> list[tuple[bytes | None, bytes, bytes]]:
    merged: dict[Any, Any] = {}
    if attrib is not None:
        if not isinstance(attrib, Mapping):
            raise TypeError(f"attrib must be a mapping, not {type(attrib).__name__}")
        merged.update(dict(attrib.items()))
    merged.update(extra)
    out = []
    for key, value in merged.items():
        uri, local = split_name(key, "attribute name")
        encoded = check_text(value, f"value of attribute {key!r}", none=False)
        assert encoded is not None
        out.append((uri, local, encoded))
    return out


# --------------------------------------------------------------- documents and wrappers

# The accelerator's own field readers: a subclass of Element cannot
# redirect them, so the engine only ever sees addresses the module holds.
_RAW = Element.__dict__["_raw"]
_DOCUMENT = Element.__dict__["_document"]


def _document_field(wrapper: Any) -> Any:
    return _DOCUMENT.__get__(wrapper, Element)


def _address(node: Any) -> int:
    raw = _RAW.__get__(node, Element)
    if raw == POISON:
        raise KorvithError(CLOSED_MESSAGE)
    if raw is None:
        raise KorvithError("element has no engine node")
    return int(raw)


def _wrapper(node: object, what: str = "element") -> Any:
    """The module wrapper behind an Element, Comment or ProcessingInstruction."""
    if isinstance(node, Element):
        return node
    if isinstance(node, _Leaf):
        return _leaf_wrapper(node)
    raise TypeError(f"{what} must be an Element, Comment or ProcessingInstruction, "
                    f"not {type(node).__name__}")


_STREAMED_MESSAGE = ("elements of a streamed (iterparse) document: only attributes, the "
                     "tag and the text can change while the input is read; copy the "
                     "element (copy.deepcopy) to change more")


def _document(wrapper: Any) -> Document:
    """The wrapper's document when its structure (or a tail) may change:
    the parser of a streamed document still holds pointers into its tree."""
    doc = _document_field(wrapper)
    if type(doc) is not Document:
        raise KorvithError(_STREAMED_MESSAGE)
    return doc


def _forget(wrapper: Any, address: int) -> None:
    """Drops the cached tag and attributes of every wrapper of the node (a
    streamed document spreads its wrappers over several registries)."""
    for registry in _registries(wrapper):
        _wrappers.forget(registry, address)


def _registries(wrapper: Any) -> list[Any]:
    doc = _document_field(wrapper)
    if type(doc) is Document:
        return [doc._accel_registry]
    if type(doc) in _OWN_DOCUMENTS:  # a streamed document's scope
        return [doc._accel_registry, *doc._owner._registries]
    return []


def _subtree_addresses(wrapper: Any) -> set[int]:
    count = run("element", wrapper, ELEMENT, _subtree, NODE, None, 0)
    buf = (c_void_p * max(count, 1))()
    got = run("element", wrapper, ELEMENT, _subtree, NODE, buf, count)
    return {int(buf[i]) for i in range(min(got, count)) if buf[i]}


def _wrap_new_document(raw: int) -> Document:
    return Document._adopt(_document_of(raw), _accel.new_registry())


def _wrap(raw: int, document: Any) -> Any:
    return _accel.create(raw, None, document)


_OWN_SUBTREE_MESSAGE = "cannot insert an element into its own subtree"


def _is_ancestor_or_self(candidate: Any, node: Any) -> bool:
    return bool(run_pair("element", candidate, "node", node, _is_ancestor, NODE, OTHER))


def _check_movable(node: Any, parent: Any) -> Any:
    """Type, liveness and ancestry checks of a node about to go under
    ``parent``; returns the node's module wrapper."""
    wrapper = _wrapper(node)
    _address(wrapper)
    _document(wrapper)
    if isinstance(node, Element) and _is_ancestor_or_self(wrapper, parent):
        raise ValueError(_OWN_SUBTREE_MESSAGE)
    return wrapper


def _move(wrapper: Any, anchor: Any, where: int) -> None:
    """Moves the node of ``wrapper`` (with its tail) next to ``anchor``."""
    source = _document(wrapper)
    target = _document(anchor)
    moving = _subtree_addresses(wrapper) if source is not target else None
    result = run_pair("element", wrapper, "anchor", anchor, _attach, NODE, OTHER, where)
    if result == _OWN_SUBTREE:
        raise ValueError(_OWN_SUBTREE_MESSAGE)
    if result != 0:
        raise _refused("cannot move the node")
    _edited()
    if moving is not None:
        _wrappers.adopt(source._accel_registry, target._accel_registry, target, moving)


# --------------------------------------------------------------- one-call edits

# The common cases take one C call each (korvith/native_edit/src/build.cpp):
# it converts and checks the arguments, checks liveness, calls the engine
# and does the bookkeeping below (edit count, cache forgetting, wrapper
# adoption). It declines -- returns None or False having changed nothing --
# for any argument the Python path here must handle or refuse, so errors
# and their messages always come from this module.

_wrappers.build_bind(Element, _refused, address_of(_new_element),
                     address_of(_document_of), address_of(_attach),
                     address_of(_set_attribute), address_of(_set_text),
                     address_of(_set_tail), address_of(_is_ancestor),
                     address_of(_subtree))
_fast_new_element: Callable[[Any, Any, dict[str, Any]], Any] = _wrappers.new_element
_fast_sub_element: Callable[[Any, Any, Any, dict[str, Any]], Any] = _wrappers.sub_element
_fast_assign: Callable[[Any, str, Any], bool] = _wrappers.assign
_fast_set: Callable[[Any, Any, Any], bool] = _wrappers.set_attribute
_fast_append: Callable[[Any, Any], bool] = _wrappers.append


# --------------------------------------------------------------- construction

def new_element(tag: Any, attrib: Mapping[str, str] | None = None,
                nsmap: Mapping[str | None, str] | None = None, **extra: str) -> Element:
    """A new element, the root of a document of its own until it is
    attached somewhere."""
    if nsmap is None:
        made = _fast_new_element(tag, attrib, extra)
        if made is not None:
            return made
    return _make(None, tag, attrib, nsmap, extra)


def _make(context: Element | None, tag: Any, attrib: Mapping[str, str] | None,
          nsmap: Mapping[str | None, str] | None, extra: Mapping[str, str]) -> Element:
    """A new element; with a context, unattached in the context's document
    and then appended to it (attributes are set once it is in place, so that
    their namespaces can use the declarations in scope there)."""
    uri, local = split_name(tag)
    prefixes, uris, count = _nsmap_arrays(nsmap)
    items = _attribute_items(attrib, extra)
    if context is None:
        raw = _new_element(None, uri, local, prefixes, uris, count)
        if not raw:
            raise _refused("cannot create the element")
        element = _wrap(raw, _wrap_new_document(raw))
    else:
        document = _document(context)
        raw = run("context", context, ELEMENT, _new_element, NODE, uri, local, prefixes, uris,
                  count)
        if not raw:
            raise _refused("cannot create the element")
        element = _wrap(raw, document)
        _move(element, context, APPEND)
    for a_uri, a_local, value in items:
        if run("element", element, ELEMENT, _set_attribute, NODE, a_uri, a_local, value) != 0:
            raise _refused("cannot set the attribute")
    return element


def SubElement(parent: Element, tag: Any, attrib: Mapping[str, str] | None = None,
               nsmap: Mapping[str | None, str] | None = None, **extra: str) -> Element:
    """A new element appended to ``parent``; its namespace prefix comes from
    ``nsmap``, else from the declarations in scope at ``parent``, else a
    generated ``ns0``-style one."""
    if nsmap is None:
        made = _fast_sub_element(parent, tag, attrib, extra)
        if made is not None:
            return made
    if not isinstance(parent, Element):
        raise TypeError(f"parent must be an Element, not {type(parent).__name__}")
    return _make(parent, tag, attrib, nsmap, extra)


def _element_new(cls: type, *args: Any, **kwargs: Any) -> Any:
    # Element() without arguments keeps making an empty wrapper, as the
    # module always did; with a tag it builds a new element.
    if not args and not kwargs:
        return object.__new__(cls)
    return new_element(*args, **kwargs)


# --------------------------------------------------------------- comments and PIs

class _Leaf:
    """A comment or processing instruction. It holds a registered module
    wrapper of its node, so that moves and closing keep it truthful."""

    __slots__ = ("_el",)
    _el: Any
    _kind = 0

    def __init__(self, *args: Any) -> None:
        pass  # everything happens in __new__

    @classmethod
    def _from_wrapper(cls, wrapper: Any) -> Any:
        obj = object.__new__(cls)
        obj._el = wrapper
        return obj

    @property
    def text(self) -> str:
        value = run("node", self._el, ELEMENT, _node_content, NODE)
        return value.decode("utf-8") if value is not None else ""

    @text.setter
    def text(self, value: Any) -> None:
        encoded = _check_leaf_text(type(self), value)
        if run("node", self._el, ELEMENT, _set_content, NODE, encoded) != 0:
            raise _refused("cannot set the text")

    @property
    def tail(self) -> str | None:
        return self._el.tail

    @tail.setter
    def tail(self, value: Any) -> None:
        _set_tail_of(self._el, value)

    def getparent(self) -> Element | None:
        return self._el.getparent()

    def tobytes(self, indent: int = 0, declaration: bool = False,
                encoding: str | None = None) -> bytes:
        """The node as XML (``indent`` and ``declaration`` change nothing
        for a single comment or processing instruction)."""
        data = _leaf_bytes(self)
        return data.decode("utf-8").encode(encoding) if encoding else data

    def __copy__(self) -> Any:
        return _copy_leaf(self)

    def __deepcopy__(self, memo: Any) -> Any:
        return _copy_leaf(self)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Leaf) and self._el == other._el

    def __hash__(self) -> int:
        return hash(self._el)


class Comment(_Leaf):
    """``korvith.Comment(text)``: a comment node to append or insert."""

    __slots__ = ()
    _kind = _COMMENT

    def __new__(cls, text: str | None = None) -> Comment:
        encoded = _check_leaf_text(cls, "" if text is None else text)
        raw = _new_node(None, _COMMENT, None, encoded)
        if not raw:
            raise _refused("cannot create the comment")
        return cls._from_wrapper(_wrap(raw, _wrap_new_document(raw)))

    @property
    def tag(self) -> type:
        return Comment

    def __repr__(self) -> str:
        return f"<!--{self.text}-->"


class ProcessingInstruction(_Leaf):
    """``korvith.ProcessingInstruction(target, text=None)``."""

    __slots__ = ()
    _kind = _PI

    def __new__(cls, target: str, text: str | None = None) -> ProcessingInstruction:
        name = _check_ncname(target, "processing instruction target")
        if name.lower() == "xml":
            raise ValueError("'xml' is reserved and cannot be a processing instruction target")
        encoded = _check_leaf_text(cls, text) if text is not None else None
        raw = _new_node(None, _PI, name.encode("utf-8"), encoded)
        if not raw:
            raise _refused("cannot create the processing instruction")
        return cls._from_wrapper(_wrap(raw, _wrap_new_document(raw)))

    @property
    def tag(self) -> type:
        return ProcessingInstruction

    @property
    def target(self) -> str:
        return _accel_name(self._el)

    def __repr__(self) -> str:
        return f"<?{self.target} {self.text}?>"


PI = ProcessingInstruction
_LEAF_SLOT = _Leaf.__dict__["_el"]


def _leaf_wrapper(leaf: _Leaf) -> Any:
    """The module wrapper a comment or PI holds (read through the slot, so
    a subclass cannot substitute another object)."""
    wrapper = _LEAF_SLOT.__get__(leaf, _Leaf)
    if type(wrapper) is not Element:
        raise TypeError("broken comment or processing instruction object")
    return wrapper


def _accel_name(wrapper: Any) -> str:
    tag = wrapper.tag
    return tag if isinstance(tag, str) else ""


def _check_leaf_text(cls: type, value: Any) -> bytes:
    encoded = check_text(value, "text", none=False)
    assert encoded is not None
    if issubclass(cls, Comment) and (b"--" in encoded or encoded.endswith(b"-")):
        raise ValueError("comment text cannot contain '--' or end with '-'")
    if issubclass(cls, ProcessingInstruction) and b"?>" in encoded:
        raise ValueError("processing instruction text cannot contain '?>'")
    return encoded


def _leaf_bytes(leaf: _Leaf) -> bytes:
    if isinstance(leaf, Comment):
        return f"<!--{leaf.text}-->".encode("utf-8")
    assert isinstance(leaf, ProcessingInstruction)
    text = leaf.text
    return (f"<?{leaf.target} {text}?>" if text else f"<?{leaf.target}?>").encode("utf-8")


def _copy_leaf(leaf: _Leaf) -> Any:
    raw = run("node", leaf._el, ELEMENT, _copy_node, NODE)
    if not raw:
        raise _refused("cannot copy the node")
    return type(leaf)._from_wrapper(_wrap(raw, _wrap_new_document(raw)))


# --------------------------------------------------------------- element methods: names and text

def _set(self: Element, key: str, value: str) -> None:
    """Sets attribute ``key`` (``"name"`` or ``"{uri}name"``) to ``value``."""
    if _fast_set(self, key, value):
        return
    uri, local = split_name(key, "attribute name")
    encoded = check_text(value, f"value of attribute {key!r}", none=False)
    address = _address(self)
    if run("element", self, ELEMENT, _set_attribute, NODE, uri, local, encoded) != 0:
        raise _refused("cannot set the attribute")
    _forget(self, address)


def _unset(self: Element, key: str) -> bool:
    """Removes attribute ``key``; True when there was one."""
    uri, local = split_name(key, "attribute name")
    address = _address(self)
    result = run("element", self, ELEMENT, _remove_attribute, NODE, uri, local)
    if result < 0:
        raise _refused("cannot remove the attribute")
    _forget(self, address)
    return result == 0


def _put_tag(self: Element, value: Any) -> None:
    uri, local = split_name(value)
    address = _address(self)
    if run("element", self, ELEMENT, _set_tag, NODE, uri, local) != 0:
        raise _refused("cannot set the tag")
    _forget(self, address)


def _put_text(self: Element, value: Any) -> None:
    encoded = check_text(value)
    if run("element", self, ELEMENT, _set_text, NODE, encoded) != 0:
        raise _refused("cannot set the text")


def _set_tail_of(wrapper: Any, value: Any) -> None:
    encoded = check_text(value, "tail")
    _document(wrapper)
    if run("element", wrapper, ELEMENT, _set_tail, NODE, encoded) != 0:
        raise _refused("cannot set the tail")


class Attrs(MutableMapping[str, str]):
    """Live, writable view of an element's attributes: ``el.attrs["k"] = "v"``,
    ``del el.attrs["k"]``, ``el.attrs.update(...)``. Reads and writes go
    to the element each time; ``el.attrib`` stays a read-only snapshot."""

    __slots__ = ("_el",)

    def __init__(self, element: Element) -> None:
        self._el = element

    def __getitem__(self, key: str) -> str:
        split_name(key, "attribute name")
        value = self._el.get(key)
        if value is None:
            raise KeyError(key)
        return str(value)

    def __setitem__(self, key: str, value: str) -> None:
        _set(self._el, key, value)

    def __delitem__(self, key: str) -> None:
        if not _unset(self._el, key):
            raise KeyError(key)

    def __iter__(self) -> Iterator[str]:
        return iter(self._el.keys())

    def __len__(self) -> int:
        return len(self._el.keys())

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and key in self._el.keys()

    def __repr__(self) -> str:
        return repr(dict(self._el.items()))


def _attrs(self: Element) -> Attrs:
    return Attrs(self)


# --------------------------------------------------------------- element methods: structure

def _children_of(self: Element) -> list[Element]:
    return list(_accel.children(self))


def _append(self: Element, element: Any) -> None:
    """Adds ``element`` (with its tail) as the last child; an element that
    has a parent, in this document or another, moves here."""
    if _fast_append(self, element):
        return
    wrapper = _check_movable(element, self)
    _move(wrapper, self, APPEND)


def _extend(self: Element, elements: Iterable[Any]) -> None:
    if not isinstance(elements, Iterable):
        raise TypeError(f"elements must be an iterable of elements, not {type(elements).__name__}")
    items = list(elements)
    wrappers = [_check_movable(e, self) for e in items]
    for wrapper in wrappers:
        _move(wrapper, self, APPEND)


def _insert(self: Element, index: Any, element: Any) -> None:
    """Inserts ``element`` before the child at ``index`` (list rules: out of
    range appends or prepends)."""
    position = _index(index)
    wrapper = _check_movable(element, self)
    kids = _children_of(self)
    n = len(kids)
    if position < 0:
        position = max(n + position, 0)
    if position >= n:
        _move(wrapper, self, APPEND)
    else:
        _move(wrapper, kids[position], BEFORE)


def _index(index: Any) -> int:
    if isinstance(index, bool) or not isinstance(index, int):
        try:
            return int(index.__index__())
        except AttributeError:
            raise TypeError(f"index must be an int, not {type(index).__name__}") from None
    return index


def _remove(self: Element, element: Any) -> None:
    """Takes a child out (with its tail). It stays a valid element, in this
    document, until the document is closed."""
    wrapper = _wrapper(element)
    parent = wrapper.getparent()
    if parent is None or parent != self:
        raise ValueError("element is not a child of this element")
    _document(wrapper)
    if run("element", wrapper, ELEMENT, _detach, NODE) != 0:
        raise _refused("cannot remove the element")
    _edited()


def _clear(self: Element, keep_tail: bool = False) -> None:
    """Removes attributes, text, children and (unless ``keep_tail``) the tail."""
    keep = bool(keep_tail)
    _document(self)
    address = _address(self)
    if run("element", self, ELEMENT, _clear_node, NODE, int(keep)) != 0:
        raise _refused("cannot clear the element")
    _edited()
    _forget(self, address)


def _replace(self: Element, old: Any, new: Any) -> None:
    old_wrapper = _wrapper(old, "old")
    parent = old_wrapper.getparent()
    if parent is None or parent != self:
        raise ValueError("element is not a child of this element")
    new_wrapper = _check_movable(new, self)
    if new_wrapper == old_wrapper:
        return
    _document(old_wrapper)
    _move(new_wrapper, old_wrapper, BEFORE)
    if run("element", old_wrapper, ELEMENT, _detach, NODE) != 0:
        raise _refused("cannot remove the element")
    _edited()


def _sibling(self: Element, element: Any, where: int) -> None:
    parent = self.getparent()
    if parent is None:
        raise TypeError("a root element (or one without a parent) cannot have siblings")
    wrapper = _check_movable(element, parent)
    _move(wrapper, self, where)


def _addnext(self: Element, element: Any) -> None:
    """Puts ``element`` right after this element and its tail."""
    _sibling(self, element, AFTER)


def _addprevious(self: Element, element: Any) -> None:
    """Puts ``element`` right before this element."""
    _sibling(self, element, BEFORE)


def _setitem(self: Element, key: Any, value: Any) -> None:
    if isinstance(key, slice):
        _set_slice(self, key, value)
        return
    position = _index(key)
    kids = _children_of(self)
    if position < 0:
        position += len(kids)
    if not 0 <= position < len(kids):
        raise IndexError("child index out of range")
    _replace(self, kids[position], value)


def _set_slice(self: Element, key: slice, values: Any) -> None:
    items = list(values)
    kids = _children_of(self)
    old = kids[key]
    wrappers = [_check_movable(v, self) for v in items]
    start, stop, step = key.indices(len(kids))
    if step != 1:
        if len(items) != len(old):
            raise ValueError(f"attempt to assign sequence of size {len(items)} "
                             f"to extended slice of size {len(old)}")
        _reorder(self, kids, range(start, stop, step), wrappers)
        return
    stop = max(stop, start)
    # The new items go before the first later child that is not one of
    # them (a later child that is one of them moves into the slice).
    later = [k for k in kids[stop:] if not any(k == w for w in wrappers)]
    anchor = later[0] if later else None
    for child in old:
        if not any(child == w for w in wrappers):
            _remove(self, child)
    for wrapper in wrappers:
        if anchor is None:
            _move(wrapper, self, APPEND)
        else:
            _move(wrapper, anchor, BEFORE)


def _reorder(self: Element, kids: list[Any], positions: range, wrappers: list[Any]) -> None:
    """Extended slice assignment: position ``positions[i]`` gets
    ``wrappers[i]``; a new item that was a child elsewhere leaves its old
    place. The element children are then laid out again in that order
    (each with its tail), after any other children."""
    final: list[Any] = list(kids)
    for position, wrapper in zip(positions, wrappers):
        final[position] = wrapper
    placed = set(positions)
    final = [k for i, k in enumerate(final)
             if i in placed or not any(k == w for w in wrappers)]
    for child in kids:
        if not any(child == k for k in final):
            _remove(self, child)
    for wrapper in final:
        _move(wrapper, self, APPEND)


def _delitem(self: Element, key: Any) -> None:
    kids = _children_of(self)
    if isinstance(key, slice):
        doomed = kids[key]
    else:
        position = _index(key)
        if position < 0:
            position += len(kids)
        if not 0 <= position < len(kids):
            raise IndexError("child index out of range")
        doomed = [kids[position]]
    for child in doomed:
        _remove(self, child)


def _makeelement(self: Element, tag: Any, attrib: Mapping[str, str] | None = None,
                 nsmap: Mapping[str | None, str] | None = None, **extra: str) -> Element:
    """A new, unattached element (a document of its own)."""
    return new_element(tag, attrib, nsmap, **extra)


# --------------------------------------------------------------- copies and pickling

def _copy(self: Element) -> Element:
    """A deep copy with its tail, as the root of a new document."""
    tail = self.tail
    raw = run("element", self, ELEMENT, _copy_node, NODE)
    if not raw:
        raise _refused("cannot copy the element")
    copy = _wrap(raw, _wrap_new_document(raw))
    if tail is not None:
        _set_tail_of(copy, tail)
    return copy


def _deepcopy(self: Element, memo: Any) -> Element:
    return _copy(self)


def _unpickle_element(data: bytes, tail: str | None) -> Element:
    from .document import fromstring
    el = fromstring(data)
    if tail is not None:
        _set_tail_of(el, tail)
    return el


def _reduce(self: Element) -> tuple[Any, ...]:
    return _unpickle_element, (self.tobytes(with_tail=False), self.tail)


def _unpickle_document(data: bytes) -> Document:
    from .document import parse
    return parse(data)


def _document_reduce(self: Document) -> tuple[Any, ...]:
    return _unpickle_document, (self.tobytes(),)


# --------------------------------------------------------------- writing

_PLAIN_ENCODINGS = {"utf-8", "utf8", "us-ascii", "ascii"}


def _output(node: Any, encoding: str | None, xml_declaration: bool | None,
            pretty_print: bool) -> bytes | str:
    if encoding is not None and not isinstance(encoding, str):
        raise TypeError(f"encoding must be str or None, not {type(encoding).__name__}")
    indent = 2 if pretty_print else 0
    # A tree is written without its root's tail.
    options = {"with_tail": False} if isinstance(node, Element) else {}
    if encoding is not None and encoding.lower() == "unicode":
        if xml_declaration:
            raise ValueError("no XML declaration with encoding='unicode'")
        return node.tobytes(indent=indent, declaration=False, **options).decode("utf-8")
    if xml_declaration is None:
        xml_declaration = encoding is not None and encoding.lower() not in _PLAIN_ENCODINGS
    return node.tobytes(indent=indent, declaration=bool(xml_declaration), encoding=encoding,
                        **options)


def write(node: Any, file: Any, encoding: str | None = None,
          xml_declaration: bool | None = None, pretty_print: bool = False) -> None:
    """Writes ``node`` (a Document or Element) to a path or a file object."""
    data = _output(node, encoding, xml_declaration, pretty_print)
    if isinstance(file, (str, bytes, os.PathLike)):
        if isinstance(data, str):
            with open(file, "w", encoding="utf-8") as text:
                text.write(data)
        else:
            with open(file, "wb") as binary:
                binary.write(data)
        return
    if not hasattr(file, "write"):
        raise TypeError(f"file must be a path or have a write() method, not {type(file).__name__}")
    file.write(data)


def _document_write(self: Document, file: Any, encoding: str | None = None,
                    xml_declaration: bool | None = None, pretty_print: bool = False) -> None:
    """Writes the document to a path or a binary file object (a text one
    with ``encoding="unicode"``). The declaration is written when asked,
    or by default when the encoding is not UTF-8 or ASCII."""
    write(self, file, encoding, xml_declaration, pretty_print)


class ElementTree:
    """An ElementTree-style holder of a root element: ``getroot`` and
    ``write`` (the element and its subtree; a declaration on request)."""

    def __init__(self, element: Element | None = None, file: Any = None) -> None:
        if file is not None:
            from .document import parse, parse_file
            if isinstance(file, (str, os.PathLike)):
                element = parse_file(file).root
            elif callable(getattr(file, "read", None)):
                element = parse(file.read()).root
            else:
                raise TypeError("file must be a path or a binary file object, "
                                f"not {type(file).__name__}")
        if element is not None and not isinstance(element, Element):
            raise TypeError(f"element must be an Element, not {type(element).__name__}")
        self._root = element

    def getroot(self) -> Element | None:
        return self._root

    def write(self, file: Any, encoding: str | None = None,
              xml_declaration: bool | None = None, pretty_print: bool = False) -> None:
        if self._root is None:
            raise KorvithError("the tree has no root element")
        write(self._root, file, encoding, xml_declaration, pretty_print)


# --------------------------------------------------------------- iteration

def guarded_iter(cursor: Any, top: Element, matches: Callable[[Any], bool],
                 seen: int) -> Iterator[Element]:
    """Iterates a module cursor until the first structural edit anywhere,
    then goes on in Python from the element it had looked ahead to.

    The element after the one handed out is always fetched first (the way
    lxml does it) and held as a registered wrapper, so moves and closing
    keep it truthful. After an edit the cursor, whose own position is a
    bare engine pointer, is never used again. ``seen`` is the edit count
    (``edit_count()``) taken before the cursor was made.
    """
    return _wrappers.guard(cursor, lambda el: _next_matching(el, top, matches), seen)


def edit_count() -> int:
    return int(_wrappers.count())


def _next_matching(el: Element, top: Element, matches: Callable[[Any], bool]) -> Element | None:
    node = _successor(el, top)
    while node is not None and not matches(node):
        node = _successor(node, top)
    return node


def _successor(el: Element, top: Element) -> Element | None:
    if len(el):
        return el[0]
    node: Element | None = el
    while node is not None:
        if node == top:
            return None
        following = node.getnext()
        if following is not None:
            return following
        node = node.getparent()
    return None


def cursor_matcher(ns: str | None, local: str | None) -> Callable[[Any], bool]:
    """The test the module cursor applies for a namespace/local filter: a
    local name alone matches elements in no namespace; a namespace alone
    matches every element in it."""
    if ns is None and local is None:
        return lambda el: True

    def matches(el: Any) -> bool:
        tag = el.tag
        uri, name = (tag[1:].split("}", 1) if tag.startswith("{") else (None, tag))
        if local is not None and name != local:
            return False
        return uri == ns

    return matches


# --------------------------------------------------------------- install

# Document classes whose elements the package edits; set by install().
_OWN_DOCUMENTS: tuple[type, ...] = (Document,)
_object_setattr = object.__setattr__


def _setattr(self: Element, name: str, value: Any) -> None:
    """``tag``, ``text`` and ``tail`` of an element of a korvith document
    are edited here. Any other attribute, and any wrapper the package did
    not make (no korvith document behind it), keeps the accelerator's own
    behaviour: its getsets (settable ``text``, read-only ``tag``/``tail``).
    Element's setattro slot (build.cpp) sets ``text`` and ``tail`` itself in
    the common cases and calls this for the rest."""
    put = _EDITABLE.get(name)
    kind = type(_document_field(self))
    if put is None or kind not in _OWN_DOCUMENTS:
        _object_setattr(self, name, value)
    elif kind is Document or name == "tag":
        put(self, value)
    elif name == "text":
        _object_setattr(self, name, value)  # streamed: the accelerator's setter, as before
    else:
        raise KorvithError(_STREAMED_MESSAGE)


_EDITABLE: dict[str, Callable[[Any, Any], None]] = {
    "tag": lambda el, v: _put_tag(el, v),
    "text": lambda el, v: _put_text(el, v),
    "tail": lambda el, v: _set_tail_of(el, v),
}


_METHODS: dict[str, Any] = {
    "set": _set,
    "unset": _unset,
    "append": _append,
    "extend": _extend,
    "insert": _insert,
    "remove": _remove,
    "clear": _clear,
    "replace": _replace,
    "addnext": _addnext,
    "addprevious": _addprevious,
    "makeelement": _makeelement,
    "__setitem__": _setitem,
    "__delitem__": _delitem,
    "__copy__": _copy,
    "__deepcopy__": _deepcopy,
    "__reduce__": _reduce,
}


def install() -> None:
    """Attach the editing methods to the module's Element type and Document."""
    for name, fn in _METHODS.items():
        fn.__name__ = name
        fn.__qualname__ = f"Element.{name}"
        setattr(Element, name, fn)
    global _OWN_DOCUMENTS
    from .iterparse import _Scope
    _OWN_DOCUMENTS = (Document, _Scope)
    setattr(Element, "attrs", property(_attrs, doc="Live, writable view of the attributes."))
    setattr(Element, "__setattr__", _setattr)
    # Assigning text or tail then takes one C call; the rest goes to
    # _setattr (korvith/native_edit/src/build.cpp).
    _wrappers.install_setattr()
    # Element.__new__ makes Element(tag[, attrib], **extra) in one C call
    # and hands the rest to _element_new (korvith/native_edit/src/build.cpp).
    _wrappers.install_new(_element_new)
    setattr(Document, "write", _document_write)
    setattr(Document, "__reduce__", _document_reduce)

