"""Corpus-like inputs written by the tests: a shared-MIME-info database and
a GObject introspection (GIR) file, with the schemas and stylesheets used on
them. Generated, so every test can make a variant (an invalid value on a
known line, a namespace on a subtree) and know where it is."""

from __future__ import annotations

MIME_NS = "http://www.freedesktop.org/standards/shared-mime-info"


def mime_database(types: int = 6, bad_line_type: int | None = None) -> bytes:
    """A freedesktop.org MIME database; with ``bad_line_type`` = i, the
    i-th type's glob weight is not a number."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<mime-info xmlns="{MIME_NS}">']
    for i in range(types):
        weight = "heavy" if i == bad_line_type else str(50 + i)
        lines += [
            f'  <mime-type type="application/x-test{i}">',
            f'    <comment>Test document {i}</comment>',
            f'    <comment xml:lang="de">Testdokument {i}</comment>',
            f'    <glob pattern="*.t{i}" weight="{weight}"/>',
            '    <!-- magic follows -->',
            f'    <magic priority="{40 + i}"><match type="string" offset="0" '
            f'value="T{i}&amp;x"/></magic>',
            '  </mime-type>',
        ]
    lines.append('</mime-info>')
    return ("\n".join(lines) + "\n").encode("utf-8")


MIME_XSD = f"""<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="{MIME_NS}"
           xmlns:m="{MIME_NS}" elementFormDefault="qualified">
  <xs:import namespace="http://www.w3.org/XML/1998/namespace" schemaLocation="xml.xsd"/>
  <xs:element name="mime-info">
    <xs:complexType><xs:sequence>
      <xs:element name="mime-type" maxOccurs="unbounded" type="m:MimeType"/>
    </xs:sequence></xs:complexType>
  </xs:element>
  <xs:complexType name="MimeType">
    <xs:sequence>
      <xs:element name="comment" maxOccurs="unbounded">
        <xs:complexType><xs:simpleContent><xs:extension base="xs:string">
          <xs:attribute ref="xml:lang"/>
        </xs:extension></xs:simpleContent></xs:complexType>
      </xs:element>
      <xs:element name="glob" minOccurs="0" maxOccurs="unbounded">
        <xs:complexType>
          <xs:attribute name="pattern" type="xs:string" use="required"/>
          <xs:attribute name="weight" type="xs:int"/>
        </xs:complexType>
      </xs:element>
      <xs:element name="magic" minOccurs="0" maxOccurs="unbounded" type="m:Magic"/>
    </xs:sequence>
    <xs:attribute name="type" type="xs:string" use="required"/>
  </xs:complexType>
  <xs:complexType name="Magic">
    <xs:sequence><xs:element name="match" maxOccurs="unbounded">
      <xs:complexType>
        <xs:attribute name="type" type="xs:string"/>
        <xs:attribute name="offset" type="xs:string"/>
        <xs:attribute name="value" type="xs:string"/>
      </xs:complexType>
    </xs:element></xs:sequence>
    <xs:attribute name="priority" type="xs:int"/>
  </xs:complexType>
</xs:schema>
"""

XML_XSD = """<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"
           targetNamespace="http://www.w3.org/XML/1998/namespace">
  <xs:attribute name="lang" type="xs:language"/>
</xs:schema>
"""

MIME_RNG = f"""<?xml version="1.0"?>
<grammar xmlns="http://relaxng.org/ns/structure/1.0" ns="{MIME_NS}"
         datatypeLibrary="http://www.w3.org/2001/XMLSchema-datatypes">
  <start><element name="mime-info"><oneOrMore><ref name="type"/></oneOrMore></element></start>
  <define name="type">
    <element name="mime-type">
      <attribute name="type"/>
      <oneOrMore><element name="comment">
        <optional><attribute name="xml:lang" ns="http://www.w3.org/XML/1998/namespace"/></optional>
        <text/></element></oneOrMore>
      <zeroOrMore><element name="glob"><attribute name="pattern"/>
        <optional><attribute name="weight"><data type="int"/></attribute></optional>
      </element></zeroOrMore>
      <zeroOrMore><element name="magic"><attribute name="priority"><data type="int"/></attribute>
        <oneOrMore><element name="match"><attribute name="type"/><attribute name="offset"/>
          <attribute name="value"/></element></oneOrMore>
      </element></zeroOrMore>
    </element>
  </define>
</grammar>
"""

GIR_NS = "http://www.gtk.org/introspection/core/1.0"
C_NS = "http://www.gtk.org/introspection/c/1.0"
GLIB_NS = "http://www.gtk.org/introspection/glib/1.0"


def gir(classes: int = 3, doctype: str = "") -> bytes:
    """A GObject introspection repository with classes, methods and docs."""
    out = ['<?xml version="1.0"?>', doctype,
           f'<repository version="1.2" xmlns="{GIR_NS}" xmlns:c="{C_NS}" '
           f'xmlns:glib="{GLIB_NS}">',
           '  <include name="GObject" version="2.0"/>',
           '  <namespace name="Test" version="1.0" shared-library="libtest.so" '
           'c:identifier-prefixes="Test" c:symbol-prefixes="test">']
    for i in range(classes):
        out += [
            f'    <class name="Widget{i}" c:type="TestWidget{i}" parent="GObject.Object" '
            f'glib:type-name="TestWidget{i}" glib:get-type="test_widget{i}_get_type">',
            f'      <doc xml:space="preserve">A widget &lt;number&gt; {i}\t&amp; more.</doc>',
            f'      <method name="show" c:identifier="test_widget{i}_show">',
            '        <return-value transfer-ownership="none"><type name="none" c:type="void"/>'
            '</return-value>',
            '        <parameters><instance-parameter name="self" transfer-ownership="none">'
            f'<type name="Widget{i}" c:type="TestWidget{i}*"/></instance-parameter></parameters>',
            '      </method>',
            '      <!-- properties -->',
            f'      <property name="size" writable="1" transfer-ownership="none">'
            f'<type name="gint" c:type="gint"/></property>',
            '    </class>',
        ]
    out += ['  </namespace>', '</repository>']
    return ("\n".join(line for line in out if line) + "\n").encode("utf-8")


# A stylesheet that lists a GIR file's classes and methods as a small XML
# report (keys, sorting, attribute value templates, modes, EXSLT).
GIR_XSL = f"""<?xml version="1.0"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:g="{GIR_NS}" xmlns:c="{C_NS}" xmlns:str="http://exslt.org/strings"
    exclude-result-prefixes="g c str">
  <xsl:output method="xml" indent="no"/>
  <xsl:param name="title" select="'classes'"/>
  <xsl:key name="by-name" match="g:class" use="@name"/>
  <xsl:template match="/">
    <report title="{{$title}}" count="{{count(//g:class)}}">
      <xsl:apply-templates select="//g:class">
        <xsl:sort select="@name" order="descending"/>
      </xsl:apply-templates>
      <first><xsl:value-of select="key('by-name', 'Widget0')/@c:type"/></first>
    </report>
  </xsl:template>
  <xsl:template match="g:class">
    <class name="{{@name}}" upper="{{str:padding(2, '*')}}{{translate(@name, 'idgetw', 'IDGETW')}}">
      <xsl:for-each select="g:method"><m><xsl:value-of select="@c:identifier"/></m></xsl:for-each>
    </class>
  </xsl:template>
</xsl:stylesheet>
"""

MIME_TEXT_XSL = f"""<?xml version="1.0"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:m="{MIME_NS}">
  <xsl:output method="text" encoding="UTF-8"/>
  <xsl:param name="sep" select="':'"/>
  <xsl:template match="/">
    <xsl:for-each select="//m:mime-type">
      <xsl:value-of select="concat(@type, $sep, m:glob/@pattern, '&#10;')"/>
    </xsl:for-each>
  </xsl:template>
</xsl:stylesheet>
"""
