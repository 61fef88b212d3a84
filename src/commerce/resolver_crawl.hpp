// The crawl of store search pages: the store tables, title similarity and one
// page's crawl, shared by the crawl tasks of one resolution call.
#pragma once

#include <korvane/browser/session.hpp>
#include <korvane/commerce/resolver.hpp>
#include <korvane/commerce/tables.hpp>

#include "async/semaphore.hpp"
#include "commerce/async_runtime.hpp"

#include <cstddef>
#include <functional>
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
// the path of its address (";" parameters included), from 0.0 to 1.0; 0.0 when the title or the link
// has no token. Throws InvalidUrlError when `link_href` cannot be split.
[[nodiscard]] double title_similarity(std::string_view item_title, std::string_view link_text,
                                      std::string_view link_href);

// The selectors whose links the crawl of store search page `url` reads, in
// the order it tries them: the store's own (when its host names a store),
// then GENERIC_PRODUCT_SELECTOR.
[[nodiscard]] std::vector<std::string> ready_selectors(std::string_view url);

// What a store search page's links come to for an item.
struct LinkChoice {
  std::string href;  // the best-scoring link, resolved against the page; empty when none scored above 0
  double score = 0.0;
  // The link taken (cleaned of tracking parameters; without its query on
  // eBay and Lyst); absent when the best score is below MIN_TITLE_SIMILARITY.
  std::optional<std::string> product_url;
};

// Scores the first MAX_LINKS_EXAMINED of `links` (found on the store search
// page `url`, in document order) against `item_title` and takes the best
// one, the earlier on a tie. Throws InvalidUrlError for a link that cannot
// be split.
[[nodiscard]] LinkChoice choose_product_link(const std::vector<std::unique_ptr<browser::Element>>& links,
                                             std::string_view url, std::string_view item_title);

// What the crawl tasks of one resolution call share.
struct CrawlState {
  CrawlState(const boost::asio::any_io_executor& executor, std::size_t max_concurrency,
             std::size_t targets, ProgressCallback progress,
             std::function<void(std::size_t, std::size_t)> crawled)
      : semaphore(executor, max_concurrency),
        target_count(targets),
        on_progress(std::move(progress)),
        on_crawled(std::move(crawled)) {}

  async::Semaphore semaphore;       // one permit per concurrent crawl
  std::size_t completed_count = 0;  // finished crawls
  std::size_t target_count;         // the number of crawl targets
  ProgressCallback on_progress;
  std::function<void(std::size_t, std::size_t)> on_crawled;  // counts, may be empty
};

// Crawls one store search page: loads it in `session`, scores up to 10 of
// its product links against `item_title` and, when the best one scores at
// least MIN_TITLE_SIMILARITY, gives it as `product_url` (cleaned of tracking
// parameters; without its query on eBay and Lyst). Failures of the browser,
// the page or a link are logged at debug level and give an attempt without
// link. Sends one progress message when done, while still holding its
// permit; a failing progress callback and cancellation leave the function.
[[nodiscard]] awaitable<StoreAttempt> fetch_single(browser::Session& session, std::string url,
                                                   std::string merchant, std::string item_title,
                                                   CrawlState& state);

}  // namespace detail

}  // namespace korvane::commerce
