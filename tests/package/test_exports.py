"""The package's public names."""

from __future__ import annotations

import importlib

import pytest

import korvith


@pytest.mark.parametrize("name", korvith.__all__)
def test_every_public_name_resolves(name):
    assert getattr(korvith, name) is not None


def test_extract_stays_the_function_after_importing_its_module(shop):
    module = importlib.import_module("korvith.extract")
    import korvith.extract  # noqa: F401  (what a user may write)
    assert korvith.extract is module.extract
    record = korvith.extract(shop.root[0], korvith.Plan(attributes=["id"], name=str, price=float))
    assert record == {"id": "1", "name": "Green", "price": 3.5}


def test_xquery_is_callable_with_documents(shop):
    query = korvith.XQuery("count(//item)")
    assert query(shop) == 3.0
    assert type(query).__module__ == "korvith"


def test_iterextract_streams_records(shop_bytes):
    plan = korvith.Plan(attributes=["id", "kind"], price=float)
    records = list(korvith.iterextract(shop_bytes, "item", plan))
    assert records == [{"id": "1", "kind": "tea", "price": 3.5},
                       {"id": "2", "kind": "coffee", "price": 7.0},
                       {"id": "3", "kind": "tea", "price": 4.25}]


def test_sax_parse_reaches_handler(shop_bytes):
    class Names(korvith.SaxHandler):
        def __init__(self):
            self.names = []

        def start_element(self, name, attrs):
            self.names.append(name)

    handler = Names()
    korvith.sax_parse(shop_bytes, handler)
    assert handler.names[:3] == ["shop", "item", "name"]
    assert handler.names.count("item") == 3
