"""Calls whose liveness check and engine call are one step.

Reading an element's address in Python and then calling the engine leaves
a gap in which user code (an argument's ``__bool__``, ``__index__``, a
mapping's ``items()``) or another thread can close the document, after
which the engine reads freed memory. Every call that reads a tree goes
through :func:`run` instead: the caller converts all of its arguments
first, then passes the Document or Element *object* and the function to
call; ``korvith._korvithedit.checked_run`` checks the object's real type,
reads its addresses from the object's own storage, checks that they are
alive and makes the call, all inside one C call.

In the argument list, :data:`DOC` stands for the document's engine address,
:data:`NODE` for the element's address (0 for a document), :data:`OWNER`
for the document object the resulting elements belong to and :data:`OTHER`
for the second element of :func:`run_pair`. The function is
a module builtin or an engine export that keeps the interpreter for the
call (``_KEEP`` in ``_engine.EXPORTS``), so nothing runs during it either.
"""

from __future__ import annotations

from typing import Any

from . import _korvithedit as _native
from ._korvithaccel import Element as _Element
from ._engine import CLOSED_MESSAGE
from .errors import KorvithError

DOC: Any = _native.DOC
NODE: Any = _native.NODE
OWNER: Any = _native.OWNER
OTHER: Any = _native.OTHER

# What a call accepts as its target.
DOCUMENT = 1
ELEMENT = 2
NODE_OR_DOCUMENT = DOCUMENT | ELEMENT

_ready = False
_Document: Any = None  # korvith.Document, once set up


def _setup() -> None:
    """Hands the package's classes to the native side; called by it on the
    first checked call (both classes import modules that import this one)."""
    global _ready, _Document
    from .document import Document
    from .iterparse import _Scope
    if not _ready:
        _native.checked_setup(Document, _Scope, KorvithError, CLOSED_MESSAGE)
    _Document = Document
    _ready = True


#: ``run(name, target, accept, fn, *args)``: ``fn(*args)`` with DOC, NODE
#: and OWNER replaced by the addresses of ``target``, checked alive in the
#: same C call that makes the call. Raises TypeError naming ``name`` when
#: ``target`` is not a korvith Document or Element (as ``accept`` allows),
#: and KorvithError when it belongs to a closed document or was released.
run: Any = _native.checked_run

#: ``run_pair(name, element, other_name, other, fn, *args)``: the same for
#: a call on two elements; OTHER stands for the second one's address.
run_pair: Any = _native.checked_run_pair


def close(document: Any) -> None:
    """Marks a Document closed and frees it, excluding every checked call."""
    _native.checked_close(document)


_DOCUMENT_FIELD = _Element.__dict__["_document"]


def owner_of(node: Any) -> Any:
    """The document object a Document or an Element's results belong to,
    read from the wrapper's own field (a subclass cannot redirect it)."""
    if isinstance(node, _Element):
        return _DOCUMENT_FIELD.__get__(node, _Element)
    return node


def check_node(name: str, value: Any, accept: int = NODE_OR_DOCUMENT) -> None:
    """TypeError naming ``name`` unless ``value`` is of a type ``accept``
    allows. (The checked call tests the type again; this gives the message
    before any other argument is looked at.)"""
    if accept & ELEMENT and isinstance(value, _Element):
        return
    if not _ready:
        _setup()
    if accept & DOCUMENT and isinstance(value, _Document):
        return
    wanted = {DOCUMENT: "a Document", ELEMENT: "an Element"}.get(accept, "a Document or an Element")
    raise TypeError(f"{name} must be {wanted}, not {type(value).__name__}")
