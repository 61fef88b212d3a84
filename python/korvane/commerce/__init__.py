"""korvane.commerce: the package surface.

Its 24 names, in export order: the constant tables of the units, the
enricher, the store resolver, the aggregator and the exports that a host
calls, the component operations, and the destination fetcher under the name
``ScraplingDestinationFetcher``. Sets are frozensets, sequences tuples,
``CURRENCY_MAP`` a read-only mapping, the patterns texts.

The component classes are stateless; their operations are called on the
class::

    from korvane.commerce import PriceNormalizer, URLUnwrapper
    URLUnwrapper.unwrap("https://www.google.com/url?q=https://shop.example/p%3Futm_source%3Dx")
    PriceNormalizer.parse("1.299,99 €")   # NormalizedPrice(raw='1.299,99 €', amount=1299.99, currency='EUR')

Beside the surface: ``korvane.commerce.run`` (a whole run with shopping
offers and a report) and ``korvane.commerce.input`` (the library's readers
of search results and results).
"""

from korvane._core import (
    ARTICLE_PATH_PATTERNS,
    CATALOG_PATH_PATTERNS,
    CURRENCY_MAP,
    CURRENCY_TOKEN_PATTERN,
    EDITORIAL_DOMAINS,
    GENERIC_TITLES,
    MARKETPLACE_DOMAINS,
    MULTI_TENANT_SUBDOMAINS,
    PORTFOLIO_DOMAINS,
    PORTFOLIO_KEYWORDS,
    PORTFOLIO_PATH_PATTERNS,
    RESELLER_DOMAINS,
    SOCIAL_DOMAINS,
    TRACKING_PARAMS,
    CommerceAggregator,
    DestinationMetadataParser,
    MerchantClassifier,
    PriceNormalizer,
    URLUnwrapper,
    export_commerce_to_csv,
    export_commerce_to_json,
)
from korvane.commerce.enricher import CommerceEnricher
from korvane.commerce.resolver import DirectStoreResolver
from korvane.core.fetcher import ConcurrentFetcher as ScraplingDestinationFetcher

__all__ = [
    "ARTICLE_PATH_PATTERNS",
    "CATALOG_PATH_PATTERNS",
    "CURRENCY_MAP",
    "CURRENCY_TOKEN_PATTERN",
    "CommerceAggregator",
    "CommerceEnricher",
    "DestinationMetadataParser",
    "DirectStoreResolver",
    "EDITORIAL_DOMAINS",
    "GENERIC_TITLES",
    "MARKETPLACE_DOMAINS",
    "MULTI_TENANT_SUBDOMAINS",
    "MerchantClassifier",
    "PORTFOLIO_DOMAINS",
    "PORTFOLIO_KEYWORDS",
    "PORTFOLIO_PATH_PATTERNS",
    "PriceNormalizer",
    "RESELLER_DOMAINS",
    "SOCIAL_DOMAINS",
    "ScraplingDestinationFetcher",
    "TRACKING_PARAMS",
    "URLUnwrapper",
    "export_commerce_to_csv",
    "export_commerce_to_json",
]
