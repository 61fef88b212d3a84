"""One whole run over the bundled example pages (examples/), as a host calls
it: the search result read by the library's reader, process() with a page
folder, the items compared with the example's expected items."""

from __future__ import annotations

import asyncio
import json
from typing import Any, Dict, List

import pytest
from conftest import EXAMPLES, LocalServer, product_page

from korvane.commerce import CommerceEnricher
from korvane.commerce.input import read_search_result
from korvane.commerce.run import RunProgress, enrich
from korvane.commerce.settings import RunSettings
from korvane.core.fetcher import ConcurrentFetcher
from korvane.models.lens import VisualMatch

# Store search links keep their link when resolution is off.
STORE_SEARCH_POSITIONS = {8, 12}
FIELDS = ["title", "price", "page_type", "merchant_category", "merchant_name", "brand", "sku", "stock_status",
          "condition", "match_score"]


def test_process_over_the_example_pages() -> None:
    search = read_search_result((EXAMPLES / "visual-search-result.json").read_text(encoding="utf-8"))
    expected: Dict[str, Any] = json.loads((EXAMPLES / "expected.json").read_text(encoding="utf-8"))
    messages: List[str] = []

    result = CommerceEnricher.process(search.matches, messages.append, pages=EXAMPLES / "pages",
                                      resolve_stores=False)

    assert messages == expected["progress"]["in_order"][:2]
    assert result.summary.total_matches == len(search.matches) == len(result.items)
    for want, item in zip(expected["items"], result.items):
        got = item.model_dump()
        assert {f: got[f] for f in FIELDS} == {f: want[f] for f in FIELDS}, f"match {want['position']}"
        if want["position"] not in STORE_SEARCH_POSITIONS:
            assert item.direct_url == want["direct_url"]
        assert item.relevance is not None

    with_offers = enrich(search.matches, search.offers, pages=EXAMPLES / "pages", resolve_stores=False)
    assert with_offers.report["pages_fetched"] == 14 and len(with_offers.report["pages_missed"]) == 1
    assert {i.source_engine for i in with_offers.result.items} == {"lens", "shopping"}


def test_fetch_many_maps_every_link_to_its_page_or_none() -> None:
    listed = next(iter(json.loads((EXAMPLES / "pages" / "manifest.json").read_text(encoding="utf-8"))))
    missing = "https://goat.example/not-saved"
    pages = asyncio.run(ConcurrentFetcher.fetch_many([missing, listed, missing], pages=EXAMPLES / "pages"))
    assert list(pages) == [missing, listed]
    assert pages[missing] is None and "<html" in (pages[listed] or "").lower()


def test_runs_take_what_users_hand_them() -> None:
    """Any iterable of matches, the readers' inputs as a path or as values,
    counts for a progress bar, a missing page folder as FileNotFoundError."""
    search = read_search_result(EXAMPLES / "visual-search-result.json")  # a path
    data = json.loads((EXAMPLES / "visual-search-result.json").read_text(encoding="utf-8"))
    assert read_search_result(data) == search  # the JSON as Python values
    counts: List[RunProgress] = []
    result = CommerceEnricher.process((m for m in search.matches), on_counts=counts.append,
                                      pages=EXAMPLES / "pages", resolve_stores=False)
    assert len(result.items) == len(search.matches)
    assert RunProgress("parsing", len(search.matches), len(search.matches)) == counts[-1]
    assert {c.phase for c in counts} == {"fetching", "parsing"}
    with pytest.raises(FileNotFoundError, match="No such page folder"):
        CommerceEnricher.process(search.matches, pages=EXAMPLES / "no-such-folder")
    with pytest.raises(FileNotFoundError, match="manifest.json"):
        enrich(search.matches, pages=EXAMPLES)
    with pytest.raises(TypeError, match="matches must be a list or other iterable of VisualMatch, not str"):
        CommerceEnricher.process("https://a.example")  # type: ignore[arg-type]


def test_settings_as_one_value_or_as_keywords() -> None:
    matches = read_search_result((EXAMPLES / "visual-search-result.json").read_text(encoding="utf-8")).matches
    offline = RunSettings(pages=EXAMPLES / "pages", resolve_stores=False)
    by_value = CommerceEnricher.process(matches, settings=offline)
    assert by_value == CommerceEnricher.process(matches, pages=EXAMPLES / "pages", resolve_stores=False)
    # Keywords replace the fields of the value.
    assert enrich(matches, settings=offline, resolve_stores=True, max_items=0).result.items == []
    with pytest.raises(TypeError, match="unexpected setting 'timout'"):
        CommerceEnricher.process(matches, settings=offline, timout=3)
    with pytest.raises(TypeError, match="extended must be bool"):
        RunSettings(extended=1)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="timeout"):
        RunSettings(timeout=float("nan"))


def test_a_rerun_with_a_page_cache_asks_the_server_for_nothing(server: LocalServer, tmp_path: Any) -> None:
    matches = [VisualMatch(link=server.add(f"/p{i}", product_page(f"Shoe {i}")), title=f"Shoe {i}") for i in range(3)]
    settings = RunSettings(allow_private=True, resolve_stores=False, cache=tmp_path / "pages.sqlite", per_host=2,
                           retries=1, respect_robots=True)
    first = enrich(matches, settings=settings)
    assert first.report["pages_fetched"] == 3 and first.report["pages_from_cache"] == 0
    for asked in server.requested.values():
        asked.clear()

    second = enrich(matches, settings=settings)
    assert second.report["pages_from_cache"] == 3 and "cache_problem" not in second.report
    assert not any(asked.is_set() for asked in server.requested.values())
    assert [i.model_dump() for i in second.result.items] == [i.model_dump() for i in first.result.items]

    with pytest.raises(TypeError, match="retries"):
        RunSettings(retries="2")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="per_host"):
        RunSettings(per_host=0)
