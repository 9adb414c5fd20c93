"""korvith: fast, safe XML parsing, querying and extraction on a C++ core."""

from __future__ import annotations

from . import _engine
from ._korvithaccel import Element, SubtreeIterator
from .errors import KorvithError, ParseError

_engine.bind(KorvithError)

__all__ = ["Element", "KorvithError", "ParseError", "SubtreeIterator"]
__version__ = "0.1.0"
