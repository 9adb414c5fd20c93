"""Fixtures for the package tests (real engine)."""

from __future__ import annotations

import pytest

import korvith

# A small inventory with a namespace, attributes, mixed content and depth.
SHOP = b"""<?xml version="1.0" encoding="UTF-8"?>
<shop xmlns:p="urn:price" name="corner">
  <item id="1" kind="tea" p:currency="EUR"><name>Green</name><price>3.5</price></item>
  <item id="2" kind="coffee"><name>Dark</name><price>7</price><note>strong</note></item>
  <box><item id="3" kind="tea"><name>Black</name><price>4.25</price></item></box>
  <p:offer p:until="2027">half <b>price</b> today</p:offer>
</shop>
"""


@pytest.fixture
def shop_bytes() -> bytes:
    return SHOP


@pytest.fixture
def shop():
    with korvith.parse(SHOP) as doc:
        yield doc
