"""The library's readers of the pipeline's inputs: a visual-search result,
shopping offers, and enriched items (a result as the JSON export writes it).
Errors are ``korvane.errors.InputError`` naming the source and the position
or member ("result.json: visual_matches[2].link must be a string")."""

from __future__ import annotations

from typing import List, NamedTuple, Optional

from korvane import _core
from korvane.models.commerce import CommerceIntelligence
from korvane.models.lens import VisualMatch
from korvane.models.shopping import ShoppingOffer

__all__ = ["SearchResult", "EnrichedItems", "read_search_result", "read_shopping_offers", "read_enriched_items"]


class SearchResult(NamedTuple):
    """The visual matches of one search and its shopping offers (None when
    the result has none)."""

    matches: List[VisualMatch]
    offers: Optional[List[ShoppingOffer]]


class EnrichedItems(NamedTuple):
    """A result read back; ``whole_result`` is False when the text was only a
    list of items (the summary is then the default one)."""

    result: CommerceIntelligence
    whole_result: bool


def read_search_result(text: str, source: str = "input") -> SearchResult:
    """A JSON array of matches, or an object with ``visual_matches`` and
    optionally ``shopping_results``."""
    matches, offers = _core.read_search_result(text, source)
    return SearchResult(matches, offers)


def read_shopping_offers(text: str, source: str = "input") -> List[ShoppingOffer]:
    """A JSON array of offers, or an object with ``shopping_results``."""
    return _core.read_shopping_offers(text, source)


def read_enriched_items(text: str, source: str = "input") -> EnrichedItems:
    """An object with ``items`` (and ``summary``), or a JSON array of items."""
    result, whole = _core.read_enriched_items(text, source)
    return EnrichedItems(result, whole)
