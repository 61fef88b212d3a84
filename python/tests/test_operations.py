"""The package surface: its names and tables, the component operations'
arguments and results, errors, and the exports' paths."""

from __future__ import annotations

import os
import types
from pathlib import Path
from typing import Callable, List, Tuple

import pytest

import korvane.commerce as commerce
from korvane import _core, relevance, report
from korvane.commerce import (
    CommerceAggregator,
    DestinationMetadataParser,
    MerchantClassifier,
    PriceNormalizer,
    URLUnwrapper,
    export_commerce_to_csv,
)
from korvane.commerce.input import read_search_result
from korvane.core.fetcher import ConcurrentFetcher
from korvane.errors import InputError, InvalidUrlError, KorvaneError
from korvane.models.commerce import CommerceIntelligence, CommerceSummary, EnrichedCommerceMatch, NormalizedPrice
from korvane.models.common import MerchantCategory, PageType, RelevanceLabel, StockStatus
from korvane.models.shopping import ShoppingOffer


class TestSurface:
    def test_the_24_names_in_export_order(self) -> None:
        assert commerce.__all__ == list(_core.EXPORTS) and len(commerce.__all__) == 24
        assert all(hasattr(commerce, name) for name in commerce.__all__)
        assert commerce.ScraplingDestinationFetcher is ConcurrentFetcher

    def test_tables_are_read_only_values(self) -> None:
        assert isinstance(commerce.TRACKING_PARAMS, frozenset) and "utm_source" in commerce.TRACKING_PARAMS
        assert isinstance(commerce.ARTICLE_PATH_PATTERNS, tuple) and commerce.ARTICLE_PATH_PATTERNS[0] == "/blog"
        assert isinstance(commerce.CURRENCY_MAP, types.MappingProxyType) and list(commerce.CURRENCY_MAP)[:2] == [
            "$",
            "US$",
        ]
        with pytest.raises(TypeError):
            commerce.CURRENCY_MAP["X"] = "Y"  # type: ignore[index]
        assert commerce.CURRENCY_TOKEN_PATTERN in PriceNormalizer.PRICE_PATTERN


class TestOperations:
    def test_results_have_the_python_types(self) -> None:
        assert URLUnwrapper.unwrap("") == "" and URLUnwrapper.extract_domain("https://WWW.A.com:80/") == "a.com:80"
        assert PriceNormalizer.parse(None) is None
        assert PriceNormalizer.parse("12,50", "eur") == NormalizedPrice(raw="12,50", amount=12.5, currency="EUR")
        # The extended reading: local grouping, exact amounts, no guessed currency.
        assert PriceNormalizer.parse_extended("1.299,- €") == NormalizedPrice(raw="1.299,- €", amount=1299, currency="EUR")
        assert PriceNormalizer.parse_extended("KWD 1.250") == NormalizedPrice(raw="KWD 1.250", amount=1.25, currency="KWD")
        assert PriceNormalizer.parse_extended("19.99") == NormalizedPrice(raw="19.99", amount=19.99, currency="")
        assert PriceNormalizer.parse_extended("40% OFF") is None
        assert MerchantClassifier.classify("www.amazon.co.uk") is MerchantCategory.MAJOR_MARKETPLACE

    def test_parse_metadata_gives_the_12_entries_in_order(self) -> None:
        page = "<html><head>" + "<meta property='og:type' content='product'>" * 10 + "<title>A</title></head></html>"
        meta = DestinationMetadataParser.parse_metadata(
            page, "https://shop.example/p/blue-shoe", "Blue Shoe", "Acme",
            initial_price=NormalizedPrice(raw="20", amount=20, currency="EUR"), initial_stock=True, rank=2,
        )
        assert list(meta) == [
            "title", "merchant_name", "brand", "sku", "price", "stock_status", "condition",
            "primary_image_url", "shipping_info", "page_type", "match_score", "fetch_source",
        ]
        assert meta["page_type"] is PageType.PRODUCT and meta["stock_status"] is StockStatus.IN_STOCK
        assert isinstance(meta["price"], NormalizedPrice) and meta["shipping_info"] is None
        assert meta["fetch_source"] == "opengraph" and type(meta["fetch_source"]) is str
        assert meta["match_score"] == 95

    def test_aggregator_and_relevance_give_new_records(self) -> None:
        item = EnrichedCommerceMatch(title="Blue shoe", direct_url="https://a.example/p", page_type=PageType.PRODUCT)
        offer = ShoppingOffer(title="Red shoe", link="https://b.example/p", extracted_price=10.0, position=1)
        fused = CommerceAggregator.fuse_matches_and_offers([item], (offer,))
        assert [i.source_engine for i in fused] == ["shopping", "lens"] and fused[1] == item and fused[1] is not item
        tracked = EnrichedCommerceMatch(title="Red shoe, size 42", direct_url="https://b.example/p?utm_source=lens")
        assert len(CommerceAggregator.fuse_matches_and_offers([tracked], [offer])) == 2
        assert len(CommerceAggregator.fuse_matches_and_offers([tracked], [offer], extended=True)) == 1
        assert relevance.classify_match_relevance(item) in RelevanceLabel
        assert relevance.sort_commerce_items([item])[0] == item
        summary = relevance.recompute_market_summary(fused, CommerceSummary(total_matches=2))
        assert summary.total_matches == 2 and summary.total_priced_matches == 1


class TestArgumentErrors:
    def test_type_errors_name_the_parameter(self) -> None:
        cases: List[Tuple[Callable[[], object], str]] = [
            (lambda: URLUnwrapper.unwrap(None), "url must be str, not NoneType"),  # type: ignore[arg-type]
            (lambda: PriceNormalizer.parse(12), "raw_price must be str or None, not int"),  # type: ignore[arg-type]
            (lambda: MerchantClassifier.classify("a.com", brand=1), "brand must be str or None"),  # type: ignore
            (lambda: DestinationMetadataParser.parse_metadata(None, "u", rank="1"), "rank must be int"),  # type: ignore
            (lambda: CommerceAggregator.fuse_matches_and_offers("x", []), "lens_items must be a list"),  # type: ignore
            (lambda: relevance.sort_commerce_items([{}]), r"items\[0\] must be EnrichedCommerceMatch, not dict"),  # type: ignore
            (lambda: export_commerce_to_csv(CommerceIntelligence(), 3), "output_path must be str or os.PathLike"),  # type: ignore
        ]
        for call, message in cases:
            with pytest.raises(TypeError, match=message):
                call()

    def test_library_errors_keep_their_kind(self, tmp_path: Path) -> None:
        with pytest.raises(InvalidUrlError) as url_error:
            URLUnwrapper.unwrap("http://[::1/x")
        assert isinstance(url_error.value, ValueError) and isinstance(url_error.value, KorvaneError)
        with pytest.raises(InputError, match=r"^result\.json: line 1, column 2: invalid JSON"):
            read_search_result("[x", "result.json")
        blocker = tmp_path / "file"
        blocker.write_text("")
        with pytest.raises(NotADirectoryError) as os_error:
            export_commerce_to_csv(CommerceIntelligence(), blocker / "out.csv")
        assert isinstance(os_error.value, OSError) and os_error.value.filename


class TestExports:
    def test_paths_in_and_absolute_text_out(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.chdir(tmp_path)
        written = export_commerce_to_csv(CommerceIntelligence(), Path("out") / "r.csv")
        assert written == str(tmp_path / "out" / "r.csv") and os.path.isabs(written)
        html = report.export_commerce_to_html(CommerceIntelligence(items=[EnrichedCommerceMatch()]), "r.html")
        assert Path(html).read_text(encoding="utf-8") == report.commerce_to_html(
            CommerceIntelligence(items=[EnrichedCommerceMatch()])
        )
