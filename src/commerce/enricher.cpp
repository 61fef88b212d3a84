#include <korvane/commerce/enricher.hpp>

#include "commerce/async_runtime.hpp"
#include "commerce/metadata/extended/extended.hpp"
#include "commerce/metadata/parsed_page.hpp"
#include "commerce/pipeline.hpp"
#include "commerce/units.hpp"

#include <korvane/commerce/aggregator.hpp>
#include <korvane/commerce/classifier.hpp>
#include <korvane/commerce/metadata.hpp>
#include <korvane/commerce/normalizer.hpp>
#include <korvane/commerce/resolver.hpp>
#include <korvane/commerce/unwrapper.hpp>
#include <korvane/errors.hpp>
#include <korvane/relevance.hpp>

#include "text/utf8.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace korvane::commerce {
using models::EnrichedCommerceMatch;
using models::PageType;
using models::VisualMatch;
using Clock = std::chrono::steady_clock;

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

// The match's link cleaned. A link that cannot be split stays as given: the
// fetcher then reports it as a malformed link of its match, and the run goes
// on with the other matches.
std::string cleaned_link(const VisualMatch& match) {
  try {
    return URLUnwrapper::unwrap(match.link);
  } catch (const InvalidUrlError&) {
    return match.link;
  }
}

EnrichedCommerceMatch enrich_one(const VisualMatch& match, const std::string& url, detail::ParsedPage* page, int rank,
                                 ExtractionMode extraction) {
  std::string domain;
  try {
    domain = URLUnwrapper::extract_domain(url);
  } catch (const InvalidUrlError&) {
    // (A link kept as given: no domain of its own.)
  }
  if (domain.empty()) domain = match.source.value_or("");
  const auto initial_price = extraction == ExtractionMode::extended
                                 ? PriceNormalizer::parse_extended(match.price, match.currency)
                                 : PriceNormalizer::parse(match.price, match.currency);

  const std::string_view initial_merchant =
      match.source && !match.source->empty() ? std::string_view(*match.source) : std::string_view(domain);
  MetadataResult meta = detail::parse_metadata_of_page(
      MetadataRequest{
          .html = std::nullopt,
          .direct_url = url,
          .initial_title = match.title,
          .initial_merchant = initial_merchant,
          .initial_price = initial_price,
          .initial_stock = match.in_stock,
          .rank = rank,
          .extraction = extraction,
      },
      page);

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

// The pages not obtained, in the order of the links, each once.
std::vector<PageMiss> pages_missed(const std::vector<std::string>& urls, const core::FetchReport& fetched) {
  std::vector<PageMiss> missed;
  std::unordered_set<std::string_view> seen;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    if (!seen.insert(urls[i]).second) continue;
    if (const auto it = fetched.failures.find(urls[i]); it != fetched.failures.end()) {
      const auto retried = fetched.retried.find(urls[i]);
      missed.push_back(PageMiss{urls[i], it->second.reason, it->second.detail, i,
                                retried != fetched.retried.end() ? retried->second : 0});
    }
  }
  return missed;
}

// The positions of the matches (0-based) grouped by link, the groups in the
// order of their first match.
std::vector<std::vector<std::size_t>> matches_by_link(const std::vector<std::string>& urls) {
  std::vector<std::vector<std::size_t>> groups;
  std::unordered_map<std::string_view, std::size_t> group_of;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const auto [it, added] = group_of.emplace(urls[i], groups.size());
    if (added) groups.emplace_back();
    groups[it->second].push_back(i);
  }
  return groups;
}

void report_count(const detail::CountObserver& on_counts, RunPhase phase, std::size_t done, std::size_t total) {
  if (on_counts) on_counts(RunProgress{phase, done, total});
}

// The offers with their price texts read the extended way: the amount and
// currency a text gives replace the engine's number and currency field.
std::vector<models::ShoppingOffer> with_read_prices(std::vector<models::ShoppingOffer> offers) {
  for (auto& offer : offers) {
    const auto price = PriceNormalizer::parse_extended(offer.price, offer.currency);
    if (!price) continue;
    offer.extracted_price = price->amount;
    if (!price->currency.empty()) offer.currency = price->currency;
  }
  return offers;
}

void label_unlabelled(std::vector<EnrichedCommerceMatch>& items) {
  for (auto& item : items) {
    if (!item.relevance) item.relevance = relevance::classify_match_relevance(item, nullptr);
  }
}

}  // namespace

namespace detail {

std::size_t slice_length(std::size_t size, std::optional<long long> max_items) noexcept {
  if (!max_items) return size;
  const auto n = static_cast<long long>(size);
  const long long kept = *max_items >= 0 ? std::min(*max_items, n) : std::max(0LL, n + *max_items);
  return static_cast<std::size_t>(kept);
}

awaitable<std::vector<EnrichedCommerceMatch>> enrich_deep(std::vector<VisualMatch> matches,
                                                          std::optional<long long> max_items,
                                                          ProgressCallback on_progress, const RunOptions& options,
                                                          RunReport& report, const CountObserver& on_counts,
                                                          ParsedPageCache* pages) {
  start_unit(Unit::enricher);
  std::vector<EnrichedCommerceMatch> items;
  if (matches.empty()) co_return items;
  matches.resize(slice_length(matches.size(), max_items));
  report.matches = matches.size();
  for (auto& match : matches) sanitize(match);
  const std::string count = std::to_string(matches.size());

  std::vector<std::string> urls;
  urls.reserve(matches.size());
  for (const auto& match : matches) urls.push_back(cleaned_link(match));

  co_await notify_progress(on_progress, "Fetching metadata from " + count + " merchant destinations...");
  co_await throw_if_cancelled();
  const auto fetch_start = Clock::now();
  const core::ConcurrentFetcher fetcher = fetcher_of(options);
  core::FetchProgress fetch_progress;
  if (on_counts) {
    // The last count comes with the fetch's counts, below.
    fetch_progress = [&on_counts](std::size_t done, std::size_t total) {
      if (done < total) report_count(on_counts, RunPhase::fetching, done, total);
    };
  }
  const core::FetchReport fetched = co_await fetcher.fetch(urls, options.fetch_timeout, std::move(fetch_progress));
  if (on_counts) {
    on_counts(RunProgress{RunPhase::fetching, fetched.pages.size(), fetched.pages.size(), fetched.counts});
  }
  report.fetch_time = Clock::now() - fetch_start;
  report.fetch_counts = fetched.counts;
  report.cache_problem = fetched.cache_problem;
  report.pages_requested = fetched.pages.size();
  report.pages_fetched = fetched.pages.size() - fetched.failures.size();
  report.pages_missed = pages_missed(urls, fetched);
  co_await notify_progress(
      on_progress, "Extracting structured product metadata & price intelligence (" + count + " items)...");

  const auto parse_start = Clock::now();
  items.resize(matches.size());
  std::size_t parsed = 0;
  for (const auto& group : matches_by_link(urls)) {
    // Each distinct page is parsed once, for all the matches that link to it.
    const std::string& url = urls[group.front()];
    std::shared_ptr<ParsedPage> page;
    if (const auto it = fetched.pages.find(url); it != fetched.pages.end() && it->second) {
      page = pages != nullptr ? pages->page(url, *it->second) : std::make_shared<ParsedPage>(*it->second);
    }
    for (const std::size_t i : group) {
      co_await throw_if_cancelled();
      items[i] = enrich_one(matches[i], urls[i], page.get(), static_cast<int>(i + 1), options.extraction);
      report_count(on_counts, RunPhase::parsing, ++parsed, matches.size());
    }
  }
  report.parse_time = Clock::now() - parse_start;
  co_return items;
}

awaitable<RunResult> run_pipeline(EnrichRequest request, RunOptions options, ProgressCallback on_message,
                                  CountObserver on_counts, ParsedPageCache* pages) {
  start_unit(Unit::enricher);
  const auto start = Clock::now();
  RunResult run;
  if (!request.matches.empty()) {
    const auto total_matches = static_cast<int>(slice_length(request.matches.size(), options.max_items));
    std::vector<EnrichedCommerceMatch> items = co_await enrich_deep(
        std::move(request.matches), options.max_items, on_message, options, run.report, on_counts, pages);
    if (options.resolve_stores) {
      // The resolver is reached only now, when a run needs it.
      start_unit(Unit::resolver);
      ResolverOptions resolver;
      resolver.session_factory = session_factory_of(options);
      if (on_counts) {
        resolver.on_crawled = [&on_counts](std::size_t done, std::size_t total) {
          report_count(on_counts, RunPhase::resolving, done, total);
        };
      }
      const auto resolve_start = Clock::now();
      ResolveResult resolved = co_await DirectStoreResolver::resolve_links_async(
          std::move(items), options.store_tabs, options.store_timeout, on_message, std::move(resolver));
      run.report.resolve_time = Clock::now() - resolve_start;
      items = std::move(resolved.items);
      run.report.stores = std::move(resolved.report);
    }
    label_unlabelled(items);
    models::CommerceSummary fresh;
    fresh.total_matches = total_matches;
    fresh.currency = "USD";
    run.result.summary = relevance::recompute_market_summary(items, std::move(fresh));
    run.result.items = std::move(items);
  }
  if (request.offers) {
    // The fused list, every item labelled, with the summary of that list.
    const bool extended = options.extraction == ExtractionMode::extended;
    std::vector<EnrichedCommerceMatch> fused = CommerceAggregator::fuse_matches_and_offers(
        run.result.items, extended ? with_read_prices(std::move(*request.offers)) : std::move(*request.offers),
        options.extraction);
    label_unlabelled(fused);
    models::CommerceSummary fresh;
    fresh.total_matches = static_cast<int>(fused.size());
    run.result.summary = relevance::recompute_market_summary(fused, std::move(fresh));
    run.result.items = std::move(fused);
  }
  run.report.total_time = Clock::now() - start;
  co_return run;
}

}  // namespace detail

awaitable<std::vector<EnrichedCommerceMatch>> CommerceEnricher::enrich_matches_deep_async(
    std::vector<VisualMatch> matches, std::optional<long long> max_items, ProgressCallback on_progress,
    RunOptions options) {
  RunReport report;
  const detail::CountObserver no_counts;
  co_return co_await detail::enrich_deep(std::move(matches), max_items, std::move(on_progress), options, report,
                                         no_counts, nullptr);
}

awaitable<models::CommerceIntelligence> CommerceEnricher::process_async(std::vector<VisualMatch> matches,
                                                                        ProgressCallback on_progress,
                                                                        RunOptions options) {
  detail::start_unit(detail::Unit::enricher);
  if (matches.empty()) co_return models::CommerceIntelligence{};
  // (No temporaries beside co_await: GCC 12 destroys some of them twice.)
  EnrichRequest request;
  request.matches = std::move(matches);
  detail::CountObserver no_counts;
  RunResult run =
      co_await detail::run_pipeline(std::move(request), std::move(options), std::move(on_progress), no_counts, nullptr);
  co_return std::move(run.result);
}

models::CommerceIntelligence CommerceEnricher::process(std::vector<VisualMatch> matches, ProgressCallback on_progress,
                                                       RunOptions options) {
  return detail::run_coroutine(process_async(std::move(matches), std::move(on_progress), std::move(options)));
}

}  // namespace korvane::commerce
