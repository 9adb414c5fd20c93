"""Each marked line is a mistake the stubs must reject."""

from __future__ import annotations

import korvith

root = korvith.fromstring(b"<r a='1'/>")
name: str = root.get("a")  # E: may be None
root.attrib["a"] = "2"  # E: read-only mapping
root.text = None  # the setter takes str or None (None removes the text)
root.text = 3  # E: the setter takes str or None only
out: str = korvith.tostring(root)  # E: bytes unless encoding="unicode"
korvith.extract_table(b"<r/>", "i", korvith.Plan(), batch_size="9")  # E: an int
korvith.read_xml(b"<r/>", "i", ["a"], dtype_backend=1)  # E: a str or None
