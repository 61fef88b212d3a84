"""The records the pipeline builds: prices, enriched items, the market
summary and the result of one enrichment."""

from korvane._core import CommerceIntelligence, CommerceSummary, EnrichedCommerceMatch, NormalizedPrice

__all__ = ["NormalizedPrice", "EnrichedCommerceMatch", "CommerceSummary", "CommerceIntelligence"]
