// The package surface and the start of its units. Runs in a process of its
// own, so the starts seen here are the first ones.
#include <korvane/commerce.hpp>

#include "commerce/units.hpp"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace commerce = korvane::commerce;

namespace {

// The exported names, each used through the surface header, in export
// order: the list does not compile when the surface does not offer one.
#define OFFERED(name) ((void)&commerce::name, std::string_view(#name))
#define OFFERED_TYPE(name) ((void)std::type_identity<commerce::name>{}, std::string_view(#name))
const std::vector<std::string_view> offered_names = {
    OFFERED(ARTICLE_PATH_PATTERNS),        OFFERED(CATALOG_PATH_PATTERNS),
    OFFERED(CURRENCY_MAP),                 OFFERED(CURRENCY_TOKEN_PATTERN),
    OFFERED_TYPE(CommerceAggregator),      OFFERED_TYPE(CommerceEnricher),
    OFFERED_TYPE(DestinationMetadataParser), OFFERED_TYPE(DirectStoreResolver),
    OFFERED(EDITORIAL_DOMAINS),            OFFERED(GENERIC_TITLES),
    OFFERED(MARKETPLACE_DOMAINS),          OFFERED(MULTI_TENANT_SUBDOMAINS),
    OFFERED_TYPE(MerchantClassifier),      OFFERED(PORTFOLIO_DOMAINS),
    OFFERED(PORTFOLIO_KEYWORDS),           OFFERED(PORTFOLIO_PATH_PATTERNS),
    OFFERED_TYPE(PriceNormalizer),         OFFERED(RESELLER_DOMAINS),
    OFFERED(SOCIAL_DOMAINS),               OFFERED_TYPE(ScraplingDestinationFetcher),
    OFFERED(TRACKING_PARAMS),              OFFERED_TYPE(URLUnwrapper),
    OFFERED(export_commerce_to_csv),       OFFERED(export_commerce_to_json),
};
#undef OFFERED
#undef OFFERED_TYPE

bool resolver_logger_exists() { return spdlog::get("korvane.commerce.resolver") != nullptr; }

}  // namespace

TEST(Package, ExportListNamesWhatTheSurfaceOffersInExportOrder) {
  EXPECT_EQ(std::vector<std::string_view>(commerce::EXPORTS.begin(), commerce::EXPORTS.end()), offered_names);
  // The destination fetcher is the host's, offered under the package's name.
  static_assert(std::is_same_v<commerce::ScraplingDestinationFetcher, korvane::core::ConcurrentFetcher>);
}

// Units start on first use, after the units they need. What a host sees of
// it: the resolver's logger, registered by the resolver's start so that the
// host can give it sinks and a level. The enricher needs the resolver only
// inside a run that resolves store links, so starting the enricher (and a
// run without matches) leaves the resolver unstarted; the resolver's first
// use starts it.
TEST(Package, TheResolverStartsOnItsFirstUseNotWithTheEnricher) {
  ASSERT_FALSE(resolver_logger_exists());
  commerce::detail::start_unit(commerce::detail::Unit::enricher);
  EXPECT_TRUE(commerce::CommerceEnricher::process({}).items.empty());
  EXPECT_FALSE(resolver_logger_exists());
  std::vector<korvane::models::EnrichedCommerceMatch> none;
  (void)commerce::DirectStoreResolver::resolve(none);
  EXPECT_TRUE(resolver_logger_exists());
}
