// One whole run of the pipeline, as a blocking call with its options as
// values and a report of what happened:
//
//   korvane::commerce::RunOptions options;
//   options.pages = "saved-pages";          // a page folder instead of the network
//   auto [result, report] = korvane::commerce::enrich({.matches = matches}, options);
//   report.pages_missed       // every page not obtained, with its reason
//   report.stores             // every store search page crawled, with its outcome
//
// This header does not need Asio (the coroutine forms are in enricher.hpp and
// resolver.hpp), so bindings and tools can include it everywhere.
#pragma once

#include <korvane/browser/options.hpp>
#include <korvane/commerce/metadata.hpp>
#include <korvane/core/cache.hpp>
#include <korvane/core/fetch.hpp>
#include <korvane/models.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::core {
class Transport;
class ConcurrentFetcher;
}

namespace korvane::commerce {

// Seconds each destination page may take to fetch.
inline constexpr double DEFAULT_FETCH_TIMEOUT = 5.0;
// Store search pages crawled at once (browser tabs), and seconds each may take.
inline constexpr int DEFAULT_STORE_TABS = 4;
inline constexpr int DEFAULT_STORE_TIMEOUT = 15;

// How a run works. The defaults are those of CommerceEnricher::process.
struct RunOptions {
  // Destination pages: the time each may take, where they come from (a folder
  // of saved pages with a manifest.json instead of the network), and the
  // fetcher's own settings (concurrency and pace per host, retries,
  // robots.txt, size limits, headers, ...).
  double fetch_timeout = DEFAULT_FETCH_TIMEOUT;
  std::optional<std::filesystem::path> pages;
  core::FetcherOptions fetcher{};

  // A page cache on disk for destination pages (an SQLite file, made when
  // missing; the processes of one machine may share it): a page still fresh
  // is served without a request, a stale one is asked for conditionally.
  // Pages that say nothing of their freshness stay fresh `cache_max_age`
  // seconds, none longer; past `cache_max_bytes` the pages used longest ago
  // go. A file that cannot serve is reported (RunReport::cache_problem) and
  // the run goes on without it.
  std::optional<std::filesystem::path> cache;
  double cache_max_age = core::DEFAULT_CACHE_MAX_AGE;
  std::uint64_t cache_max_bytes = core::DEFAULT_CACHE_MAX_BYTES;

  // Store search links: resolved in a headless browser, with this many tabs
  // at once and this many seconds per page; the browser's own settings.
  bool resolve_stores = true;
  int store_tabs = DEFAULT_STORE_TABS;
  int store_timeout = DEFAULT_STORE_TIMEOUT;
  browser::SessionOptions browser{};

  // Pages on loopback and private addresses may be fetched and opened
  // (local test servers); with false, the fetcher's and the browser's own
  // settings decide.
  bool allow_private_addresses = false;

  // How much of each page the parser reads; with offers, also how they are
  // fused (extended: by product, see CommerceAggregator).
  ExtractionMode extraction = ExtractionMode::standard;

  // Only the first matches are enriched, as a Python slice [:max_items]
  // takes them (beyond the length: all; 0: none; negative: all but that many
  // at the end).
  std::optional<long long> max_items;

  // Replacements, for tests and embedding: where pages come from (instead of
  // the network or `pages`), the fetcher itself (instead of one made from
  // the settings above, so that runs share its pace per host, robots.txt
  // and cache), and how browser sessions are made (instead of Chromium with
  // `browser`).
  std::shared_ptr<const core::Transport> transport;
  std::shared_ptr<const core::ConcurrentFetcher> shared_fetcher;
  browser::SessionFactory session_factory;
};

// What a run enriches: the visual matches of one search and, optionally, its
// shopping offers, which are then fused into the result.
struct EnrichRequest {
  std::vector<models::VisualMatch> matches;
  std::optional<std::vector<models::ShoppingOffer>> offers;
};

// The phases of a run that report counts.
enum class RunPhase { fetching, parsing, resolving };

// Text values: "fetching", "parsing", "resolving".
[[nodiscard]] std::string_view to_string(RunPhase phase) noexcept;

// Progress of one phase: `done` of `total` pages (fetching, parsing) or store
// search pages (resolving); at the end of fetching, also the pages from the
// cache, the revalidations, the retries and the robots.txt refusals.
struct RunProgress {
  RunPhase phase = RunPhase::fetching;
  std::size_t done = 0;
  std::size_t total = 0;
  core::FetchCounts fetch_counts{};
};

// Optional observers of a run, called on the run's thread; a failing
// observer ends the run with its exception.
struct RunCallbacks {
  // The pipeline's progress messages ("Fetching metadata from 15 merchant
  // destinations...", ...), one text each.
  std::function<void(std::string)> on_message;
  // Counts per phase, after every page fetched or parsed and every store
  // search page crawled.
  std::function<void(const RunProgress&)> on_progress;
};

// A destination page the run did not get: the reason of its last attempt,
// and how many times it was asked again before that. A link that cannot be
// split ("http://[::1") is one too: its match keeps the link as given and
// the reason is malformed_link.
struct PageMiss {
  std::string url;
  core::FetchFailure reason = core::FetchFailure::transfer_failed;
  std::string detail;  // "status 404", "refused address 10.0.0.1", ...
  std::size_t match = 0;  // the first match (counted from 0) that links to it
  std::size_t retries = 0;
};

// What became of one store search page.
enum class StoreOutcome {
  resolved,       // a product link was chosen
  no_match,       // product links were found, none close enough to the title
  no_links,       // the page had no product links
  page_refused,   // no page, or a status other than 200, 301 or 302
  failed,         // the browser or the page failed (see detail)
  not_crawled,    // beyond the most search pages crawled in one call
  browser_unavailable,  // the browser could not be opened
  host_not_found,       // the page's host name did not resolve (no network, or no such name)
};

// Text values: "resolved", "no_match", "no_links", ...
[[nodiscard]] std::string_view to_string(StoreOutcome outcome) noexcept;

// The member with text value `text` (of RunPhase or StoreOutcome, and
// FetchSource); absent for an unknown text:
// enum_from_string<StoreOutcome>("no_match").
template <class Enum>
[[nodiscard]] std::optional<Enum> enum_from_string(std::string_view text) noexcept;

// One distinct store search link of the items.
struct StoreAttempt {
  std::string search_url;
  StoreOutcome outcome = StoreOutcome::failed;
  std::optional<std::string> product_url;  // with `resolved`
  double score = 0.0;                      // the best link's title similarity
  std::string detail;                      // the failure's message, the refused status, ...
  std::size_t items = 0;                   // items that link to this search page
};

// The store resolution of one set of items.
struct ResolveReport {
  std::size_t candidates = 0;       // items that link to a store search page
  std::size_t items_resolved = 0;   // items whose link was replaced
  std::vector<StoreAttempt> stores; // one per distinct search link, first seen first

  [[nodiscard]] std::size_t stores_resolved() const noexcept;
  [[nodiscard]] std::size_t stores_failed() const noexcept;  // failed, browser_unavailable or host_not_found
};

// What happened in one run.
struct RunReport {
  std::size_t matches = 0;          // matches enriched (after max_items)
  std::size_t pages_requested = 0;  // distinct destination links
  std::size_t pages_fetched = 0;
  std::vector<PageMiss> pages_missed;  // in the order of the matches
  core::FetchCounts fetch_counts;   // from the cache, revalidated, retries, refused by robots.txt
  std::string cache_problem;        // why the page cache was not used, or what became of its file
  ResolveReport stores;             // empty when resolution was off
  std::chrono::duration<double> fetch_time{0};
  std::chrono::duration<double> parse_time{0};
  std::chrono::duration<double> resolve_time{0};
  std::chrono::duration<double> total_time{0};
};

// A run's result and its report.
struct RunResult {
  models::CommerceIntelligence result;
  RunReport report;
};

// Enriches `request` as CommerceEnricher::process does (every match cleaned,
// fetched, parsed and classified; store links resolved; a relevance label for
// every item; the market summary), with `options`. With offers, the result is
// the fused list (CommerceAggregator::fuse_matches_and_offers in the
// extraction mode of `options`), every item labelled, and its summary
// describes that list. Blocks until done, also when
// called from inside a running event loop. Throws korvane::CancelledError
// once `stop` is requested and the run has released what it held (the
// browser, its profile folder); korvane::ValueError for options out of range;
// whatever a callback throws.
[[nodiscard]] RunResult enrich(EnrichRequest request, const RunOptions& options = {},
                               const RunCallbacks& callbacks = {}, std::stop_token stop = {});

// Requests run at once by enrich_batch() unless told otherwise.
inline constexpr std::size_t DEFAULT_BATCH_CONCURRENCY = 4;

// What became of one request of a batch: its run, or the message of the
// failure that ended it (then `run` is empty).
struct BatchOutcome {
  std::optional<RunResult> run;
  std::string error;
};

// Enriches every request as enrich() would on its own, within one event loop
// that uses one fetcher (one page folder read once) and at most one browser
// session for the whole batch: opened by the first run that has store search
// links, shared by all (its tabs, options.store_tabs of them, go to the crawls
// in the order they ask), reopened when the browser has died, closed when
// the batch ends. Up to `concurrency` requests run at once; a failing request
// gives its error and the others go on. One outcome per request, in request
// order. The callbacks hear every run (messages of concurrent runs
// interleave). Throws korvane::ValueError when `concurrency` is 0,
// korvane::FetchError when the page folder cannot be read, and
// korvane::CancelledError once `stop` is requested and the batch has released
// what it held (the browser, its profile folder).
[[nodiscard]] std::vector<BatchOutcome> enrich_batch(std::vector<EnrichRequest> requests,
                                                     const RunOptions& options = {},
                                                     const RunCallbacks& callbacks = {}, std::stop_token stop = {},
                                                     std::size_t concurrency = DEFAULT_BATCH_CONCURRENCY);

// The items with their store search links resolved, and the report of it.
struct ResolveResult {
  std::vector<models::EnrichedCommerceMatch> items;
  ResolveReport report;
};

// Resolves the store search links of `items` as DirectStoreResolver::resolve
// does, with the tabs, timeout and browser of `options`; returns the items by
// value. Blocks; cancellation and failures as for enrich().
[[nodiscard]] ResolveResult resolve_store_links(std::vector<models::EnrichedCommerceMatch> items,
                                                const RunOptions& options = {}, const RunCallbacks& callbacks = {},
                                                std::stop_token stop = {});

// Fetches `urls` as a run fetches destination pages (the options' page
// folder or transport, fetcher settings, private addresses and
// options.fetch_timeout): every distinct link gets a page or a reason.
// Blocks; cancellation as for enrich().
[[nodiscard]] core::FetchReport fetch_pages(std::vector<std::string> urls, const RunOptions& options = {},
                                            std::stop_token stop = {});

}  // namespace korvane::commerce
