#include "pipeline_run.hpp"

#include "progress.hpp"
#include "search_input.hpp"

#include "commerce/output_file.hpp"

#include <korvane/commerce/aggregator.hpp>
#include <korvane/commerce/export.hpp>
#include <korvane/commerce/enricher.hpp>
#include <korvane/commerce/resolver.hpp>
#include <korvane/commerce/unwrapper.hpp>
#include <korvane/relevance.hpp>
#include <korvane/report.hpp>
#include <korvane/models/json.hpp>

#include <fmt/format.h>

#include <cstdio>
#include <iostream>
#include <map>

namespace korvane::cli {
namespace fs = std::filesystem;
using models::CommerceIntelligence;
using models::EnrichedCommerceMatch;

namespace {

// Items whose link the store resolution replaced.
std::size_t resolved_links(const std::vector<EnrichedCommerceMatch>& items) {
  std::size_t n = 0;
  for (const auto& item : items) {
    if (item.source_engine != "lens") continue;
    try {
      if (item.direct_url != commerce::URLUnwrapper::unwrap(item.original_url)) ++n;
    } catch (const InvalidUrlError&) {
    }
  }
  return n;
}

void print_summary(const CommerceIntelligence& result, std::size_t resolved, const std::vector<fs::path>& written,
                   double seconds) {
  const auto& s = result.summary;
  std::string text = fmt::format("{} items, {} priced", result.items.size(), s.total_priced_matches);
  if (s.min_price && s.max_price) {
    text += fmt::format(", {:.2f}–{:.2f} {} (median {:.2f})", *s.min_price, *s.max_price, s.currency,
                        s.median_price.value_or(0.0));
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  if (!s.merchant_categories.empty()) {
    std::string merchants = "merchants:";
    for (const auto& [category, count] : s.merchant_categories) {
      merchants += fmt::format(" {} {}", count, models::to_string(category));
    }
    std::fprintf(stderr, "%s\n", merchants.c_str());
  }
  std::fprintf(stderr, "store links resolved: %zu\n", resolved);
  for (const auto& path : written) std::fprintf(stderr, "wrote %s\n", path.c_str());
  std::fprintf(stderr, "done in %.1f s\n", seconds);
}

void label_unlabelled(std::vector<EnrichedCommerceMatch>& items) {
  for (auto& item : items) {
    if (!item.relevance) item.relevance = relevance::classify_match_relevance(item);
  }
}

std::vector<fs::path> write_outputs(const CommerceIntelligence& result, const std::optional<fs::path>& json_out,
                                    const std::optional<fs::path>& csv_out, const std::optional<fs::path>& html_out,
                                    std::size_t resolved, bool json_to_stdout) {
  std::vector<fs::path> written;
  if (json_out) written.push_back(commerce::export_commerce_to_json(result, *json_out));
  if (csv_out) written.push_back(commerce::export_commerce_to_csv(result, *csv_out));
  if (html_out) written.push_back(report::export_commerce_to_html(result, *html_out, {.resolved_links = resolved}));
  if (!json_out && !csv_out && !html_out && json_to_stdout) {
    std::cout << models::model_dump_json(result, 2, true) << '\n';
  }
  return written;
}

}  // namespace

int run_enrich(const EnrichSettings& settings) {
  // Read everything first: a malformed file stops the run before any work.
  SearchInput input = read_search_result(settings.input);
  if (settings.offers_file) {
    auto more = read_shopping_offers(*settings.offers_file);
    input.offers.insert(input.offers.end(), std::make_move_iterator(more.begin()),
                        std::make_move_iterator(more.end()));
    input.has_offers = true;
  }
  if (settings.max_items) {
    const auto n = static_cast<long long>(input.matches.size());
    const long long m = *settings.max_items;
    input.matches.resize(static_cast<std::size_t>(m >= 0 ? std::min(m, n) : std::max(0LL, n + m)));
  }
  const std::size_t match_count = input.matches.size();

  ProgressDisplay progress(settings.quiet);
  commerce::EnrichmentServices services;
  core::FetcherOptions fetcher_options = settings.fetcher;
  fetcher_options.allow_private_addresses = fetcher_options.allow_private_addresses || settings.allow_private;
  services.fetcher = std::make_shared<core::ConcurrentFetcher>(
      fetcher_options, settings.pages_dir ? core::make_directory_transport(*settings.pages_dir) : nullptr);
  std::size_t pages_missed = 0;
  services.on_fetch_report = [&](const core::FetchReport& report) { pages_missed = report.failures.size(); };
  services.resolve_store_links = settings.resolve;
  browser::SessionOptions browser_options = settings.browser;
  browser_options.allow_private_addresses = browser_options.allow_private_addresses || settings.allow_private;
  services.resolver.session_factory = [browser_options](int max_pages, int timeout_ms) {
    return std::make_unique<browser::AsyncStealthySession>(max_pages, true, true, timeout_ms, browser_options);
  };

  CommerceIntelligence result = commerce::CommerceEnricher::process(
      std::move(input.matches), [&](std::string msg) { progress.show(msg); }, services);
  progress.finish();
  const std::size_t resolved = resolved_links(result.items);

  if (input.has_offers && settings.fuse_offers) {
    // The fused list, with the summary over everything that was fused.
    auto fused = commerce::CommerceAggregator::fuse_matches_and_offers(result.items, input.offers);
    label_unlabelled(fused);
    models::CommerceSummary fresh;
    fresh.total_matches = static_cast<int>(match_count + input.offers.size());
    result.summary = relevance::recompute_market_summary(fused, fresh);
    result.items = std::move(fused);
  }
  const auto written = write_outputs(result, settings.json_out, settings.csv_out, settings.html_out, resolved,
                                     settings.json_to_stdout);
  if (!settings.quiet) {
    if (pages_missed > 0) std::fprintf(stderr, "pages not fetched: %zu (see -v for reasons)\n", pages_missed);
    print_summary(result, resolved, written, progress.elapsed_seconds());
  }
  return 0;
}

int run_resolve(const fs::path& input, const std::optional<fs::path>& output, bool allow_private, bool quiet) {
  bool had_summary = false;
  CommerceIntelligence result = read_enriched_items(input, had_summary);
  ProgressDisplay progress(quiet);
  commerce::ResolverOptions options;
  browser::SessionOptions browser_options;
  browser_options.allow_private_addresses = allow_private;
  options.session_factory = [browser_options](int max_pages, int timeout_ms) {
    return std::make_unique<browser::AsyncStealthySession>(max_pages, true, true, timeout_ms, browser_options);
  };
  (void)commerce::DirectStoreResolver::resolve(result.items, 4, 15, [&](std::string msg) { progress.show(msg); },
                                               options);
  progress.finish();
  const fs::path target = output.value_or(input);
  fs::path written;
  if (had_summary) {
    written = commerce::export_commerce_to_json(result, target);
  } else {
    boost::json::array items;
    for (const auto& item : result.items) items.push_back(models::to_json(item, {.exclude_none = true}));
    written = fs::weakly_canonical(fs::absolute(target));
    fs::create_directories(written.parent_path());
    commerce::detail::write_file_replacing(written, models::json_text(items, 2));
  }
  if (!quiet) std::fprintf(stderr, "store links resolved: %zu\nwrote %s\n", resolved_links(result.items), written.c_str());
  return 0;
}

}  // namespace korvane::cli
