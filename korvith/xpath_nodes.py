"""XPath node-sets with every node, not only the elements.

The module's result conversion hands out element nodes only. For the rest
of a node-set the package evaluates through the engine's snapshot entry
point (``korvith_xpath_snapshot_eval``): one call that evaluates and copies
every node's kind, string value and name, so nothing in the result points
into the tree except the element handles, which become ordinary registered
:class:`~korvith.Element` wrappers.

What a node-set item becomes, in document order:

============================  ===========================================
element                       :class:`~korvith.Element`
text, CDATA, attribute        :class:`XPathString` (a ``str``), as lxml's
                              "smart strings"
comment                       :class:`XPathString` with ``kind="comment"``:
                              the comment's text
processing instruction        :class:`XPathString` with ``kind="pi"``: the
                              PI's data; ``target`` names it
namespace node                ``(prefix, uri)`` tuple, as lxml gives
                              (prefix ``None`` for the default namespace)
the document node (``/``)     the :class:`~korvith.Document` itself
============================  ===========================================
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from . import _engine
from . import _korvithaccel as _accel
from . import _korvithedit as _native
from ._engine import CLOSED_MESSAGE, address_of, ext, last_error
from ._liveness import DOC, NODE, NODE_OR_DOCUMENT, owner_of, run
from .errors import KorvithError, XPathError

__all__ = ["XPathString", "evaluate_snapshot", "available"]



class XPathString(str):
    """The string value of a node that is not an element.

    ``kind`` is ``"text"`` (text and CDATA), ``"attribute"``, ``"comment"``,
    ``"pi"`` or ``"other"``; ``attrname`` is an attribute's name in Clark
    notation (else None); ``target`` a PI's target (else None).
    ``is_text`` and ``is_attribute`` read as lxml's result strings do.
    """

    __slots__ = ("kind", "attrname", "target")
    kind: str
    attrname: str | None
    target: str | None

    def __new__(cls, value: str, kind: str, name: str | None = None) -> XPathString:
        self = super().__new__(cls, value)
        self.kind = kind
        self.attrname = name if kind == "attribute" else None
        self.target = name if kind == "pi" else None
        return self

    @property
    def is_text(self) -> bool:
        return self.kind == "text"

    @property
    def is_attribute(self) -> bool:
        return self.kind == "attribute"

    def __reduce__(self) -> Any:
        return (XPathString, (str(self), self.kind, self.attrname or self.target))


# The native side makes XPathStrings as XPathString(value, kind, name) does.
_native.snapshot_bind(address_of(ext.snapshot_count), address_of(ext.snapshot_layout),
                      address_of(ext.snapshot_value), address_of(ext.snapshot_name), XPathString)


def dropped_nodes() -> int:
    """How many non-element nodes the module's conversion of the most
    recent node-set on this thread left out."""
    return int(ext.xpath_last_other_nodes())


def _text(raw: bytes | None) -> str:
    return (raw or b"").decode("utf-8")


class _Sets:
    """The engine's namespace and variable sets of one evaluation."""

    def __init__(self) -> None:
        self.ns = 0
        self.vars = 0

    def fill(self, bindings: Sequence[str] | None, flat: Sequence[Any] | None) -> None:
        lib = _engine.lib
        if bindings:
            self.ns = lib.korvith_ns_set_new() or 0
            if not self.ns:
                raise MemoryError
            for i in range(0, len(bindings), 2):
                if lib.korvith_ns_set_add(self.ns, bindings[i].encode("utf-8"),
                                          bindings[i + 1].encode("utf-8")):
                    raise KorvithError("invalid namespace binding")
        if flat:
            self.vars = lib.korvith_variable_set_new() or 0
            if not self.vars:
                raise MemoryError
            for i in range(0, len(flat), 3):
                name, kind, value = flat[i].encode("utf-8"), flat[i + 1], flat[i + 2]
                if kind == 0:
                    failed = lib.korvith_variable_set_boolean(self.vars, name, int(value))
                elif kind == 1:
                    failed = lib.korvith_variable_set_number(self.vars, name, float(value))
                else:
                    failed = lib.korvith_variable_set_string(self.vars, name,
                                                             value.encode("utf-8"))
                if failed:
                    raise KorvithError("could not bind variable")

    def free(self) -> None:
        if self.ns:
            _engine.lib.korvith_ns_set_free(self.ns)
        if self.vars:
            _engine.lib.korvith_variable_set_free(self.vars)
        self.ns = self.vars = 0


def evaluate_snapshot(compiled: int, expression: str, node: Any,
                      bindings: Sequence[str] | None, flat: Sequence[Any] | None) -> Any:
    """Evaluate a compiled expression with ``node`` (a Document or an
    Element) as context; node-sets come back with every node."""
    sets = _Sets()
    try:
        sets.fill(bindings, flat)
        ns, bound = sets.ns or None, sets.vars or None
        # The liveness check and the engine call (which keeps the
        # interpreter) are one step: no other thread can close the document
        # in between or during the evaluation.
        snapshot = run("node", node, NODE_OR_DOCUMENT, ext.xpath_snapshot_eval, compiled, DOC,
                       NODE, ns, bound)
    finally:
        sets.free()
    document = owner_of(node)
    if not snapshot:
        err = last_error()
        raise XPathError(err[0] if err else "evaluation failed", expression)
    try:
        return _convert(snapshot, document)
    finally:
        ext.snapshot_free(snapshot)


def _convert(snapshot: int, document: Any) -> Any:
    kind = ext.snapshot_type(snapshot)
    if kind == 1:
        return bool(ext.snapshot_boolean(snapshot))
    if kind == 2:
        return float(ext.snapshot_number(snapshot))
    if kind == 3:
        return _text(ext.snapshot_string(snapshot))
    if kind != 0:
        return None
    return _nodes(snapshot, document)


def _nodes(snapshot: int, document: Any) -> list[Any]:
    out = _native.snapshot_nodes(snapshot, document, document._accel_registry)
    if getattr(document, "closed", False):
        # Closed by another thread (or a finalizer) while the items were
        # made: the new wrappers must not reach the freed tree.
        _accel.invalidate(document._accel_registry)
        raise KorvithError(CLOSED_MESSAGE)
    return out
