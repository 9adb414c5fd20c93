"""XML Schema, RELAX NG and DTD validation, with lxml as the oracle for
verdicts, error lines and element paths, and the hostile cases: cycles,
network and out-of-tree includes, entity bombs, leaks between calls."""

from __future__ import annotations

import io
import socket
import threading
import time
from pathlib import Path

import pytest
from lxml import etree

import korvith
from corpus import MIME_NS, MIME_RNG, MIME_XSD, XML_XSD, gir, mime_database

XS = 'xmlns:xs="http://www.w3.org/2001/XMLSchema"'
RNG = 'xmlns="http://relaxng.org/ns/structure/1.0"'


@pytest.fixture
def schema_dir(tmp_path: Path) -> Path:
    (tmp_path / "mime.xsd").write_text(MIME_XSD)
    (tmp_path / "xml.xsd").write_text(XML_XSD)
    (tmp_path / "mime.rng").write_text(MIME_RNG)
    return tmp_path


def _lxml_verdict(kind: str, schema_path: Path, data: bytes) -> tuple[bool, list[tuple]]:
    cls = {"xsd": etree.XMLSchema, "rng": etree.RelaxNG}[kind]
    validator = cls(etree.parse(str(schema_path)))
    ok = validator.validate(etree.fromstring(data))
    return ok, [(e.line, e.message, e.path) for e in validator.error_log]


def _korvith_verdict(validator, data: bytes) -> tuple[bool, list[tuple]]:
    with korvith.parse(data) as doc:
        ok = validator.validate(doc)
    return ok, [(e.line, e.message, e.path) for e in validator.error_log]


@pytest.mark.parametrize("kind,cls,name", [("xsd", korvith.XMLSchema, "mime.xsd"),
                                           ("rng", korvith.RelaxNG, "mime.rng")])
@pytest.mark.parametrize("bad", [None, 0, 4])
def test_mime_database_verdicts_and_errors_match_lxml(schema_dir, kind, cls, name, bad) -> None:
    data = mime_database(types=6, bad_line_type=bad)
    validator = cls(schema_dir / name)
    got = _korvith_verdict(validator, data)
    assert got == _lxml_verdict(kind, schema_dir / name, data)
    assert got[0] is (bad is None)
    if bad is not None:
        # The bad glob is on line 6 + 7 * bad of the generated file, the
        # third child of the type.
        assert got[1][0][0] == 6 + 7 * bad
        assert got[1][0][2] == f"/*/*[{bad + 1}]/*[3]"


def test_error_entries_carry_line_column_path_and_level(schema_dir) -> None:
    schema = korvith.XMLSchema(schema_dir / "mime.xsd")
    with korvith.parse(mime_database(types=3, bad_line_type=1)) as doc:
        assert schema.validate(doc) is False
    (entry,) = schema.error_log
    assert (entry.line, entry.column, entry.level) == (13, 0, "error")
    assert "'heavy' is not a valid value" in entry.message and "xs:int" in entry.message
    assert entry.path == "/*/*[2]/*[3]"
    assert str(entry) == f"<input>:13:0: {entry.message}"
    with korvith.parse(mime_database(types=3, bad_line_type=1)) as doc:
        with pytest.raises(korvith.ValidationError) as info:
            schema.assert_valid(doc)
    assert str(info.value).startswith("line 13: ") and len(info.value.error_log) == 1


def test_errors_of_one_call_never_reach_the_next(schema_dir) -> None:
    schema = korvith.XMLSchema(schema_dir / "mime.xsd")
    with korvith.parse(mime_database(bad_line_type=2)) as bad, \
            korvith.parse(mime_database()) as good:
        assert not schema.validate(bad) and len(schema.error_log) == 1
        assert schema.validate(good) and len(schema.error_log) == 0
        schema.assert_valid(good)
        assert not schema.validate(bad) and len(schema.error_log) == 1


def test_validating_an_element_validates_its_subtree_like_lxml() -> None:
    xsd = f'<xs:schema {XS}><xs:element name="item"><xs:complexType>' \
          '<xs:attribute name="n" type="xs:int"/></xs:complexType></xs:element></xs:schema>'
    schema = korvith.XMLSchema(xsd.encode())
    lschema = etree.XMLSchema(etree.fromstring(xsd))
    data = b'<shop>\n<item n="1"/>\n<item n="x"/>\n</shop>'
    ltree = etree.fromstring(data)
    with korvith.parse(data) as doc:
        items = doc.findall("item")
        verdicts = [schema.validate(item) for item in items]
        assert verdicts == [lschema.validate(el) for el in ltree] == [True, False]
        assert [e.line for e in schema.error_log] == [3]
        assert schema.validate(doc) is False  # <shop> is not declared


@pytest.mark.parametrize("kind", ["xsd", "rng", "dtd", "internal"])
def test_validation_never_changes_the_document(kind) -> None:
    # Defaults that libxml2 would add, IDs it would register.
    data = (b'<!DOCTYPE r [<!ELEMENT r (e*)><!ELEMENT e (#PCDATA)>'
            b'<!ATTLIST e id ID #REQUIRED d CDATA "dflt">]>\n'
            b'<r>\n  <e id="a">x</e>\n  <e id="b"> y </e>\n</r>')
    validators = {
        "xsd": lambda: korvith.XMLSchema(
            f'<xs:schema {XS}><xs:element name="r"><xs:complexType><xs:sequence>'
            '<xs:element name="e" maxOccurs="9"><xs:complexType><xs:simpleContent>'
            '<xs:extension base="xs:token"><xs:attribute name="id" type="xs:ID"/>'
            '<xs:attribute name="d" default="dflt"/></xs:extension></xs:simpleContent>'
            '</xs:complexType></xs:element></xs:sequence></xs:complexType></xs:element>'
            '</xs:schema>'.encode()),
        "rng": lambda: korvith.RelaxNG(
            f'<element name="r" {RNG}><zeroOrMore><element name="e"><attribute name="id"/>'
            '<text/></element></zeroOrMore></element>'.encode()),
        "dtd": lambda: korvith.DTD('<!ELEMENT r (e*)><!ELEMENT e (#PCDATA)>'
                                   '<!ATTLIST e id ID #REQUIRED d CDATA "dflt">'),
    }
    # Defaults off at parse, so that any the validation added would show.
    with korvith.parse(data, attribute_defaults=False) as doc:
        before = doc.tobytes()
        if kind == "internal":
            assert korvith.validate_internal_dtd(doc)[0] is True
        else:
            assert validators[kind]().validate(doc) is True
        assert doc.tobytes() == before
        assert doc.root[0].get("d") is None


# ------------------------------------------------------------------ DTDs

DTD_TEXT = ('<!ELEMENT shop (item+)>\n<!ELEMENT item (name, price?)>\n'
            '<!ATTLIST item id CDATA #REQUIRED>\n<!ELEMENT name (#PCDATA)>\n'
            '<!ELEMENT price (#PCDATA)>\n')


@pytest.mark.parametrize("data", [
    b'<shop><item id="1"><name>a</name></item></shop>',
    b'<shop>\n<item><name>a</name></item>\n<item id="2"><price>1</price></item>\n</shop>',
    b'<shop>\n<item id="1"><name>a</name><extra/></item>\n</shop>',
])
@pytest.mark.parametrize("how", ["text", "bytes", "path", "file"])
def test_dtd_verdicts_and_lines_match_lxml(tmp_path, data, how) -> None:
    path = tmp_path / "shop.dtd"
    path.write_text(DTD_TEXT)
    source = {"text": DTD_TEXT, "bytes": DTD_TEXT.encode(), "path": str(path),
              "file": io.BytesIO(DTD_TEXT.encode())}[how]
    dtd = korvith.DTD(source)
    ldtd = etree.DTD(io.StringIO(DTD_TEXT))
    lok = ldtd.validate(etree.fromstring(data))
    with korvith.parse(data) as doc:
        assert dtd.validate(doc) is lok
    assert [(e.line, e.message) for e in dtd.error_log] == \
        [(e.line, e.message) for e in ldtd.error_log]


@pytest.mark.parametrize("body,valid", [
    (b'<r><e>x</e></r>', True),
    (b'<r>\n<e>x</e>\n<f/>\n</r>', False),
])
def test_internal_dtd_matches_lxml(body, valid) -> None:
    data = b'<!DOCTYPE r [<!ELEMENT r (e*)><!ELEMENT e (#PCDATA)>]>\n' + body
    ltree = etree.ElementTree(etree.fromstring(data))
    linternal = ltree.docinfo.internalDTD
    assert linternal.validate(ltree) is valid
    with korvith.parse(data) as doc:
        ok, log = korvith.validate_internal_dtd(doc)
    assert ok is valid
    assert [(e.line, e.message) for e in log] == \
        [(e.line, e.message) for e in linternal.error_log]


def test_internal_dtd_needs_a_dtd_and_never_loads_an_external_one(tmp_path) -> None:
    with korvith.parse(b"<r/>") as doc, pytest.raises(korvith.ValidationError,
                                                      match="has no DTD"):
        korvith.validate_internal_dtd(doc)
    secret = tmp_path / "ext.dtd"
    secret.write_text("<!ELEMENT r EMPTY>")
    data = f'<!DOCTYPE r SYSTEM "{secret}" [<!ELEMENT r (x)>]><r/>'.encode()
    with korvith.parse(data) as doc:
        ok, log = korvith.validate_internal_dtd(doc)
    # Only the internal subset counts: <r/> lacks its required <x>.
    assert ok is False and "r" in log[0].message


# ------------------------------------------------------------------ hostile

class Listener:
    """A local TCP listener: proves that no connection was attempted."""

    def __init__(self) -> None:
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(0.3)
        self.port = self.sock.getsockname()[1]

    def assert_untouched(self) -> None:
        with pytest.raises(TimeoutError):
            self.sock.accept()
        self.sock.close()


@pytest.fixture
def listener():
    return Listener()


def _bomb() -> str:
    ents = '<!ENTITY a "aaaaaaaaaa">' + "".join(
        f'<!ENTITY {c} "{("&" + p + ";") * 10}">' for p, c in zip("abcdefg", "bcdefgh"))
    return f"<!DOCTYPE s [{ents}]>"


@pytest.mark.parametrize("name,text,needle", [
    ("self.xsd", f'<xs:schema {XS}><xs:include schemaLocation="self.xsd"/></xs:schema>',
     "must not import/include/redefine itself"),
    ("net.xsd", f'<xs:schema {XS}><xs:import namespace="urn:x" '
                'schemaLocation="http://127.0.0.1:{port}/x.xsd"/></xs:schema>',
     "refused to load 'http://127.0.0.1:{port}/x.xsd': network access is not allowed"),
    ("etc.xsd", f'<xs:schema {XS}><xs:include schemaLocation="file:///etc/passwd"/>'
                '</xs:schema>',
     "refused to load 'file:///etc/passwd': outside the allowed directories"),
    ("up.xsd", f'<xs:schema {XS}><xs:include schemaLocation="../outside.xsd"/></xs:schema>',
     "outside.xsd': outside the allowed directories"),
    ("bomb.xsd", _bomb() + f'<xs:schema {XS}><xs:element name="r" fixed="&h;"/></xs:schema>',
     "amplification"),
    ("self.rng", f'<grammar {RNG}><include href="self.rng"/><start><element name="r">'
                 '<empty/></element></start></grammar>', "Include recursion"),
    ("net.rng", f'<grammar {RNG}><start><externalRef href="http://127.0.0.1:' + '{port}/x.rng"/>'
                '</start></grammar>', "network access is not allowed"),
    ("etc.rng", f'<grammar {RNG}><start><externalRef href="/etc/passwd"/></start></grammar>',
     "refused to load '/etc/passwd'"),
    ("net.dtd", '<!ENTITY % p SYSTEM "http://127.0.0.1:{port}/p.dtd"> %p;',
     "network access is not allowed"),
])
def test_hostile_schemas_fail_naming_the_resource(tmp_path, listener, name, text, needle) -> None:
    sub = tmp_path / "s"
    sub.mkdir()
    (tmp_path / "outside.xsd").write_text(f'<xs:schema {XS}/>')
    path = sub / name
    path.write_text(text.replace("{port}", str(listener.port)))
    cls = {".xsd": korvith.XMLSchema, ".rng": korvith.RelaxNG, ".dtd": korvith.DTD}[path.suffix]
    started = time.monotonic()
    with pytest.raises(korvith.SchemaError) as info:
        cls(path)
    assert time.monotonic() - started < 2
    messages = [e.message for e in info.value.error_log]
    assert any(needle.replace("{port}", str(listener.port)) in m for m in messages), messages
    listener.assert_untouched()


def test_includes_resolve_next_to_the_schema_or_in_allowed_dirs(tmp_path) -> None:
    lib, main = tmp_path / "lib", tmp_path / "main"
    lib.mkdir()
    main.mkdir()
    (lib / "types.xsd").write_text(f'<xs:schema {XS}><xs:simpleType name="T">'
                                   '<xs:restriction base="xs:int"/></xs:simpleType></xs:schema>')
    (main / "near.xsd").write_text((lib / "types.xsd").read_text())
    body = '<xs:element name="r" type="T"/></xs:schema>'
    (main / "a.xsd").write_text(f'<xs:schema {XS}><xs:include schemaLocation="near.xsd"/>{body}')
    (main / "b.xsd").write_text(
        f'<xs:schema {XS}><xs:include schemaLocation="../lib/types.xsd"/>{body}')
    with korvith.parse(b"<r>x</r>") as bad, korvith.parse(b"<r>5</r>") as good:
        for schema in (korvith.XMLSchema(main / "a.xsd"),
                       korvith.XMLSchema(main / "b.xsd", allow_dirs=[lib])):
            assert (schema.validate(good), schema.validate(bad)) == (True, False)
    with pytest.raises(korvith.SchemaError, match="types.xsd': outside the allowed"):
        korvith.XMLSchema(main / "b.xsd")
    # A schema from bytes has no directory of its own: nothing is readable.
    with pytest.raises(korvith.SchemaError, match="refused to load 'near.xsd'"):
        korvith.XMLSchema((main / "a.xsd").read_bytes())


def test_parallel_validations_keep_their_own_errors(schema_dir) -> None:
    schema = korvith.XMLSchema(schema_dir / "mime.xsd")
    bad, good = mime_database(bad_line_type=3), mime_database()
    failures: list[str] = []

    def work(data: bytes, expect: bool) -> None:
        for _ in range(30):
            with korvith.parse(data) as doc:
                diag_ok = korvith.XMLSchema(schema_dir / "mime.xsd").validate(doc)
                if diag_ok is not expect:
                    failures.append(f"{expect} got {diag_ok}")

    threads = [threading.Thread(target=work, args=(d, e)) for d, e in
               [(bad, False), (good, True)] * 2]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert schema.validate(korvith.parse(good)) and not schema.error_log


@pytest.mark.parametrize("bad", [42, None, b"<not-a-doc/>".decode()])
def test_bad_arguments_raise_type_errors(schema_dir, bad) -> None:
    schema = korvith.XMLSchema(schema_dir / "mime.xsd")
    with pytest.raises(TypeError, match="korvith Document or Element"):
        schema.validate(bad)


def test_closed_documents_and_schemas_are_refused(schema_dir) -> None:
    schema = korvith.XMLSchema(schema_dir / "mime.xsd")
    doc = korvith.parse(mime_database())
    root = doc.root
    doc.close()
    for node in (doc, root):
        with pytest.raises(korvith.KorvithError, match="closed document"):
            schema.validate(node)
    schema.close()
    with korvith.parse(mime_database()) as doc, pytest.raises(korvith.KorvithError,
                                                              match="closed schema"):
        schema.validate(doc)


def test_schema_from_a_document_and_gir_against_a_generated_schema() -> None:
    xsd = korvith.parse(
        f'<xs:schema {XS} targetNamespace="http://www.gtk.org/introspection/core/1.0" '
        'elementFormDefault="qualified"><xs:element name="repository">'
        '<xs:complexType><xs:sequence><xs:any processContents="skip" maxOccurs="unbounded"/>'
        '</xs:sequence><xs:attribute name="version" type="xs:decimal"/>'
        '<xs:anyAttribute processContents="skip"/></xs:complexType></xs:element>'
        '</xs:schema>'.encode())
    schema = korvith.XMLSchema(xsd)
    with korvith.parse(gir()) as doc:
        assert schema.validate(doc) is True
    with korvith.parse(gir().replace(b'version="1.2"', b'version="x"')) as doc:
        assert schema.validate(doc) is False
        assert schema.error_log[0].line == 2
    assert MIME_NS in mime_database().decode()


def test_subclasses_cannot_substitute_addresses(schema_dir) -> None:
    class Sneaky(korvith.Document):
        def _check(self) -> int:  # would hand the engine a bogus address
            return 0xDEAD

    schema = korvith.XMLSchema(schema_dir / "mime.xsd")
    doc = korvith.parse(mime_database())
    with pytest.raises(TypeError, match="cannot be created directly"):
        Sneaky(doc._address, doc._accel_registry)
    sneaky = Sneaky._adopt(doc._address, doc._accel_registry, filename=None,
                           release=lambda *a: None)
    assert schema.validate(sneaky) is True  # the real address was used
    assert korvith.canonicalize(sneaky) == korvith.canonicalize(doc)
    doc.close()
