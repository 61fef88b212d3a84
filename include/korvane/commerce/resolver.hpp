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

#include <korvane/commerce/async.hpp>
#include <korvane/commerce/tables.hpp>
#include <korvane/browser/session.hpp>
#include <korvane/models.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::commerce {

namespace detail {

// The most distinct store search URLs crawled in one call.
inline constexpr std::size_t MAX_CRAWL = 20;

// The most link elements of one page that are scored.
inline constexpr std::size_t MAX_LINKS_EXAMINED = 10;

// The lowest title similarity at which a link is accepted.
inline constexpr double MIN_TITLE_SIMILARITY = 0.3;

// Product link selectors by store key (the store's main ".com" domain,
// looked for in the search page's host). The first key that occurs wins.
inline constexpr StringMap STORE_LINK_SELECTORS{std::array<std::pair<std::string_view, std::string_view>, 12>{{
    {"ebay.com", R"(a[href*="/itm/"])"},
    {"lyst.com", R"(a[href*="/shoes/"], a[href*="/clothing/"], a[href*="/shop/"])"},
    {"walmart.com", R"(a[href*="/ip/"])"},
    {"amazon.com", R"(a[href*="/dp/"])"},
    {"poshmark.com", R"(a[href*="/listing/"])"},
    {"mercari.com", R"(a[href*="/item/"])"},
    {"editorialist.com", R"(a[href*="/p/"])"},
    {"flightclub.com", R"(a[href*="/sneakers/"], a[href*="/catalog/product/view"])"},
    {"goat.com", R"(a[href*="/sneakers/"])"},
    {"stockx.com", R"(a[href*="/buy/"])"},
    {"farfetch.com", R"(a[href*="/item-"])"},
    {"modesens.com", R"(a[href*="/product/"])"},
}}};

// Used when no store key matches the host, or the store's selector finds
// nothing on the page.
inline constexpr std::string_view GENERIC_PRODUCT_SELECTOR =
    R"(a[href*="/product/"], a[href*="/p/"], a[href*="/item/"], a[href*="/pd/"], a[href*="/goods/"])";

// The distinct lower-cased runs of 2 or more ASCII letters and digits of
// `text`: tokenize("Air Jordan 1 Retro-High") == {"air", "high", "jordan", "retro"}.
[[nodiscard]] std::set<std::string> tokenize(std::string_view text);

// The share of the title's tokens that the link mentions in its text or in
// the path of its address (";" parameters included), from 0.0 to 1.0; 0.0
// when the title or the link has no token. Throws InvalidUrlError when
// `link_href` cannot be split.
[[nodiscard]] double title_similarity(std::string_view item_title, std::string_view link_text,
                                      std::string_view link_href);

// A new stealth Chromium session (not yet entered): `max_pages` tabs at most,
// headless, resources disabled, `timeout_ms` per page, default options.
[[nodiscard]] std::unique_ptr<browser::Session> make_stealth_session(int max_pages, int timeout_ms);

// What the crawl tasks of one resolution call share.
struct CrawlState {
  CrawlState(const boost::asio::any_io_executor& executor, std::size_t max_concurrency,
             std::size_t targets, ProgressCallback progress)
      : semaphore(executor, max_concurrency), target_count(targets), on_progress(std::move(progress)) {}

  AsyncSemaphore semaphore;         // one permit per concurrent crawl
  std::size_t completed_count = 0;  // finished crawls
  std::size_t target_count;         // the number of crawl targets
  ProgressCallback on_progress;
};

// A crawl's result: the search URL as given and the product link found.
using CrawlResult = std::pair<std::string, std::optional<std::string>>;

// Crawls one store search page: loads it in `session`, scores the http and
// https links among the first 10 product links (resolved against the page)
// against `item_title` and returns the best one (cleaned
// of tracking parameters; without its query on eBay and Lyst) when it scores
// at least MIN_TITLE_SIMILARITY. Failures of the browser, the page or a link
// are logged at debug level and give no link. Sends one progress message
// when done, while still holding its permit; a failing progress callback and
// cancellation leave the function.
[[nodiscard]] awaitable<CrawlResult> fetch_single(browser::Session& session, std::string url,
                                                  std::string merchant, std::string item_title,
                                                  CrawlState& state);

}  // namespace detail

// Settings of a resolution beyond its arguments.
struct ResolverOptions {
  // Makes the browser session of a call; the default opens a real Chromium
  // with default session options (public addresses only).
  browser::SessionFactory session_factory = detail::make_stealth_session;
};

class DirectStoreResolver {
 public:
  DirectStoreResolver() = delete;

  // Replaces the `direct_url` of every item that links to a store search
  // page (its path or query holds "search", "sch/i.html", "catalogsearch" or
  // "query=", and its host is not the search engine's) by the product link
  // found there, and returns a pointer to `items` itself (input order; a
  // pointer because awaitable results must be default-constructible). At most
  // MAX_CRAWL distinct search URLs are crawled (first seen first), at most
  // `max_concurrency` at once, each page within `timeout` seconds. When the
  // browser cannot be opened, a warning is logged and the items stay as they
  // are. Throws std::invalid_argument when max_concurrency or timeout is below
  // 1. A progress callback that fails inside a crawl costs that crawl its
  // link; one that fails on the opening or summary message ends the call.
  static awaitable<std::vector<models::EnrichedCommerceMatch>*> resolve_async(
      std::vector<models::EnrichedCommerceMatch>& items, int max_concurrency = 4, int timeout = 15,
      ProgressCallback on_progress = {}, ResolverOptions options = {});

  // The blocking form of resolve_async(): runs it to completion (also from
  // inside a running event loop) and returns `items`.
  static std::vector<models::EnrichedCommerceMatch>& resolve(std::vector<models::EnrichedCommerceMatch>& items,
                                                             int max_concurrency = 4, int timeout = 15,
                                                             ProgressCallback on_progress = {},
                                                             const ResolverOptions& options = {});
};

}  // namespace korvane::commerce
