#include <korvane/commerce/enricher.hpp>

#include "commerce/units.hpp"

#include <korvane/commerce/classifier.hpp>
#include <korvane/commerce/metadata.hpp>
#include <korvane/commerce/normalizer.hpp>
#include <korvane/commerce/unwrapper.hpp>
#include <korvane/relevance.hpp>

#include "text/utf8.hpp"

#include <algorithm>
#include <string>

namespace korvane::commerce {
using models::EnrichedCommerceMatch;
using models::PageType;
using models::VisualMatch;

namespace {

// Texts of a match as valid UTF-8 (invalid sequences read as U+FFFD).
void sanitize(VisualMatch& m) {
  const auto fix = [](std::string& s) {
    if (!text::is_valid_utf8(s)) s = text::sanitize_utf8(s);
  };
  const auto fix_optional = [&](std::optional<std::string>& s) {
    if (s) fix(*s);
  };
  fix(m.link);
  fix(m.title);
  fix_optional(m.source);
  fix_optional(m.price);
  fix_optional(m.currency);
  fix_optional(m.thumbnail);
}

// The matches a slice [:max_items] keeps.
std::size_t slice_length(std::size_t size, std::optional<long long> max_items) {
  if (!max_items) return size;
  const auto n = static_cast<long long>(size);
  const long long kept = *max_items >= 0 ? std::min(*max_items, n) : std::max(0LL, n + *max_items);
  return static_cast<std::size_t>(kept);
}

awaitable<core::PageMap> fetch_pages(std::vector<std::string> urls, const EnrichmentServices& services) {
  constexpr double timeout_seconds = 5.0;
  if (!services.fetcher) co_return co_await ScraplingDestinationFetcher::fetch_many(std::move(urls), timeout_seconds);
  core::FetchReport report = co_await services.fetcher->fetch(std::move(urls), timeout_seconds);
  if (services.on_fetch_report) services.on_fetch_report(report);
  co_return std::move(report.pages);
}

EnrichedCommerceMatch enrich_one(const VisualMatch& match, const std::string& url,
                                 const core::PageMap& pages, int rank) {
  std::string domain = URLUnwrapper::extract_domain(url);
  if (domain.empty()) domain = match.source.value_or("");
  const auto initial_price = PriceNormalizer::parse(match.price, match.currency);

  std::optional<std::string_view> html;
  if (const auto it = pages.find(url); it != pages.end() && it->second) html = *it->second;
  const std::string_view initial_merchant =
      match.source && !match.source->empty() ? std::string_view(*match.source) : std::string_view(domain);
  MetadataResult meta = DestinationMetadataParser::parse_metadata(html, url, match.title, initial_merchant,
                                                                  initial_price, match.in_stock, rank);

  std::optional<models::MerchantCategory> category;
  if (meta.page_type == PageType::PRODUCT || meta.page_type == PageType::MARKETPLACE) {
    category = MerchantClassifier::classify(domain, meta.title, meta.brand, meta.merchant_name);
  }

  EnrichedCommerceMatch item;
  item.title = std::move(meta.title);
  item.direct_url = url;
  item.original_url = match.link;
  item.price = std::move(meta.price);
  item.merchant_name = std::move(meta.merchant_name);
  item.merchant_category = category;
  item.thumbnail = match.thumbnail;
  item.match_score = meta.match_score;
  item.page_type = meta.page_type;
  item.brand = std::move(meta.brand);
  item.sku = std::move(meta.sku);
  item.condition = meta.condition;
  item.stock_status = meta.stock_status;
  item.primary_image_url = meta.primary_image_url && !meta.primary_image_url->empty()
                               ? std::move(meta.primary_image_url)
                               : match.thumbnail;
  item.shipping_info = std::move(meta.shipping_info);
  item.source_engine = "lens";
  return item;
}

}  // namespace

awaitable<std::vector<EnrichedCommerceMatch>> CommerceEnricher::enrich_matches_deep_async(
    std::vector<VisualMatch> matches, std::optional<long long> max_items, ProgressCallback on_progress,
    EnrichmentServices services) {
  detail::start_unit(detail::Unit::enricher);
  std::vector<EnrichedCommerceMatch> items;
  if (matches.empty()) co_return items;
  matches.resize(slice_length(matches.size(), max_items));
  for (auto& match : matches) sanitize(match);
  const std::string count = std::to_string(matches.size());

  std::vector<std::string> urls;
  urls.reserve(matches.size());
  for (const auto& match : matches) urls.push_back(URLUnwrapper::unwrap(match.link));

  co_await detail::notify_progress(on_progress, "Fetching metadata from " + count + " merchant destinations...");
  const core::PageMap pages = co_await fetch_pages(urls, services);
  co_await detail::notify_progress(
      on_progress, "Extracting structured product metadata & price intelligence (" + count + " items)...");

  items.reserve(matches.size());
  for (std::size_t i = 0; i < matches.size(); ++i) {
    items.push_back(enrich_one(matches[i], urls[i], pages, static_cast<int>(i + 1)));
  }
  co_return items;
}

awaitable<models::CommerceIntelligence> CommerceEnricher::process_async(std::vector<VisualMatch> matches,
                                                                        ProgressCallback on_progress,
                                                                        EnrichmentServices services) {
  detail::start_unit(detail::Unit::enricher);
  if (matches.empty()) co_return models::CommerceIntelligence{};
  const auto total_matches = static_cast<int>(matches.size());

  std::vector<EnrichedCommerceMatch> items =
      co_await enrich_matches_deep_async(std::move(matches), std::nullopt, on_progress, services);
  if (services.resolve_store_links) {
    // The resolver is reached only now, when a run needs it.
    detail::start_unit(detail::Unit::resolver);
    (void)co_await DirectStoreResolver::resolve_async(items, 4, 15, on_progress, services.resolver);
  }
  for (auto& item : items) {
    if (!item.relevance) item.relevance = relevance::classify_match_relevance(item, nullptr);
  }
  models::CommerceSummary fresh;
  fresh.total_matches = total_matches;
  fresh.currency = "USD";
  models::CommerceIntelligence result;
  result.summary = relevance::recompute_market_summary(items, std::move(fresh));
  result.items = std::move(items);
  co_return result;
}

models::CommerceIntelligence CommerceEnricher::process(std::vector<VisualMatch> matches, ProgressCallback on_progress,
                                                       EnrichmentServices services) {
  return detail::run_coroutine(process_async(std::move(matches), std::move(on_progress), std::move(services)));
}

}  // namespace korvane::commerce
