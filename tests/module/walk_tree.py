"""An element tree served through the fake engine's navigation slots.

``WalkTree(engine, spec)`` takes a nested spec ``(name, children...)`` where
a name is ``"local"`` or ``"{uri}local"`` and answers
``element_first_child_any``, ``element_next_sibling_any``,
``element_parent``, ``element_name`` and ``element_namespace`` for it.
Each element gets an address; ``tree[path]`` gives it by "/"-joined names
(Clark notation for namespaced ones) with an optional ``[i]`` index among same-named siblings (from 0).
"""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass
class Node:
    address: int
    local: str
    ns: str | None
    parent: Node | None = None
    children: list[Node] = field(default_factory=list)


class WalkTree:
    def __init__(self, engine, spec, base: int = 0x10000) -> None:
        self.engine = engine
        self.by_address: dict[int, Node] = {}
        self._next = base
        self.root = self._build(spec, None)
        self._names = {a: engine.cstr(n.local) for a, n in self.by_address.items()}
        self._uris = {a: engine.cstr(n.ns) for a, n in self.by_address.items()}
        engine.on("element_first_child_any", self._first_child)
        engine.on("element_next_sibling_any", self._next_sibling)
        engine.on("element_parent", self._parent)
        engine.on("element_name", lambda a: self._names.get(a))
        engine.on("element_namespace", lambda a: self._uris.get(a))

    def _build(self, spec, parent: Node | None) -> Node:
        name, *children = spec if isinstance(spec, tuple) else (spec,)
        ns = None
        if name.startswith("{"):
            ns, name = name[1:].split("}", 1)
        self._next += 0x10
        node = Node(self._next, name, ns, parent)
        self.by_address[node.address] = node
        node.children = [self._build(c, node) for c in children]
        return node

    def _first_child(self, address):
        node = self.by_address.get(address)
        return node.children[0].address if node and node.children else None

    def _next_sibling(self, address):
        node = self.by_address.get(address)
        if not node or not node.parent:
            return None
        siblings = node.parent.children
        i = siblings.index(node)
        return siblings[i + 1].address if i + 1 < len(siblings) else None

    def _parent(self, address):
        node = self.by_address.get(address)
        return node.parent.address if node and node.parent else None

    def __getitem__(self, path: str) -> int:
        node = self.root
        for step in filter(None, path.split("/")):
            name, _, index = step.partition("[")
            matches = [c for c in node.children if self.label(c.address) == name]
            node = matches[int(index.rstrip("]")) if index else 0]
        return node.address

    def label(self, address: int) -> str:
        node = self.by_address[address]
        return f"{{{node.ns}}}{node.local}" if node.ns else node.local
