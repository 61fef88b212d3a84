// The commerce enricher: visual matches in, commerce intelligence out.
//
//   auto result = korvane::commerce::CommerceEnricher::process(matches, [](std::string msg) {
//     std::cerr << msg << '\n';
//   });
//
// Every match link is cleaned, all destination pages are fetched in one
// concurrent batch, each page is parsed for product data, merchants are
// classified, store search links are resolved to product links in a headless
// browser, and every item gets a relevance label; a market summary covers the
// whole set.
#pragma once

#include <korvane/commerce/async.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/core/fetcher.hpp>
#include <korvane/models.hpp>

#include <optional>
#include <vector>

namespace korvane::commerce {

// The destination fetcher of the package: the host's concurrent fetcher.
using ScraplingDestinationFetcher = core::ConcurrentFetcher;

class CommerceEnricher {
 public:
  CommerceEnricher() = delete;

  // One enriched item per match, in match order: the link cleaned with
  // URLUnwrapper::unwrap, the page fetched (all pages in one batch, each
  // within options.fetch_timeout, 5 s by default) and parsed with
  // DestinationMetadataParser::parse_metadata (also without a page), the
  // merchant classified for product and marketplace pages, source engine
  // "lens". `max_items` takes the first matches as a Python slice would
  // (beyond the length: all; 0: none; negative: that many left out from the
  // end). Sends "Fetching metadata from N merchant destinations..." and
  // "Extracting structured product metadata & price intelligence (N
  // items)...". A failing fetch or callback ends the call; a page the
  // fetcher did not get is no failure, and neither is a link that cannot be
  // split ("http://[::1"): its item keeps the link as given and the fetcher
  // reports it as malformed_link. `options` says where pages come from
  // and how they are read (its max_items is not used here).
  [[nodiscard]] static awaitable<std::vector<models::EnrichedCommerceMatch>> enrich_matches_deep_async(
      std::vector<models::VisualMatch> matches, std::optional<long long> max_items = std::nullopt,
      ProgressCallback on_progress = {}, RunOptions options = {});

  // The whole pipeline: deep enrichment of every match (of the first
  // options.max_items when set), store resolution, a relevance label for
  // every item without one, and the market summary (from a fresh summary
  // with the number of matches and "USD"). Items keep the match order. An
  // empty list gives the empty result at once, with no message, fetch or
  // browser. (enrich() in <korvane/commerce/run.hpp> is the same run with
  // shopping offers, cancellation and a report.)
  [[nodiscard]] static awaitable<models::CommerceIntelligence> process_async(
      std::vector<models::VisualMatch> matches, ProgressCallback on_progress = {}, RunOptions options = {});

  // The blocking form of process_async(); works with and without a running
  // event loop in the calling thread.
  [[nodiscard]] static models::CommerceIntelligence process(std::vector<models::VisualMatch> matches,
                                                            ProgressCallback on_progress = {},
                                                            RunOptions options = {});
};

}  // namespace korvane::commerce
