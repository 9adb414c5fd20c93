"""Deterministic benchmark corpora, written once and cached.

Each generator builds a file shaped like a real-world document that XML
users spend time on, from a seeded random generator, so every run and
every machine measures the same bytes:

- ``gir``: a GObject-introspection repository (~10 MB at scale 1): three
  namespaces, deep class/method/parameter nesting, attribute-heavy
  elements, documentation text; the class named ``Window`` sits late in
  the file, as it does in Gtk's.
- ``mime``: a shared-MIME-info database (~2.5 MB): an internal DTD subset
  with entities, many translated comments per type (``xml:lang``), globs
  and magic rules.
- ``cldr``: a directory of small locale files (1,122 at scale 1, a few KB
  each), for the per-document cost of parsing many files.
- ``records``: 20,000 flat records with a namespaced child, for typed
  extraction and per-element child lookups.
- ``stream``: a large record stream for the streaming rows; its size is a
  parameter (megabytes), not a scale.

The scale factor shrinks or grows every corpus but the stream
(``scale=0.01`` gives tiny files for a smoke test). Files are cached under
``bench/.corpus`` (git ignores it) or ``$KORVITH_BENCH_CACHE``; the file name carries the parameters, a
new parameter gives a new file, and a file is written to a temporary name
first so an interrupted run never leaves a truncated corpus behind.
"""

from __future__ import annotations

import os
import random
from collections.abc import Callable, Iterator
from pathlib import Path

# KORVITH_BENCH_CACHE moves the cache (the tests use a temporary one).
CACHE = Path(os.environ.get("KORVITH_BENCH_CACHE") or Path(__file__).resolve().parent / ".corpus")

GIR_CORE = "http://www.gtk.org/introspection/core/1.0"
GIR_C = "http://www.gtk.org/introspection/c/1.0"
GIR_GLIB = "http://www.gtk.org/introspection/glib/1.0"
MIME_NS = "http://www.freedesktop.org/standards/shared-mime-info"
RECORDS_NS = "urn:x"

_WORDS = ("the widget window value default signal emitted when a an of to is returns "
          "object property child parent allocation size style context toplevel "
          "focus event button label text buffer iter path tree model column row "
          "selection cursor position index count flags mode state visible").split()
_TYPES = [("gint", "gint"), ("gboolean", "gboolean"), ("utf8", "const gchar*"),
          ("gdouble", "gdouble"), ("guint", "guint"), ("Widget", "GtkWidget*"),
          ("GObject.Object", "GObject*"), ("none", "void")]
_LANGS = ("af ar ast be bg ca cs da de el en_GB eo es eu fi fr ga gl he hr hu ia id "
          "it ja kk ko lt lv ms nb nl nn pl pt pt_BR ro ru sk sl sq sr sv tr uk vi "
          "zh_CN zh_TW").split()


def _sentence(rng: random.Random, lo: int, hi: int) -> str:
    words = [rng.choice(_WORDS) for _ in range(rng.randint(lo, hi))]
    return " ".join(words).capitalize() + "."


def _esc(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


# ------------------------------------------------------------------ GIR

def _gir_type(rng: random.Random) -> str:
    name, ctype = rng.choice(_TYPES)
    return f'<type name="{name}" c:type="{ctype}"/>'


def _gir_callable(rng: random.Random, kind: str, cls: str, name: str) -> str:
    symbol = f"gtk_{cls.lower()}_{name}"
    parts = [f'      <{kind} name="{name}" c:identifier="{symbol}"'
             + (' version="3.%d"' % rng.randint(0, 24) if rng.random() < 0.4 else "") + ">\n",
             f'        <doc xml:space="preserve">{_esc(_sentence(rng, 6, 30))}</doc>\n',
             '        <return-value transfer-ownership="none">\n'
             f"          {_gir_type(rng)}\n        </return-value>\n",
             "        <parameters>\n"]
    if kind == "method":
        parts.append('          <instance-parameter name="self" transfer-ownership="none">\n'
                     f'            <type name="{cls}" c:type="Gtk{cls}*"/>\n'
                     "          </instance-parameter>\n")
    for i in range(rng.randint(0, 4)):
        parts.append(f'          <parameter name="{rng.choice(_WORDS)}_{i}" transfer-ownership="none">\n'
                     f'            <doc xml:space="preserve">{_esc(_sentence(rng, 3, 12))}</doc>\n'
                     f"            {_gir_type(rng)}\n          </parameter>\n")
    parts.append(f"        </parameters>\n      </{kind}>\n")
    return "".join(parts)


def _gir_class(rng: random.Random, cls: str) -> str:
    parts = [f'    <class name="{cls}" c:symbol-prefix="{cls.lower()}" c:type="Gtk{cls}" '
             f'parent="Widget" glib:type-name="Gtk{cls}" glib:get-type="gtk_{cls.lower()}_get_type" '
             f'glib:type-struct="{cls}Class">\n',
             f'      <doc xml:space="preserve">{_esc(_sentence(rng, 20, 80))}</doc>\n',
             '      <implements name="Atk.ImplementorIface"/>\n      <implements name="Buildable"/>\n',
             _gir_callable(rng, "constructor", cls, "new")]
    for i in range(rng.randint(8, 30)):
        parts.append(_gir_callable(rng, "method", cls, f"{rng.choice(('get', 'set', 'is'))}_{rng.choice(_WORDS)}_{i}"))
    for i in range(rng.randint(2, 8)):
        parts.append(f'      <property name="{rng.choice(_WORDS)}-{i}" writable="1" transfer-ownership="none">\n'
                     f'        <doc xml:space="preserve">{_esc(_sentence(rng, 4, 16))}</doc>\n'
                     f"        {_gir_type(rng)}\n      </property>\n")
    for i in range(rng.randint(1, 4)):
        parts.append(f'      <glib:signal name="{rng.choice(_WORDS)}-{i}" when="last">\n'
                     f'        <doc xml:space="preserve">{_esc(_sentence(rng, 4, 16))}</doc>\n'
                     '        <return-value transfer-ownership="none">\n'
                     '          <type name="none" c:type="void"/>\n        </return-value>\n'
                     "      </glib:signal>\n")
    parts.append("    </class>\n")
    return "".join(parts)


def _gir_enum(rng: random.Random, name: str) -> str:
    members = "".join(f'      <member name="{w}_{i}" value="{i}" c:identifier="GTK_{name.upper()}_{w.upper()}_{i}"/>\n'
                      for i, w in enumerate(rng.choice(_WORDS) for _ in range(rng.randint(3, 12))))
    return (f'    <enumeration name="{name}" c:type="Gtk{name}" glib:type-name="Gtk{name}">\n'
            f'      <doc xml:space="preserve">{_esc(_sentence(rng, 5, 20))}</doc>\n'
            f"{members}    </enumeration>\n")


def write_gir(scale: float = 1.0) -> Iterator[str]:
    """The GIR-like document, as text chunks."""
    rng = random.Random(13)
    target = int(10_000_000 * scale)
    yield ('<?xml version="1.0"?>\n'
           f'<repository version="1.2" xmlns="{GIR_CORE}" xmlns:c="{GIR_C}" xmlns:glib="{GIR_GLIB}">\n'
           '  <include name="GObject" version="2.0"/>\n  <package name="gtk+-3.0"/>\n'
           '  <namespace name="Gtk" version="3.0" shared-library="libgtk-3.so.0" '
           'c:identifier-prefixes="Gtk" c:symbol-prefixes="gtk">\n')
    size, n = 0, 0
    placed_window = False
    while size < target:
        # "Window" comes at about 90% of the file, as in Gtk's own.
        if not placed_window and size >= 0.9 * target:
            chunk = _gir_class(rng, "Window")
            placed_window = True
        elif n % 5 == 4:
            chunk = _gir_enum(rng, f"Enum{n}")
        else:
            chunk = _gir_class(rng, f"Widget{n}")
        n += 1
        size += len(chunk)
        yield chunk
    if not placed_window:
        yield _gir_class(rng, "Window")
    yield "  </namespace>\n</repository>\n"


# ------------------------------------------------------------------ MIME

_MIME_DTD = """<!DOCTYPE mime-info [
  <!ENTITY fdo "freedesktop.org">
  <!ENTITY doc "document">
  <!ELEMENT mime-info (mime-type)+>
  <!ELEMENT mime-type (comment|acronym|expanded-acronym|icon|generic-icon|glob|magic|alias|sub-class-of)*>
  <!ATTLIST mime-type type CDATA #REQUIRED>
  <!ELEMENT comment (#PCDATA)>
  <!ATTLIST comment xml:lang CDATA #IMPLIED>
  <!ELEMENT acronym (#PCDATA)>
  <!ELEMENT expanded-acronym (#PCDATA)>
  <!ELEMENT icon EMPTY>
  <!ATTLIST icon name CDATA #REQUIRED>
  <!ELEMENT generic-icon EMPTY>
  <!ATTLIST generic-icon name CDATA #REQUIRED>
  <!ELEMENT glob EMPTY>
  <!ATTLIST glob pattern CDATA #REQUIRED weight CDATA #IMPLIED case-sensitive CDATA #IMPLIED>
  <!ELEMENT magic (match)+>
  <!ATTLIST magic priority CDATA #IMPLIED>
  <!ELEMENT match (match)*>
  <!ATTLIST match offset CDATA #REQUIRED type CDATA #REQUIRED value CDATA #REQUIRED mask CDATA #IMPLIED>
  <!ELEMENT alias EMPTY>
  <!ATTLIST alias type CDATA #REQUIRED>
  <!ELEMENT sub-class-of EMPTY>
  <!ATTLIST sub-class-of type CDATA #REQUIRED>
]>
"""


def write_mime(scale: float = 1.0) -> Iterator[str]:
    rng = random.Random(25)
    target = int(2_500_000 * scale)
    yield '<?xml version="1.0" encoding="UTF-8"?>\n' + _MIME_DTD + f'<mime-info xmlns="{MIME_NS}">\n'
    size, n = 0, 0
    while size < target:
        media = rng.choice(("application", "text", "image", "audio", "video"))
        name = f"x-{rng.choice(_WORDS)}-{n}"
        parts = [f'  <mime-type type="{media}/{name}">\n',
                 f"    <comment>{name} &doc; (&fdo;)</comment>\n"]
        for lang in rng.sample(_LANGS, rng.randint(10, len(_LANGS))):
            parts.append(f'    <comment xml:lang="{lang}">{_esc(_sentence(rng, 2, 5))}</comment>\n')
        if rng.random() < 0.3:
            parts.append(f'    <sub-class-of type="{rng.choice(("text/plain", "application/zip", "application/xml"))}"/>\n')
        parts.append(f'    <generic-icon name="{media}-x-generic"/>\n')
        for ext in range(rng.randint(1, 3)):
            parts.append(f'    <glob pattern="*.{name[2:6]}{ext}"/>\n')
        if rng.random() < 0.5:
            parts.append(f'    <magic priority="{rng.choice((30, 50, 80))}">\n'
                         f'      <match type="string" value="{name[:6].upper()}" offset="0">\n'
                         f'        <match type="big32" value="0x{rng.getrandbits(32):08x}" offset="8"/>\n'
                         "      </match>\n    </magic>\n")
        parts.append("  </mime-type>\n")
        chunk = "".join(parts)
        size += len(chunk)
        n += 1
        yield chunk
    yield "</mime-info>\n"


# ------------------------------------------------------------------ CLDR

def _cldr_file(rng: random.Random, index: int) -> str:
    lang = _LANGS[index % len(_LANGS)].split("_")[0]
    parts = ['<?xml version="1.0" encoding="UTF-8" ?>\n<ldml>\n  <identity>\n'
             '    <version number="$Revision$"/>\n'
             f'    <language type="{lang}"/>\n    <territory type="T{index:04d}"/>\n  </identity>\n']
    if rng.random() < 0.6:
        parts.append("  <localeDisplayNames>\n    <languages>\n")
        for code in rng.sample(_LANGS, rng.randint(3, len(_LANGS))):
            parts.append(f'      <language type="{code}">{_esc(_sentence(rng, 1, 3))}</language>\n')
        parts.append("    </languages>\n  </localeDisplayNames>\n")
    parts.append('  <dates>\n    <calendars>\n      <calendar type="gregorian">\n'
                 '        <months>\n          <monthContext type="format">\n'
                 '            <monthWidth type="wide">\n')
    for month in range(1, 13):
        parts.append(f'              <month type="{month}">{rng.choice(_WORDS)}{month}</month>\n')
    parts.append("            </monthWidth>\n          </monthContext>\n        </months>\n"
                 "      </calendar>\n    </calendars>\n  </dates>\n</ldml>\n")
    return "".join(parts)


def cldr_files(scale: float = 1.0) -> list[Path]:
    count = max(2, int(1122 * scale))
    folder = CACHE / f"cldr-{count}"
    if not (folder / "done").exists():
        folder.mkdir(parents=True, exist_ok=True)
        rng = random.Random(1122)
        for i in range(count):
            (folder / f"locale{i:04d}.xml").write_text(_cldr_file(rng, i), encoding="utf-8")
        (folder / "done").write_text(str(count))
    return sorted(folder.glob("locale*.xml"))


# ------------------------------------------------------------------ records

RECORD = ('<item id="{i}"><name>item number {i}</name><x:code>C{code}</x:code><qty>{qty}</qty>'
          "<price>{euro}.{cent:02d}</price><tags>red</tags><tags>blue</tags>"
          "<note>plain text with a bit of padding to look like real data</note></item>\n")


def write_records(count: int) -> Iterator[str]:
    yield f'<?xml version="1.0" encoding="UTF-8"?>\n<catalog xmlns:x="{RECORDS_NS}">\n'
    for start in range(0, count, 5000):
        yield "".join(RECORD.format(i=i, code=i * 7 % 10007, qty=i % 97, euro=i % 500, cent=i % 100)
                      for i in range(start, min(count, start + 5000)))
    yield "</catalog>\n"


def write_stream(megabytes: float) -> Iterator[str]:
    target = int(megabytes * 1024 * 1024)
    yield f'<?xml version="1.0" encoding="UTF-8"?>\n<catalog xmlns:x="{RECORDS_NS}">\n'
    size, i = 0, 0
    while size < target:
        chunk = "".join(RECORD.format(i=j, code=j * 7 % 10007, qty=j % 97, euro=j % 500, cent=j % 100)
                        for j in range(i, i + 5000))
        i += 5000
        size += len(chunk)
        yield chunk
    yield "</catalog>\n"


# ------------------------------------------------------------------ cache

def _cached(name: str, chunks: Callable[[], Iterator[str]]) -> Path:
    path = CACHE / name
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        partial = path.with_name(f"{path.name}.{os.getpid()}.part")
        with open(partial, "w", encoding="utf-8", buffering=1 << 20) as f:
            for chunk in chunks():
                f.write(chunk)
        os.replace(partial, path)
    return path


def _tag(scale: float) -> str:
    return f"{scale:g}".replace(".", "_")


def gir(scale: float = 1.0) -> Path:
    return _cached(f"gir-{_tag(scale)}.xml", lambda: write_gir(scale=scale))


def mime(scale: float = 1.0) -> Path:
    return _cached(f"mime-{_tag(scale)}.xml", lambda: write_mime(scale))


def records(scale: float = 1.0) -> Path:
    count = max(10, int(20_000 * scale))
    return _cached(f"records-{count}.xml", lambda: write_records(count))


def stream(megabytes: float) -> Path:
    return _cached(f"stream-{_tag(megabytes)}mb.xml", lambda: write_stream(megabytes))
