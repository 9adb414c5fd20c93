"""A node tree served through the fake engine's node and attribute slots.

``tree = FakeTree(engine)``; ``tree.text(b"..")``, ``tree.cdata(b"..")``,
``tree.comment()`` and ``tree.element(name, children, attrs=[(name, value)])``
each return a new handle (an int). An element's children are adopted when
the element is made, so trees are built bottom-up. Element and node handles
are the same number (``element_as_node`` answers its argument). Content,
names and values may be None (a null string).
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass, field

ELEMENT, TEXT, CDATA, COMMENT = 0, 1, 3, 8


@dataclass
class FakeNode:
    handle: int
    kind: int
    name: bytes | None = None     # element name
    name_c: int | None = None     # its C string address
    content: int | None = None    # C string address of text / CDATA content
    parent: FakeNode | None = None
    index: int = 0                # position among the parent's children
    children: list[FakeNode] = field(default_factory=list)
    attrs: list[tuple[int, int | None, int | None]] = field(default_factory=list)


class FakeTree:
    def __init__(self, engine, base: int = 0x100000) -> None:
        self.engine = engine
        self.nodes: dict[int, FakeNode] = {}
        self.attributes: dict[int, tuple[FakeNode, int]] = {}
        self._next = base
        on = engine.on
        on("element_as_node", lambda h: h if h in self.nodes else None)
        on("node_first_child", self._first_child)
        on("node_next_sibling", self._next_sibling)
        on("node_get_type", lambda h: self.nodes[h].kind if h in self.nodes else -1)
        on("text_node_get_content", lambda h: self._content(h))
        on("cdata_node_get_content", lambda h: self._content(h))
        on("element_first_child_any", lambda h: self._element_from(self._first_child(h)))
        on("element_next_sibling_any", lambda h: self._element_from(self._next_sibling(h)))
        on("element_previous_sibling_any_fn", self._previous_element)
        on("element_parent", self._parent)
        on("element_name", lambda h: self.nodes[h].name_c if h in self.nodes else None)
        on("element_child_count", lambda h: len(self._elements(h)))
        on("element_child", self._child)
        on("element_attribute", self._attribute)
        on("element_first_attribute", self._first_attribute)
        on("attribute_next", self._next_attribute)
        on("attribute_get_name", lambda a: self.attributes[a][0].attrs[self.attributes[a][1]][1])
        on("attribute_get_value",
           lambda el, a: self.attributes[a][0].attrs[self.attributes[a][1]][2])

    # -- building ------------------------------------------------------------
    def _new(self, kind: int, **fields) -> int:
        self._next += 0x10
        node = FakeNode(self._next, kind, **fields)
        self.nodes[node.handle] = node
        return node.handle

    def text(self, content: bytes | None = b"") -> int:
        return self._new(TEXT, content=self.engine.cstr(content))

    def cdata(self, content: bytes | None = b"") -> int:
        return self._new(CDATA, content=self.engine.cstr(content))

    def comment(self) -> int:
        return self._new(COMMENT)

    def element(self, name: bytes | None = b"e", children=None, attrs=None) -> int:
        handle = self._new(ELEMENT, name=name, name_c=self.engine.cstr(name))
        node = self.nodes[handle]
        for i, child in enumerate(children or []):
            kid = self.nodes[child]
            kid.parent, kid.index = node, i
            node.children.append(kid)
        for i, (attr_name, value) in enumerate(attrs or []):
            self._next += 0x10
            self.attributes[self._next] = (node, i)
            node.attrs.append((self._next, self.engine.cstr(attr_name), self.engine.cstr(value)))
        return handle

    # -- slots ---------------------------------------------------------------
    def _content(self, handle: int):
        node = self.nodes.get(handle)
        return node.content if node else None

    def _first_child(self, handle: int):
        node = self.nodes.get(handle)
        return node.children[0].handle if node and node.children else None

    def _next_sibling(self, handle: int):
        node = self.nodes.get(handle)
        if not node or not node.parent or node.index + 1 >= len(node.parent.children):
            return None
        return node.parent.children[node.index + 1].handle

    def _element_from(self, handle):
        while handle and self.nodes[handle].kind != ELEMENT:
            handle = self._next_sibling(handle)
        return handle or None

    def _previous_element(self, handle: int):
        node = self.nodes.get(handle)
        if not node or not node.parent:
            return None
        for sibling in reversed(node.parent.children[: node.index]):
            if sibling.kind == ELEMENT:
                return sibling.handle
        return None

    def _elements(self, handle: int) -> list[FakeNode]:
        node = self.nodes.get(handle)
        return [c for c in node.children if c.kind == ELEMENT] if node else []

    def _child(self, handle: int, index: int):
        kids = self._elements(handle)
        return kids[index].handle if index < len(kids) else None

    def _parent(self, handle: int):
        node = self.nodes.get(handle)
        return node.parent.handle if node and node.parent else None

    def _attribute(self, handle: int, name: int | None):
        node = self.nodes.get(handle)
        wanted = ctypes.string_at(name) if name else None
        for _, attr_name, value in node.attrs if node else []:
            if attr_name and ctypes.string_at(attr_name) == wanted:
                return value
        return None

    def _first_attribute(self, handle: int):
        node = self.nodes.get(handle)
        return node.attrs[0][0] if node and node.attrs else None

    def _next_attribute(self, attr: int):
        node, i = self.attributes[attr]
        return node.attrs[i + 1][0] if i + 1 < len(node.attrs) else None
