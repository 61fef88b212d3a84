// korvane-commerce: the package surface.
//
//   #include <korvane/commerce.hpp>
//
// offers, in namespace korvane::commerce, the package's 24 names: the
// enricher, the store resolver, the aggregator and the exports that a host
// calls, the component operations and their constant tables, and the
// destination fetcher under the name ScraplingDestinationFetcher. EXPORTS
// lists them in the package's export order. (The records they take and give
// are in korvane::models, see <korvane/models.hpp>.)
#pragma once

#include <korvane/commerce/aggregator.hpp>
#include <korvane/commerce/export.hpp>
#include <korvane/commerce/classifier.hpp>
#include <korvane/commerce/enricher.hpp>
#include <korvane/commerce/metadata.hpp>
#include <korvane/commerce/normalizer.hpp>
#include <korvane/commerce/resolver.hpp>
#include <korvane/commerce/unwrapper.hpp>

#include <array>
#include <string_view>

namespace korvane::commerce {

// The names of the package surface, in export order.
inline constexpr std::array<std::string_view, 24> EXPORTS{
    "ARTICLE_PATH_PATTERNS",   "CATALOG_PATH_PATTERNS",       "CURRENCY_MAP",
    "CURRENCY_TOKEN_PATTERN",  "CommerceAggregator",          "CommerceEnricher",
    "DestinationMetadataParser", "DirectStoreResolver",       "EDITORIAL_DOMAINS",
    "GENERIC_TITLES",          "MARKETPLACE_DOMAINS",         "MULTI_TENANT_SUBDOMAINS",
    "MerchantClassifier",      "PORTFOLIO_DOMAINS",           "PORTFOLIO_KEYWORDS",
    "PORTFOLIO_PATH_PATTERNS", "PriceNormalizer",             "RESELLER_DOMAINS",
    "SOCIAL_DOMAINS",          "ScraplingDestinationFetcher", "TRACKING_PARAMS",
    "URLUnwrapper",            "export_commerce_to_csv",      "export_commerce_to_json"};

}  // namespace korvane::commerce
