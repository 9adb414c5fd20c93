"""A script ported from ElementTree: reads a catalogue, writes a report."""

from __future__ import annotations

from collections.abc import Mapping

import korvith

DATA = b'<shop><item id="1" price="3.5">tea</item><item id="2">milk</item></shop>'


def prices(root: korvith.Element) -> dict[str, float | None]:
    out: dict[str, float | None] = {}
    for item in root.iter("item"):
        ident: str | None = item.get("id")
        if ident is None:
            continue
        out[ident] = item.get_float_strict("price")
    return out


def describe(item: korvith.Element) -> str:
    attrib: Mapping[str, str] = item.attrib
    label: str = item.get("label", "unnamed")
    text: str = item.text or ""
    return f"{label} {text} {sorted(attrib)}"


def report() -> str:
    with korvith.parse(DATA) as doc:
        root = doc.root
        lines = [describe(item) for item in root.iterchildren("item")]
        unicode_out: str = korvith.tostring(root, encoding="unicode")
        bytes_out: bytes = korvith.tostring(root, pretty_print=True)
        root.text = "new"
        lines.append(unicode_out + bytes_out.decode())
        lines.extend(f"{k}={v}" for k, v in prices(root).items())
        return "\n".join(lines)


def arrow_rows(data: bytes) -> int:
    plan = korvith.Plan(attributes=["id"], price=float)
    names: list[str] = korvith.arrow_schema(plan).names
    rows = sum(b.num_rows for b in korvith.iter_batches(data, "item", plan, batch_size=100))
    table = korvith.extract_table(data, "item", plan, errors="null", huge=True)
    total: int = rows + table.num_rows + len(names)  # pyarrow's own objects are untyped
    return total


def frame_rows(data: bytes) -> int:
    frame = korvith.read_xml(data, "item", {"@id": str, "price": float}, batch_size=100)
    more = korvith.read_xml(data, "item", ["name"], dtype_backend="pyarrow")
    total: int = len(frame) + len(more)
    return total


if __name__ == "__main__":
    print(report())
