"""Relevance services: a label per item, the market summary of a result and
the order in which fused results are shown (rules in the C++ header
korvane/relevance.hpp)."""

from korvane._core import (
    RelevanceContext,
    RelevanceLabel,
    classify_match_relevance,
    recompute_market_summary,
    sort_commerce_items,
)

__all__ = [
    "RelevanceContext",
    "RelevanceLabel",
    "classify_match_relevance",
    "recompute_market_summary",
    "sort_commerce_items",
]
