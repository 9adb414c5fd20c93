"""The package's view of the C ABI checked against the engine's headers.

The headers under libkorvith/include/korvith are the one definition of every
entry point, record and code. The Python side mirrors what it needs (the
bound slot list, the other exports, flag bits, plan kinds, records); these
tests fail as soon as one of them drifts from the headers. They also check
that every extern "C" entry of the engine is guarded (a function-try-block),
so no exception can cross the C ABI.
"""

from __future__ import annotations

import ctypes
import re
from ctypes import POINTER as P
from pathlib import Path

import pytest

import importlib

from korvith import _engine
from korvith._slots import SLOTS

extract = importlib.import_module("korvith.extract")  # the module, not the function

ROOT = Path(__file__).resolve().parents[2]
INCLUDE = ROOT / "libkorvith" / "include" / "korvith"
SOURCES = ROOT / "libkorvith" / "src"

_DECLARATION = re.compile(r"KORVITH_API\s+([\w\s*]+?)\s*\bkorvith_(\w+)\(([^)]*)\);", re.S)
_DEFINE = re.compile(r"^#define (KORVITH_\w+) \(?(-?(?:0x)?[0-9A-Fa-f]+)\)?", re.M)
_STRUCT = re.compile(r"typedef struct (\w+) \{(.*?)\}", re.S)

# C types as the package's ctypes prototypes give them. Strings travel as
# addresses in the bound slots; an export may take a char buffer as c_char_p.
_SCALARS = {
    "void": None, "int": ctypes.c_int, "size_t": ctypes.c_size_t, "double": ctypes.c_double,
    "unsigned char": ctypes.c_ubyte, "long long int": ctypes.c_longlong,
    "long long": ctypes.c_longlong, "long": ctypes.c_long,
}
_ADDRESSES = {"void*", "const void*", "char*", "const char*"}
_ADDRESSES.add("korvith_read_fn")  # a callback: passed as its address


def _ctype(c_type: str) -> object:
    c_type = " ".join(c_type.replace("*", " * ").split()).replace(" *", "*")
    c_type = c_type.replace("* const*", "**")  # an array of constant strings
    if c_type in _ADDRESSES:
        return ctypes.c_void_p
    if c_type.endswith("**"):
        return P(ctypes.c_void_p)
    if c_type.endswith("*"):
        return P(_SCALARS[c_type[:-1]])
    return _SCALARS[c_type]


def _parameter_type(parameter: str) -> str:
    # "const char* name" -> "const char*"; the name is the last word.
    return parameter.strip().rsplit(None, 1)[0] if " " in parameter.strip() else parameter


def declarations(*headers: str) -> dict[str, tuple[object, tuple[object, ...]]]:
    """name -> (result, parameters) of every entry declared in ``headers``, in order."""
    found: dict[str, tuple[object, tuple[object, ...]]] = {}
    for header in headers:
        text = (INCLUDE / header).read_text()
        for result, name, params in _DECLARATION.findall(text):
            params = " ".join(params.split())
            types = () if params in ("", "void") else tuple(
                _ctype(_parameter_type(p)) for p in params.split(","))
            found[name] = (_ctype(result), types)
    return found


def entry_headers() -> list[str]:
    """Every header that declares entries: engine.h (the bound slots) and
    the others (engine_ext.h, plan.h, xquery.h and any added later)."""
    return sorted(p.name for p in INCLUDE.glob("*.h") if "KORVITH_API" in p.read_text()
                  and p.name != "engine.h") + ["engine.h"]


def defines() -> dict[str, int]:
    return {name: int(value, 0) for name, value in _DEFINE.findall((INCLUDE / "abi.h").read_text())}


def _same(python: object, header: object) -> bool:
    # A string may travel as c_char_p where the header has a char pointer,
    # and an array of strings as POINTER(c_char_p).
    return python is header or (python is ctypes.c_char_p and header is ctypes.c_void_p) or (
        python is P(ctypes.c_char_p) and header is P(ctypes.c_void_p))


def test_bound_slots_are_the_header_s_declarations_in_bind_order():
    header = declarations("engine.h")
    assert [name for name, _, _ in SLOTS] == list(header)
    assert len(SLOTS) == 80
    for name, result, params in SLOTS:
        assert (result, tuple(params)) == header[name], name


def test_every_other_export_matches_its_prototype():
    header = declarations(*entry_headers())
    for name, result, params, _keeps_gil in _engine.EXPORTS:
        want_result, want_params = header[name]
        assert _same(result, want_result), name
        assert len(params) == len(want_params), name
        assert all(_same(p, w) for p, w in zip(params, want_params)), name


def test_exports_that_read_a_python_owned_tree_keep_the_gil():
    keeps = {name for name, _, _, keep in _engine.EXPORTS if keep}
    assert keeps == {"plan_eval", "iterparse_release", "iterparse_error",
                     "iterparse_document", "iterparse_free", "schema_validate", "c14n",
                     "xslt_apply", "xpath_snapshot_eval", "document_issue_count",
                     "document_issue", "iterparse_set_events", "iterparse_next_event",
                     "iterparse_event_text", "iterparse_push", "iterparse_wants_input",
                     "iterparse_filter", "iterparse_step", "iterparse_step_event",
                     "walk_next", "child_next", "path_next"} | {
                         name for name, *_ in _engine.EXPORTS if name.startswith("edit_")}
    assert len([name for name in keeps if name.startswith("edit_")]) == 16
    assert isinstance(_engine.ext.plan_eval, type(_engine.pylib.korvith_plan_eval))
    assert _engine.ext.plan_eval is _engine.pylib.korvith_plan_eval
    assert _engine.ext.plan_compile is _engine.lib.korvith_plan_compile


@pytest.mark.parametrize(("python", "header"), [
    (_engine.PARSE_NOBLANKS, "KORVITH_PARSE_NOBLANKS"),
    (_engine.PARSE_NOCDATA, "KORVITH_PARSE_NOCDATA"),
    (_engine.PARSE_HUGE, "KORVITH_PARSE_HUGE"),
    (_engine.PARSE_KEEP_ENTITIES, "KORVITH_PARSE_KEEP_ENTITIES"),
    (_engine.PARSE_NSCLEAN, "KORVITH_PARSE_NSCLEAN"),
    (_engine.VARIABLE_BOOLEAN, "KORVITH_VARIABLE_BOOLEAN"),
    (_engine.VARIABLE_NUMBER, "KORVITH_VARIABLE_NUMBER"),
    (_engine.VARIABLE_STRING, "KORVITH_VARIABLE_STRING"),
    (extract._TEXT, "KORVITH_ROW_TEXT"),
    (extract._TEXTS, "KORVITH_ROW_TEXTS"),
    (extract._RECORDS, "KORVITH_ROW_RECORDS"),
    (extract._CALLBACK, "KORVITH_ROW_CALLBACK"),
    (extract._TOKENS, "KORVITH_ROW_TOKENS"),
    (extract._OWN_TEXT, "KORVITH_ROW_OWN_TEXT"),
    (extract._WRAPPED, "KORVITH_ROW_WRAPPED"),
    (extract._FIRST_ONLY, "KORVITH_ROW_FIRST_ONLY"),
    (extract._TAGS[str], "KORVITH_TAG_STR"),
    (extract._TAGS[int], "KORVITH_TAG_INT"),
    (extract._TAGS[float], "KORVITH_TAG_FLOAT"),
    (extract._TAGS[bool], "KORVITH_TAG_BOOL"),
])
def test_python_codes_are_the_header_s(python, header):
    assert python == defines()[header]


@pytest.mark.parametrize(("python", "header"), [
    (_engine.ParseOptions, "korvith_parse_options"),
    (_engine.SerializeOptions, "korvith_serialize_options"),
])
def test_python_records_have_the_header_s_fields(python, header):
    structs = {name: body for name, body in _STRUCT.findall((INCLUDE / "abi.h").read_text())}
    fields = re.findall(r"(\w+);", re.sub(r"/\*.*?\*/", "", structs[header]))
    assert [name for name, _ in python._fields_] == fields
    assert ctypes.sizeof(python) == 16


def _definitions(text: str) -> list[tuple[str, str]]:
    """(name, what follows the parameter list) of every korvith_ function
    defined at the start of a line."""
    out = []
    for match in re.finditer(r"^[^\s#/][^;{}()\n]*?\bkorvith_(\w+)\(", text, re.M):
        depth, i = 1, match.end()
        while depth:
            depth += {"(": 1, ")": -1}.get(text[i], 0)
            i += 1
        rest = text[i:].lstrip()
        if not rest.startswith(";"):
            out.append((match.group(1), rest[:4]))
    return out


def test_every_entry_is_guarded():
    defined = [d for path in sorted(SOURCES.glob("*.cpp")) for d in _definitions(path.read_text())]
    unguarded = [name for name, after in defined if after != "try "]
    assert unguarded == []
    declared = declarations(*entry_headers())
    assert sorted(name for name, _ in defined) == sorted(declared)
