// Direct store resolution: items that link to a store's search result page
// get the product link found on that page, when its text and path match the
// item's title well enough.
//
// Each distinct search page is crawled once in one shared stealth browser
// session, at most `max_concurrency` at a time. Progress goes to the
// optional callback; debug and warning lines go to the spdlog logger named
// "korvane.commerce.resolver" (created without sinks when the host has not
// registered one, so the library itself never prints).
#pragma once

#include <korvane/browser/options.hpp>
#include <korvane/commerce/async.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/models.hpp>

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

namespace korvane::commerce {

// How well a store link matches an item's title, from 0.0 to 1.0: the share
// of the title's distinct words (runs of 2 or more ASCII letters and digits,
// lower-cased) that the link's text or the path of its address (";"
// parameters included) mentions. The resolver accepts a link from 0.3 up. Throws InvalidUrlError when
// `link_href` cannot be split into URL components.
[[nodiscard]] double title_similarity(std::string_view item_title, std::string_view link_text,
                                      std::string_view link_href);

// Settings of a resolution beyond its arguments.
struct ResolverOptions {
  // Makes the browser session of a call; when empty, a real Chromium with
  // default session options (browser::stealth_session_factory()).
  browser::SessionFactory session_factory;
  // Told after every store search page crawled: pages done, pages in all.
  std::function<void(std::size_t done, std::size_t total)> on_crawled;
};

class DirectStoreResolver {
 public:
  DirectStoreResolver() = delete;

  // The items with the `direct_url` of every item that links to a store
  // search page replaced by the product link found there, and the report of
  // every search page (first seen first): as resolve_async(), but the items
  // are taken and returned by value.
  [[nodiscard]] static awaitable<ResolveResult> resolve_links_async(
      std::vector<models::EnrichedCommerceMatch> items, int max_concurrency = DEFAULT_STORE_TABS,
      int timeout = DEFAULT_STORE_TIMEOUT, ProgressCallback on_progress = {}, ResolverOptions options = {});

  // Replaces the `direct_url` of every item that links to a store search
  // page (its path or query holds "search", "sch/i.html", "catalogsearch" or
  // "query=", and its host is not the search engine's) by the product link
  // found there, and returns a pointer to `items` itself (input order; a
  // pointer because awaitable results must be default-constructible). At most
  // MAX_CRAWL distinct search URLs are crawled (first seen first), at most
  // `max_concurrency` at once, each page within `timeout` seconds. When the
  // browser cannot be opened, a warning is logged and the items stay as they
  // are. Throws korvane::ValueError when max_concurrency or timeout is below
  // 1. A progress callback that fails inside a crawl costs that crawl its
  // link; one that fails on the opening or summary message ends the call.
  static awaitable<std::vector<models::EnrichedCommerceMatch>*> resolve_async(
      std::vector<models::EnrichedCommerceMatch>& items, int max_concurrency = DEFAULT_STORE_TABS,
      int timeout = DEFAULT_STORE_TIMEOUT, ProgressCallback on_progress = {}, ResolverOptions options = {});

  // The blocking form of resolve_async(): runs it to completion (also from
  // inside a running event loop) and returns `items`.
  static std::vector<models::EnrichedCommerceMatch>& resolve(std::vector<models::EnrichedCommerceMatch>& items,
                                                             int max_concurrency = DEFAULT_STORE_TABS,
                                                             int timeout = DEFAULT_STORE_TIMEOUT,
                                                             ProgressCallback on_progress = {},
                                                             const ResolverOptions& options = {});
};

}  // namespace korvane::commerce
