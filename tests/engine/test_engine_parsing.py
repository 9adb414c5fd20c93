"""Parsing: statuses, options, encodings, recovery, limits and hostile input."""

from __future__ import annotations

import ctypes
import socket
import threading
import time

import pytest

import korvith
from korvith import ParseError
from conftest import HUGE, KEEP_ENTITIES, NOBLANKS, NSCLEAN, Doc, accel, last_error, lib, s
from conftest import run_in_threads

XML_ERR_DOCUMENT_EMPTY = 4
XML_ERR_TAG_NAME_MISMATCH = 76
XML_ERR_INVALID_ENCODING = 81
XML_ERR_RESOURCE_LIMIT = 114
XML_ERR_ARGUMENT = 115
XML_NS_ERR_UNDEFINED_NAMESPACE = 201
XML_WAR_NS_URI_RELATIVE = 100
XML_IO_ENOENT = 1524


def test_well_formed_document_has_status_zero(docs) -> None:
    doc, status = docs.parse(b"<a><b/></a>")
    assert doc and status == 0
    assert last_error() == (0, "", 0, 0)


@pytest.mark.parametrize(
    ("xml", "code"),
    [
        (b"", XML_ERR_DOCUMENT_EMPTY),
        (b"<a><b></a>", XML_ERR_TAG_NAME_MISMATCH),
        (b"<a>\xff</a>", XML_ERR_INVALID_ENCODING),
        (b"<a>\xc3</a>", XML_ERR_INVALID_ENCODING),
    ],
)
def test_malformed_input_gives_status_and_no_document(docs, xml: bytes, code: int) -> None:
    doc, status = docs.parse(xml)
    assert doc is None
    assert status == code
    err = last_error()
    assert err[0] == code and err[1]


def test_error_position_is_reported(docs) -> None:
    docs.parse(b"<a>\n  <b>\n</a>")
    code, message, line, column = last_error()
    assert code == XML_ERR_TAG_NAME_MISMATCH
    assert "mismatch" in message
    assert line == 3 and column > 0


def test_message_truncated_to_capacity(docs) -> None:
    docs.parse(b"<a><b></a>")
    buf = ctypes.create_string_buffer(8)
    assert lib.korvith_last_error(buf, 8, None, None) == XML_ERR_TAG_NAME_MISMATCH
    assert len(buf.value) == 7


def test_last_error_is_per_thread(docs) -> None:
    docs.parse(b"<a><b></a>")
    seen: list[tuple] = []
    t = threading.Thread(target=lambda: seen.append(last_error()))
    t.start()
    t.join()
    assert seen == [(0, "", 0, 0)]
    assert last_error()[0] == XML_ERR_TAG_NAME_MISMATCH


def test_recovery_returns_document_with_status(docs) -> None:
    doc, status = docs.parse_ex(b"<a><b>text</a>", recover=1)
    assert doc and status == XML_ERR_TAG_NAME_MISMATCH
    root = lib.korvith_document_root(doc)
    assert s(lib.korvith_element_name(lib.korvith_element_child(root, 0))) == "b"


def test_module_parse_with_recover(mdoc) -> None:
    _, root = mdoc(b"<a><b>text</a>", recover=True)
    assert root.tag == "a" and root[0].text == "text"


@pytest.mark.parametrize(
    ("strict", "doc_expected", "status"),
    [(-1, False, XML_NS_ERR_UNDEFINED_NAMESPACE), (1, False, XML_NS_ERR_UNDEFINED_NAMESPACE),
     (0, True, XML_NS_ERR_UNDEFINED_NAMESPACE)],
)
def test_undeclared_prefix_by_strict_mode(docs, strict, doc_expected, status) -> None:
    doc, st = docs.parse_ex(b"<p:a/>", strict=strict)
    assert bool(doc) is doc_expected
    assert st == status


@pytest.mark.parametrize(("strict", "ok"), [(-1, True), (0, True), (1, False)])
def test_warnings_fail_only_in_strict_mode_one(docs, strict: int, ok: bool) -> None:
    doc, status = docs.parse_ex(b'<a xmlns="relative"/>', strict=strict)
    assert bool(doc) is ok
    assert status == (0 if ok else XML_WAR_NS_URI_RELATIVE)


@pytest.mark.parametrize(
    "options",
    [dict(flags=0x800), dict(strict=2), dict(strict=-2), dict(max_depth=-1)],
)
def test_invalid_options_are_refused(docs, options) -> None:
    doc, status = docs.parse_ex(b"<a/>", **options)
    assert doc is None and status == XML_ERR_ARGUMENT


def test_noblanks_drops_whitespace_between_elements(docs) -> None:
    xml = b"<r>\n  <a> </a>\n  <b/>\n</r>"
    root = docs.root(xml, flags=NOBLANKS)
    first = lib.korvith_node_first_child(root)
    assert lib.korvith_node_get_type(first) == 0
    a = lib.korvith_element_child(root, 0)
    kept = lib.korvith_node_first_child(a)
    assert s(lib.korvith_text_node_get_content(kept)) == " "
    plain = docs.root(xml)
    assert lib.korvith_node_get_type(lib.korvith_node_first_child(plain)) == 1


@pytest.mark.parametrize(("flags", "inner"), [(NSCLEAN, b"<p:a/>"), (0, b'<p:a xmlns:p="urn:p"/>')])
def test_nsclean_drops_redundant_declarations(docs, flags: int, inner: bytes) -> None:
    doc, status = docs.parse_ex(b'<r xmlns:p="urn:p"><p:a xmlns:p="urn:p"/></r>', flags=flags)
    out = lib.korvith_document_serialize(doc, None)
    try:
        assert ctypes.string_at(out).endswith(b'<r xmlns:p="urn:p">' + inner + b"</r>\n")
    finally:
        lib.korvith_free_string(out)


def test_max_depth_limits_nesting(docs) -> None:
    deep = b"<a>" * 6 + b"</a>" * 6
    doc, status = docs.parse_ex(deep, max_depth=5)
    assert doc is None and status == 114
    assert "max_depth" in last_error()[1]
    doc, status = docs.parse_ex(deep, max_depth=6)
    assert doc and status == 0


@pytest.mark.parametrize(("depth", "flags", "status"),
                         [(256, 0, 0), (257, 0, XML_ERR_RESOURCE_LIMIT), (1000, HUGE, 0)])
def test_libxml2_depth_limit_and_huge_flag(docs, depth: int, flags: int, status: int) -> None:
    doc, st = docs.parse_ex(b"<a>" * depth + b"</a>" * depth, flags=flags)
    assert st == status and bool(doc) is (status == 0)


def test_max_depth_cannot_raise_the_limit(docs) -> None:
    doc, status = docs.parse_ex(b"<a>" * 300 + b"</a>" * 300, max_depth=1000)
    assert doc is None and status == XML_ERR_RESOURCE_LIMIT


def test_deep_nesting_fails_cleanly(docs) -> None:
    deep = b"<a>" * 100_000 + b"</a>" * 100_000
    started = time.monotonic()
    doc, status = docs.parse(deep)
    assert doc is None and status == XML_ERR_RESOURCE_LIMIT
    doc, status = docs.parse_ex(deep, flags=HUGE)
    assert doc is None and status == XML_ERR_RESOURCE_LIMIT
    assert time.monotonic() - started < 10


BILLION_LAUGHS = b"""<?xml version="1.0"?>
<!DOCTYPE lolz [
 <!ENTITY lol "lol">
 <!ENTITY lol1 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
 <!ENTITY lol2 "&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;">
 <!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">
 <!ENTITY lol4 "&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;">
 <!ENTITY lol5 "&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;">
 <!ENTITY lol6 "&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;">
 <!ENTITY lol7 "&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;">
 <!ENTITY lol8 "&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;">
 <!ENTITY lol9 "&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;">
]>
<lolz>&lol9;</lolz>"""


@pytest.mark.parametrize("flags", [0, HUGE])
def test_billion_laughs_fails_with_clear_error(docs, flags: int) -> None:
    started = time.monotonic()
    doc, status = docs.parse_ex(BILLION_LAUGHS, flags=flags)
    assert doc is None
    assert status != 0
    assert "amplification" in last_error()[1].lower()
    assert time.monotonic() - started < 10


def test_internal_entities_are_expanded(mdoc) -> None:
    _, root = mdoc(b'<!DOCTYPE r [<!ENTITY who "world">]><r a="&who;">hello &who;</r>')
    assert root.text == "hello world"
    assert root.get("a") == "world"


@pytest.mark.parametrize("form", ["entity", "dtd", "parameter"])
def test_external_resources_are_not_loaded(docs, tmp_path, form: str) -> None:
    secret = tmp_path / "secret.txt"
    secret.write_text("TOPSECRET")
    dtd = tmp_path / "ext.dtd"
    dtd.write_text('<!ENTITY leak "TOPSECRET">')
    if form == "entity":
        xml = f'<!DOCTYPE r [<!ENTITY x SYSTEM "{secret}">]><r>&x;</r>'
    elif form == "dtd":
        xml = f'<!DOCTYPE r SYSTEM "{dtd}"><r>&leak;</r>'
    else:
        xml = f'<!DOCTYPE r [<!ENTITY % p SYSTEM "{dtd}"> %p;]><r>&leak;</r>'
    for flags, recover in ((0, 0), (0, 1), (KEEP_ENTITIES, 1), (HUGE, 1)):
        doc, _ = docs.parse_ex(xml.encode(), flags=flags, recover=recover)
        if doc:
            out = lib.korvith_document_serialize(doc, None)
            try:
                assert b"TOPSECRET" not in ctypes.string_at(out)
            finally:
                lib.korvith_free_string(out)


def test_external_entity_reference_is_an_error_never_loaded(mdoc, tmp_path) -> None:
    secret = tmp_path / "secret.txt"
    secret.write_text("TOPSECRET")
    data = f'<!DOCTYPE r [<!ENTITY x SYSTEM "{secret}">]><r>a&x;b</r>'.encode()
    address, _, status = accel.parse(data, False)
    assert address is None and status == 26
    code, message, line, _ = last_error()
    assert (code, line) == (26, 1)
    assert message.startswith("External entity 'x' is not loaded") and "keep_entities" in message
    # Under recovery the document comes back, marked, without the secret.
    _, root = mdoc(data, recover=True)
    assert root.text == "ab"


def test_dtd_attribute_defaults_are_applied_unless_turned_off(mdoc, docs) -> None:
    _, root = mdoc(b'<!DOCTYPE r [<!ATTLIST r def CDATA "dv">]><r/>')
    assert root.attrib == {"def": "dv"} and root.get("def") == "dv"
    root = docs.root(b'<!DOCTYPE r [<!ATTLIST r def CDATA "dv">]><r/>', flags=0x100)
    assert lib.korvith_element_attribute(root, b"def") is None


def test_network_is_never_touched(docs) -> None:
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    server.settimeout(0.5)
    port = server.getsockname()[1]
    try:
        xml = (f'<!DOCTYPE r SYSTEM "http://127.0.0.1:{port}/x.dtd" '
               f'[<!ENTITY e SYSTEM "http://127.0.0.1:{port}/e">]><r>&e;</r>').encode()
        started = time.monotonic()
        docs.parse_ex(xml, recover=1)
        docs.parse(xml)
        assert time.monotonic() - started < 2
        with pytest.raises(TimeoutError):
            server.accept()
    finally:
        server.close()


@pytest.mark.parametrize(
    "data",
    [
        "<r>héllo €</r>".encode("utf-16"),
        "<?xml version='1.0' encoding='UTF-16'?><r>héllo €</r>".encode("utf-16"),
        "<?xml version='1.0' encoding='ISO-8859-1'?><r>héllo</r>".encode("latin-1"),
        "\ufeff<r>héllo €</r>".encode("utf-8"),
    ],
)
def test_encodings_are_detected(mdoc, data: bytes) -> None:
    _, root = mdoc(data)
    assert root.text.startswith("héllo")


def test_parse_with_encoding_reads_undeclared_latin1(docs) -> None:
    data = "<r a='é'>café</r>".encode("latin-1")
    status = ctypes.c_int(0)
    assert lib.korvith_parse_string_fn(data, len(data), ctypes.byref(status)) is None
    assert status.value == XML_ERR_INVALID_ENCODING
    doc = docs.keep(lib.korvith_parse_with_encoding(data, len(data), ctypes.byref(status)))
    assert doc and status.value == 0
    root = lib.korvith_document_root(doc)
    assert s(lib.korvith_text_node_get_content(lib.korvith_node_first_child(root))) == "café"
    assert s(lib.korvith_element_attribute(root, b"a")) == "é"


@pytest.mark.parametrize(
    "data",
    [
        "<?xml version='1.0' encoding='UTF-8'?><r>café</r>".encode("latin-1"),
        b"\xef\xbb\xbf<r>caf\xe9</r>",
    ],
)
def test_parse_with_encoding_keeps_declared_encodings_strict(data: bytes) -> None:
    status = ctypes.c_int(0)
    assert lib.korvith_parse_with_encoding(data, len(data), ctypes.byref(status)) is None
    assert status.value != 0


def test_module_parse_with_encoding(mdoc) -> None:
    address, capsule, status = accel.parse_with_encoding("<r>ü</r>".encode("latin-1"), False)
    assert status == 0
    doc = Doc(address, capsule)
    try:
        assert accel.document_root(address, doc).text == "ü"
    finally:
        doc.close()


def test_document_does_not_refer_into_input_buffer(docs) -> None:
    buf = ctypes.create_string_buffer(b"<r a='v'><c>text</c></r>")
    status = ctypes.c_int(0)
    doc = docs.keep(lib.korvith_parse_string_inplace_fn(buf, len(buf.value), ctypes.byref(status)))
    assert doc and status.value == 0
    ctypes.memset(buf, ord("X"), len(buf.value))
    root = lib.korvith_document_root(doc)
    child = lib.korvith_element_child(root, 0)
    assert s(lib.korvith_element_name(root)) == "r"
    assert s(lib.korvith_element_attribute(root, b"a")) == "v"
    assert s(lib.korvith_text_node_get_content(lib.korvith_node_first_child(child))) == "text"


def test_module_parse_inplace_with_flags() -> None:
    buf = ctypes.create_string_buffer(b"<r>\n  <a/>\n</r>")
    address, capsule, status = accel.parse_inplace(ctypes.addressof(buf), len(buf.value), False,
                                                   NOBLANKS)
    doc = Doc(address, capsule)
    try:
        root = accel.document_root(address, doc)
        assert status == 0 and root.text is None and root[0].tag == "a"
    finally:
        doc.close()


def test_parse_file(tmp_path, docs) -> None:
    path = tmp_path / "doc.xml"
    path.write_bytes("<?xml version='1.0' encoding='ISO-8859-1'?><r>ä</r>".encode("latin-1"))
    status = ctypes.c_int(0)
    doc = docs.keep(lib.korvith_parse_file(str(path).encode(), ctypes.byref(status)))
    assert doc and status.value == 0
    root = lib.korvith_document_root(doc)
    assert s(lib.korvith_text_node_get_content(lib.korvith_node_first_child(root))) == "ä"


def test_module_parse_file(tmp_path) -> None:
    path = tmp_path / "m.xml"
    path.write_bytes(b"<r><c/></r>")
    address, capsule, status = accel.parse_file(str(path).encode())
    doc = Doc(address, capsule)
    try:
        assert status == 0 and len(accel.document_root(address, doc)) == 1
    finally:
        doc.close()


@pytest.mark.parametrize(("name", "code"), [("missing.xml", XML_IO_ENOENT), ("", 1517)])
def test_parse_file_errors(tmp_path, name: str, code: int) -> None:
    status = ctypes.c_int(0)
    path = str(tmp_path / name).encode()  # "" names the directory itself
    assert lib.korvith_parse_file(path, ctypes.byref(status)) is None
    assert status.value == code
    assert tmp_path.name in last_error()[1]


def test_parse_file_of_malformed_content(tmp_path) -> None:
    path = tmp_path / "bad.xml"
    path.write_bytes(b"<r>\n<a></b></r>")
    status = ctypes.c_int(0)
    assert lib.korvith_parse_file(str(path).encode(), ctypes.byref(status)) is None
    assert status.value == XML_ERR_TAG_NAME_MISMATCH
    assert last_error()[2] == 2


def test_many_parses_and_frees_in_threads() -> None:
    def work() -> None:
        for i in range(200):
            data = f"<r n='{i}'><c>{i}</c></r>".encode()
            status = ctypes.c_int(0)
            doc = lib.korvith_parse_string_fn(data, len(data), ctypes.byref(status))
            root = lib.korvith_document_root(doc)
            assert s(lib.korvith_element_attribute(root, b"n")) == str(i)
            lib.korvith_document_free(doc)

    assert run_in_threads([work] * 4) == []


@pytest.mark.parametrize("data", [b"<a>\xef\xbf\xbe</a>", b"<a>\xef\xbf\xbf\xc3\xa9</a>",
                                  b"<a>\x01\xc3\xa9</a>"])
def test_valid_utf8_with_a_forbidden_character_is_not_reread_as_latin1(data: bytes) -> None:
    # It used to parse as ISO-8859-1 ("\xef\xbf\xbe" read as "ï¿¾").
    with pytest.raises(ParseError) as err:
        korvith.parse(data)
    assert err.value.status == 9
    with pytest.raises(ParseError):
        list(korvith.iterparse(data))


def test_undeclared_latin1_is_an_error_unless_the_encoding_is_named() -> None:
    # The module's parse_with_encoding still falls back to ISO-8859-1 (its
    # documented behaviour); the package never re-reads input silently.
    address, _, status = accel.parse_with_encoding(b"<a k='\xe9'>caf\xe9</a>", False)
    assert address and status == 0
    lib.korvith_document_free(address)
    with pytest.raises(ParseError, match="Invalid bytes in character encoding"):
        korvith.fromstring(b"<a k='\xe9'>caf\xe9</a>")
    root = korvith.fromstring(b"<a k='\xe9'>caf\xe9</a>", encoding="latin-1")
    assert (root.text, root.get("k")) == ("caf\u00e9", "\u00e9")
