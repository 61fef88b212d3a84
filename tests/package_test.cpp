// The package surface and the start of its units. Runs in a process of its
// own, so the starts seen here are the first ones.
#include <korvane/commerce.hpp>
#include <korvane/models/json.hpp>

#include "commerce/units.hpp"

#include <gtest/gtest.h>

#include <type_traits>

namespace commerce = korvane::commerce;
using commerce::detail::Unit;

namespace {

// Every exported name, used once through the surface header: the list below
// does not compile when one is missing.
[[maybe_unused]] void every_name_is_offered() {
  (void)commerce::ARTICLE_PATH_PATTERNS;
  (void)commerce::CATALOG_PATH_PATTERNS;
  (void)commerce::CURRENCY_MAP;
  (void)commerce::CURRENCY_TOKEN_PATTERN;
  static_assert(std::is_class_v<commerce::CommerceAggregator>);
  static_assert(std::is_class_v<commerce::CommerceEnricher>);
  static_assert(std::is_class_v<commerce::DestinationMetadataParser>);
  static_assert(std::is_class_v<commerce::DirectStoreResolver>);
  (void)commerce::EDITORIAL_DOMAINS;
  (void)commerce::GENERIC_TITLES;
  (void)commerce::MARKETPLACE_DOMAINS;
  (void)commerce::MULTI_TENANT_SUBDOMAINS;
  static_assert(std::is_class_v<commerce::MerchantClassifier>);
  (void)commerce::PORTFOLIO_DOMAINS;
  (void)commerce::PORTFOLIO_KEYWORDS;
  (void)commerce::PORTFOLIO_PATH_PATTERNS;
  static_assert(std::is_class_v<commerce::PriceNormalizer>);
  (void)commerce::RESELLER_DOMAINS;
  (void)commerce::SOCIAL_DOMAINS;
  static_assert(std::is_same_v<commerce::ScraplingDestinationFetcher, korvane::core::ConcurrentFetcher>);
  (void)commerce::TRACKING_PARAMS;
  static_assert(std::is_class_v<commerce::URLUnwrapper>);
  (void)&commerce::export_commerce_to_csv;
  (void)&commerce::export_commerce_to_json;
}

std::vector<std::string_view> started() {
  std::vector<std::string_view> names;
  for (const Unit u : commerce::detail::started_units()) names.push_back(commerce::detail::to_string(u));
  return names;
}

}  // namespace

TEST(Package, ExportListHoldsTheTwentyFourNamesInOrder) {
  EXPECT_EQ(commerce::EXPORTS.size(), 24u);
  EXPECT_EQ(commerce::EXPORTS.front(), "ARTICLE_PATH_PATTERNS");
  EXPECT_EQ(commerce::EXPORTS[19], "ScraplingDestinationFetcher");
  EXPECT_EQ(commerce::EXPORTS.back(), "export_commerce_to_json");
  // Upper-case tables first, then the rest in byte order, as the surface lists them.
  EXPECT_TRUE(std::is_sorted(commerce::EXPORTS.begin(), commerce::EXPORTS.end()));
}

TEST(Package, UnitsStartOnFirstUseAfterTheUnitsTheyNeed) {
  EXPECT_TRUE(started().empty());
  // The enricher starts what it needs, but not the resolver.
  commerce::detail::start_unit(Unit::enricher);
  EXPECT_EQ(started(), (std::vector<std::string_view>{"classifier", "normalizer", "metadata", "unwrapper", "enricher"}));
  // The resolver needs the enricher (already running) and its own logger.
  commerce::detail::start_unit(Unit::resolver);
  EXPECT_EQ(started().back(), "resolver");
  // A started unit is not started again; the first use of an operation starts
  // its unit.
  (void)commerce::URLUnwrapper::unwrap("https://a.example/");
  (void)commerce::CommerceAggregator::fuse_matches_and_offers({}, {});
  EXPECT_EQ(started(), (std::vector<std::string_view>{"classifier", "normalizer", "metadata", "unwrapper", "enricher",
                                                      "resolver", "aggregator"}));
}
