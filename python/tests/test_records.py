"""Records and enumerations in Python: construction, fields, None, enum
members, the JSON form both ways, pickling, and the result's items held by
reference."""

from __future__ import annotations

import copy
import json
import math
import pickle
from pathlib import Path
from typing import Any, Callable, Dict, List

import pytest

from korvane import _core
from korvane.commerce import export_commerce_to_json
from korvane.commerce.input import read_shopping_offers
from korvane.errors import InvalidValueError, KorvaneError
from korvane.models.commerce import CommerceIntelligence, CommerceSummary, EnrichedCommerceMatch, NormalizedPrice
from korvane.models.common import ItemCondition, MerchantCategory, PageType, RelevanceLabel, StockStatus
from korvane.models.lens import VisualMatch
from korvane.models.shopping import ShoppingOffer


def full_item() -> EnrichedCommerceMatch:
    return EnrichedCommerceMatch(
        title="Air Max 90 — “Infrared”",
        direct_url="https://shop.example/p/1",
        original_url="https://shop.example/p/1?utm_source=x",
        price=NormalizedPrice(raw="$129.99", amount=129.99, currency="USD"),
        merchant_name="Shop",
        merchant_category=MerchantCategory.OFFICIAL_BRAND,
        match_score=98,
        page_type=PageType.PRODUCT,
        brand="",
        condition=ItemCondition.NEW,
        stock_status=StockStatus.IN_STOCK,
        relevance=RelevanceLabel.HIGH,
    )


class TestConstruction:
    def test_keywords_set_fields_and_the_rest_keep_the_library_defaults(self) -> None:
        match = VisualMatch(link="https://a.example/p", in_stock=False)
        assert (match.link, match.title, match.source, match.in_stock) == ("https://a.example/p", "", None, False)
        item = EnrichedCommerceMatch()
        assert (item.page_type, item.source_engine, item.match_score, item.price) == (
            PageType.UNCATEGORIZED,
            "lens",
            0,
            None,
        )
        assert CommerceSummary().currency == "USD"
        assert CommerceIntelligence() == CommerceIntelligence(summary=CommerceSummary(), items=[])

    def test_fields_are_assigned_and_cleared(self) -> None:
        item = full_item()
        item.brand = None
        item.page_type = "article"  # type: ignore[assignment]  # the text value is accepted
        item.price = None
        assert (item.brand, item.page_type, item.price) == (None, PageType.ARTICLE, None)

    def test_wrong_types_name_the_field(self) -> None:
        with pytest.raises(TypeError, match=r"^VisualMatch\.link must be str, not int$"):
            VisualMatch(link=3)  # type: ignore[arg-type]
        item = EnrichedCommerceMatch()
        with pytest.raises(TypeError, match=r"EnrichedCommerceMatch\.match_score must be int, not bool"):
            item.match_score = True
        with pytest.raises(TypeError, match=r"EnrichedCommerceMatch\.price must be NormalizedPrice, not dict"):
            item.price = {"amount": 1}  # type: ignore[assignment]
        with pytest.raises(TypeError, match="keyword arguments only"):
            VisualMatch("https://a.example")  # type: ignore[misc]

    def test_refused_values_are_value_errors(self) -> None:
        for amount in (-0.01, math.inf, math.nan):
            with pytest.raises(InvalidValueError):
                NormalizedPrice(raw="x", amount=amount, currency="USD")
        with pytest.raises(ValueError, match="'shop' is not a PageType"):
            EnrichedCommerceMatch(page_type="shop")  # type: ignore[arg-type]
        assert issubclass(InvalidValueError, KorvaneError)

    def test_prices_are_immutable_values(self) -> None:
        price = NormalizedPrice(raw="12", amount=12, currency="EUR")
        with pytest.raises(AttributeError):
            price.amount = 1.0  # type: ignore[misc]
        assert price == NormalizedPrice(raw="12", amount=12.0, currency="EUR") != price.model_dump()
        assert repr(price) == "NormalizedPrice(raw='12', amount=12.0, currency='EUR')"


class TestEnumerations:
    def test_members_and_text_values_come_from_the_library(self) -> None:
        assert [(m.name, m.value) for m in PageType] == [
            ("PRODUCT", "product"),
            ("MARKETPLACE", "marketplace"),
            ("ARTICLE", "article"),
            ("PORTFOLIO", "portfolio"),
            ("SOCIAL", "social"),
            ("UNCATEGORIZED", "uncategorized"),
        ]
        assert [len(e) for e in (MerchantCategory, StockStatus, ItemCondition, RelevanceLabel)] == [4, 3, 3, 4]
        assert MerchantCategory.MAJOR_MARKETPLACE.value == "major_marketplace"

    def test_members_are_text_and_pickle_by_their_public_module(self) -> None:
        assert StockStatus.IN_STOCK == "in_stock"  # type: ignore[comparison-overlap]  # a str subclass
        assert json.dumps([StockStatus.IN_STOCK]) == '["in_stock"]'
        assert PageType.__module__ == "korvane.models.common"
        assert pickle.loads(pickle.dumps(PageType.SOCIAL)) is PageType.SOCIAL


class TestJsonForm:
    def test_dump_and_validate_round_trip(self) -> None:
        item = full_item()
        dumped = item.model_dump()
        assert list(dumped)[:4] == ["title", "direct_url", "original_url", "price"]
        assert dumped["price"] == {"raw": "$129.99", "amount": 129.99, "currency": "USD"}
        assert dumped["page_type"] == "product" and dumped["sku"] is None
        assert "sku" not in item.model_dump(exclude_none=True) and item.model_dump(exclude_none=True)["brand"] == ""
        assert EnrichedCommerceMatch.model_validate(dumped) == item
        assert EnrichedCommerceMatch.model_validate(json.loads(item.model_dump_json())) == item
        offer = ShoppingOffer(title="T", link="https://b.example", extracted_price=10.5, reviews=3, in_stock=True)
        assert ShoppingOffer.model_validate(offer.model_dump()) == offer

    def test_json_text_is_the_library_export(self, tmp_path: Path) -> None:
        result = CommerceIntelligence(summary=CommerceSummary(total_matches=1, page_types={PageType.PRODUCT: 1}),
                                      items=[full_item()])
        written = Path(export_commerce_to_json(result, tmp_path / "r.json"))
        assert written.read_text(encoding="utf-8") == result.model_dump_json(indent=2, exclude_none=True)
        compact = result.model_dump_json()
        assert "\n" not in compact and json.loads(compact)["summary"]["page_types"] == {"product": 1}

    def test_validation_errors_name_the_member(self) -> None:
        with pytest.raises(InvalidValueError, match=r"^items\[0\]\.title must be a string$"):
            CommerceIntelligence.model_validate({"items": [{"title": 3}]})
        with pytest.raises(TypeError, match="obj must be a dict, not list"):
            VisualMatch.model_validate([])  # type: ignore[arg-type]
        with pytest.raises(TypeError, match=r"obj\.link must be a JSON value"):
            VisualMatch.model_validate({"link": object()})

    def test_records_pickle_with_every_protocol_and_copy(self) -> None:
        result = CommerceIntelligence(items=[full_item(), EnrichedCommerceMatch(title="b")])
        records: List[Any] = [
            result, full_item(), NormalizedPrice(raw="$1", amount=1, currency="USD"),
            VisualMatch(link="https://a.example"),
            ShoppingOffer(title="T", extracted_price=math.nan), CommerceSummary(max_price=math.inf),
        ]
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            for record in records:
                again = pickle.loads(pickle.dumps(record, protocol=protocol))
                assert type(again) is type(record) and repr(again) == repr(record), protocol
        deep = copy.deepcopy(result)
        deep.items[0].title = "changed"
        assert result.items[0].title != "changed"
        assert copy.copy(full_item()) == full_item()

    def test_json_text_is_always_json_and_numbers_read_back_exactly(self) -> None:
        summary = CommerceSummary(min_price=math.nan, max_price=math.inf, average_price=1.0002094674975935e22)
        text = summary.model_dump_json()
        assert json.loads(text)["min_price"] is None and json.loads(text)["max_price"] is None
        assert json.loads(text, parse_constant=lambda c: pytest.fail(f"{c} in {text}"))
        offer = '[{"title": "t", "link": "https://a.example", "extracted_price": 1.0002094674975935e+22}]'
        assert read_shopping_offers(offer)[0].extracted_price == 1.0002094674975935e22


class TestPydanticHabits:
    """The records behave as pydantic models do where that is what a user
    expects."""

    def test_construction_and_validation_follow_one_rule(self) -> None:
        data: Dict[str, Any] = {"link": "https://a.example", "title": "T", "position": 3, "source_icon": "x"}
        assert VisualMatch(**data) == VisualMatch.model_validate(data)  # unknown keys ignored by both
        with pytest.raises(TypeError, match="missing required keyword argument 'link'"):
            VisualMatch(title="no link")  # type: ignore[call-arg]
        with pytest.raises(InvalidValueError, match="link is missing"):
            VisualMatch.model_validate({"title": "no link"})
        assert NormalizedPrice(amount=2) == NormalizedPrice.model_validate({"amount": 2})

    def test_validate_json_and_dump_modes(self) -> None:
        item = full_item()
        assert EnrichedCommerceMatch.model_validate_json(item.model_dump_json()) == item
        assert EnrichedCommerceMatch.model_validate_json(item.model_dump_json().encode()) == item
        with pytest.raises(InvalidValueError, match=r"^line 1, column 2: invalid JSON"):
            VisualMatch.model_validate_json("{,}")
        assert item.model_dump(include={"title", "price"}) == {"title": item.title, "price": item.model_dump()["price"]}
        assert list(item.model_dump(exclude={"price": {"raw"}})["price"]) == ["amount", "currency"]
        assert "direct_url" not in item.model_dump_json(exclude={"direct_url"})
        result = CommerceIntelligence(items=[full_item()])
        assert result.model_dump(include={"items": {"title"}}) == {"items": [{"title": item.title}]}
        summary = CommerceSummary(max_price=math.inf)
        assert math.isinf(summary.model_dump()["max_price"]) and summary.model_dump(mode="json")["max_price"] is None

    def test_enumerations_print_their_value(self) -> None:
        assert f"{PageType.PRODUCT}" == str(PageType.PRODUCT) == "product"
        assert f"{StockStatus.IN_STOCK:>10}" == "  in_stock"


class TestMisuse:
    """Objects made without __init__ and methods called on other objects
    raise TypeError, as Python's own types do, instead of crashing."""

    def test_uninitialised_records_are_refused(self) -> None:
        uses: List[Callable[[Any], object]] = [repr, lambda o: o.model_dump(), pickle.dumps, lambda o: o == o]
        for cls in (VisualMatch, ShoppingOffer, NormalizedPrice, EnrichedCommerceMatch, CommerceSummary,
                    CommerceIntelligence):
            blank: Any = cls.__new__(cls)  # type: ignore[call-overload]
            for use in uses:
                with pytest.raises(TypeError, match="uninitialised"):
                    use(blank)
        with pytest.raises(TypeError, match="uninitialised"):
            NormalizedPrice.__new__(NormalizedPrice).amount
        with pytest.raises(TypeError, match="uninitialised"):
            EnrichedCommerceMatch(price=NormalizedPrice.__new__(NormalizedPrice))

    def test_methods_called_on_other_objects(self) -> None:
        nothing: Any = None
        calls: List[Callable[[], object]] = [
            lambda: _core.Run.stop(nothing),
            lambda: _core.Run.run(nothing),
            lambda: VisualMatch.__repr__(nothing),
            lambda: CommerceIntelligence.model_dump(VisualMatch(link="x")),
            lambda: VisualMatch.__eq__(nothing, VisualMatch(link="x")),
            lambda: EnrichedCommerceMatch.title.fget(nothing),  # type: ignore[attr-defined]
        ]
        for call in calls:
            with pytest.raises(TypeError):
                call()


class TestResultHoldsItsItems:
    def test_changes_to_items_change_the_result(self) -> None:
        result = CommerceIntelligence(items=[full_item()])
        result.items[0].direct_url = "https://shop.example/p/2"
        result.items.append(EnrichedCommerceMatch(title="second"))
        result.summary.total_matches = 2
        dumped: Any = result.model_dump()
        assert dumped["items"][0]["direct_url"] == "https://shop.example/p/2"
        assert [i["title"] for i in dumped["items"]][1] == "second" and dumped["summary"]["total_matches"] == 2

    def test_wrong_items_are_named_when_used(self) -> None:
        result = CommerceIntelligence(items=[full_item()])
        result.items.append("not an item")  # type: ignore[arg-type]
        with pytest.raises(TypeError, match=r"CommerceIntelligence\.items\[1\] must be EnrichedCommerceMatch, not str"):
            result.model_dump_json()

    def test_summary_counts_are_read_only_mappings(self) -> None:
        summary = CommerceSummary(merchant_categories={MerchantCategory.UNVERIFIED: 2})
        with pytest.raises(TypeError):
            summary.merchant_categories[MerchantCategory.UNVERIFIED] = 3  # type: ignore[index]
        summary.merchant_categories = {MerchantCategory.UNVERIFIED: 3}
        assert dict(summary.merchant_categories) == {MerchantCategory.UNVERIFIED: 3}

