#include <korvane/commerce/resolver.hpp>

#include "commerce/resolver_crawl.hpp"
#include "commerce/search_engine.hpp"
#include "commerce/units.hpp"

#include <korvane/commerce/unwrapper.hpp>
#include <korvane/errors.hpp>

#include "text/unicode.hpp"
#include "text/url.hpp"
#include "text/utf8.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>
#include <fmt/printf.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <climits>
#include <exception>
#include <unordered_map>

// GCC 12 reports a false -Wmismatched-new-delete on Asio coroutine frames
// (their promise supplies both operator new and operator delete).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace korvane::commerce {

namespace {

constexpr std::string_view LOGGER_NAME = "korvane.commerce.resolver";

// Terms of a store search link's path or query.
constexpr std::array<std::string_view, 4> SEARCH_TERMS = {"search", "sch/i.html", "catalogsearch", "query="};

// Stores whose chosen product links lose their query.
constexpr std::array<std::string_view, 2> QUERY_CUT_STORES = {"ebay.com", "lyst.com"};

constexpr std::array<int, 3> ACCEPTED_STATUSES = {200, 301, 302};

// The unit's logger: the host's when it registered one under our name, else
// one without sinks, registered so the host can add sinks or set its level.
std::shared_ptr<spdlog::logger> logger() {
  const std::string name(LOGGER_NAME);
  if (auto existing = spdlog::get(name)) return existing;
  auto created = std::make_shared<spdlog::logger>(name);
  try {
    spdlog::initialize_logger(created);
  } catch (const spdlog::spdlog_ex&) {
    if (auto existing = spdlog::get(name)) return existing;  // registered meanwhile by another thread
  }
  return created;
}

template <class... Args>
void log(spdlog::level::level_enum level, const char* format, const Args&... args) {
  const auto l = logger();
  if (!l->should_log(level)) return;
  const std::string message = fmt::sprintf(format, args...);
  l->log(level, spdlog::string_view_t(message));
}

// Whether `direct_url` is a store search link: a link that can be split, not
// on the search engine's own hosts, with a search term in its path or query.
bool is_candidate(std::string_view direct_url) {
  if (direct_url.empty()) return false;
  text::UrlParts parts;
  try {
    parts = text::split_url(text::sanitize_utf8(direct_url));
  } catch (const InvalidUrlError&) {
    return false;  // a link that cannot be split is no search page we could open
  }
  std::string engine(detail::SEARCH_ENGINE_LABEL);
  engine.push_back('.');
  if (text::to_lower(parts.netloc).find(engine) != std::string::npos) return false;
  const std::string path = text::to_lower(parts.path);
  const std::string query = text::to_lower(parts.query);
  return std::any_of(SEARCH_TERMS.begin(), SEARCH_TERMS.end(), [&](std::string_view term) {
    return path.find(term) != std::string::npos || query.find(term) != std::string::npos;
  });
}

// The network location of `url`, lower-cased, every "www." removed.
std::string store_domain(std::string_view url) {
  return text::link_domain(text::sanitize_utf8(url), text::WwwRemoval::every);
}

std::optional<std::string_view> store_selector(std::string_view domain) {
  for (const auto& [key, selector] : detail::STORE_LINK_SELECTORS) {
    if (domain.find(key) != std::string_view::npos) return selector;
  }
  return std::nullopt;
}

}  // namespace

namespace detail {

// ---------------------------------------------------------------- title similarity

std::set<std::string> tokenize(std::string_view text) {
  std::set<std::string> tokens;
  const auto is_token_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  std::size_t i = 0;
  while (i < text.size()) {
    if (!is_token_char(text[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && is_token_char(text[j])) ++j;
    if (j - i >= 2) tokens.insert(text::ascii_lower(text.substr(i, j - i)));
    i = j;
  }
  return tokens;
}

double title_similarity(std::string_view item_title, std::string_view link_text, std::string_view link_href) {
  const auto item_tokens = tokenize(item_title);
  if (item_tokens.empty()) return 0.0;
  auto link_tokens = tokenize(link_text);
  // The path as RFC 3986 has it: with the ";" parameters of its last segment.
  const text::UrlParts parts = text::split_url(text::sanitize_utf8(link_href));
  for (const std::string_view part : {std::string_view(parts.path), std::string_view(parts.params)}) {
    const auto path_tokens = tokenize(part);
    link_tokens.insert(path_tokens.begin(), path_tokens.end());
  }
  if (link_tokens.empty()) return 0.0;
  const auto shared = std::count_if(item_tokens.begin(), item_tokens.end(),
                                    [&](const std::string& t) { return link_tokens.contains(t); });
  return static_cast<double>(shared) / static_cast<double>(item_tokens.size());
}

// ---------------------------------------------------------------- one crawl

namespace {

// The best-scoring link among the first MAX_LINKS_EXAMINED elements. Only
// links that are http or https once resolved against the page are scored:
// a "javascript:", "data:", "file:" or "mailto:" link is never a product
// page, whatever its text says.
LinkChoice best_link(const std::vector<std::unique_ptr<browser::Element>>& links, std::string_view url,
                     std::string_view item_title) {
  LinkChoice best;
  const std::size_t examined = std::min(links.size(), MAX_LINKS_EXAMINED);
  for (std::size_t i = 0; i < examined; ++i) {
    const auto& link = *links[i];
    const auto& attrib = link.attrib();
    const auto href_it = attrib.find("href");
    const std::string raw = href_it != attrib.end() ? text::sanitize_utf8(href_it->second) : std::string();
    const std::string_view stripped = text::strip(raw);
    if (stripped.empty()) continue;
    std::string href = text::resolve_reference(url, stripped);
    if (!text::is_web_url(href)) continue;
    std::string link_text;
    try {
      link_text = link.get_all_text();
    } catch (const std::exception&) {
      try {
        link_text = link.text();
      } catch (const std::exception&) {
        link_text.clear();
      }
    }
    const double score = title_similarity(item_title, link_text, href);
    if (score > best.score) {
      best.href = std::move(href);
      best.score = score;
    }
  }
  return best;
}

}  // namespace

std::vector<std::string> ready_selectors(std::string_view url) {
  std::vector<std::string> selectors;
  if (const auto selector = store_selector(store_domain(url))) selectors.emplace_back(*selector);
  selectors.emplace_back(GENERIC_PRODUCT_SELECTOR);
  return selectors;
}

LinkChoice choose_product_link(const std::vector<std::unique_ptr<browser::Element>>& links, std::string_view url,
                               std::string_view item_title) {
  LinkChoice choice = best_link(links, url, item_title);
  if (choice.href.empty() || choice.score < MIN_TITLE_SIMILARITY) return choice;
  std::string link = URLUnwrapper::unwrap(choice.href);
  const std::string domain = store_domain(url);
  const bool cut = std::any_of(QUERY_CUT_STORES.begin(), QUERY_CUT_STORES.end(),
                               [&](std::string_view key) { return domain.find(key) != std::string::npos; });
  if (cut && link.find('?') != std::string::npos) link.erase(link.find('?'));
  choice.product_url = std::move(link);
  return choice;
}

awaitable<StoreAttempt> fetch_single(browser::Session& session, std::string url, std::string merchant,
                                     std::string item_title, CrawlState& state) {
  const auto permit = co_await state.semaphore.scoped_acquire();
  StoreAttempt attempt;
  attempt.search_url = url;
  try {
    // The page is ready once the links the choice below reads are there and
    // settled: the store's own, else the generic ones. (No temporaries
    // beside co_await: GCC 12 destroys some of them twice.)
    browser::ReadyWhen ready{ready_selectors(url)};
    std::unique_ptr<browser::Page> page = co_await session.fetch_when_ready(url, std::move(ready));
    const int status = page ? page->status().value_or(200) : 0;
    if (!page || std::find(ACCEPTED_STATUSES.begin(), ACCEPTED_STATUSES.end(), status) == ACCEPTED_STATUSES.end()) {
      attempt.outcome = StoreOutcome::page_refused;
      attempt.detail = page ? "status " + std::to_string(status) : "no page";
    } else {
      std::vector<std::unique_ptr<browser::Element>> links;
      if (const auto selector = store_selector(store_domain(url))) {
        std::string store_query(*selector);
        links = co_await page->css(std::move(store_query));
      }
      if (links.empty()) {
        std::string generic_query(GENERIC_PRODUCT_SELECTOR);
        links = co_await page->css(std::move(generic_query));
      }
      LinkChoice choice = choose_product_link(links, url, item_title);
      attempt.score = choice.score;
      attempt.outcome = links.empty() ? StoreOutcome::no_links : StoreOutcome::no_match;
      if (choice.product_url) {
        log(spdlog::level::debug, "Resolved %s → %s (score=%.2f)", url, *choice.product_url, choice.score);
        attempt.outcome = StoreOutcome::resolved;
        attempt.product_url = std::move(choice.product_url);
      } else if (!choice.href.empty()) {
        log(spdlog::level::debug, "Rejected %s → %s (score=%.2f < %.2f threshold)", url, choice.href, choice.score,
            MIN_TITLE_SIMILARITY);
      }
    }
  } catch (const std::exception& e) {
    if (is_cancellation(std::current_exception())) throw;
    log(spdlog::level::debug, "Failed crawling store URL '%s': %s", url, e.what());
    attempt.outcome = dynamic_cast<const HostNotFoundError*>(&e) != nullptr ? StoreOutcome::host_not_found
                                                                             : StoreOutcome::failed;
    attempt.product_url.reset();
    attempt.detail = e.what();
  }
  ++state.completed_count;
  if (state.on_crawled) state.on_crawled(state.completed_count, state.target_count);
  std::string message = "Resolving direct product links (" + std::to_string(state.completed_count) + "/" +
                        std::to_string(state.target_count) + ")... " + merchant;
  co_await notify_progress(state.on_progress, std::move(message));
  co_return attempt;
}

}  // namespace detail

// ---------------------------------------------------------------- the resolver

using models::EnrichedCommerceMatch;

double title_similarity(std::string_view item_title, std::string_view link_text, std::string_view link_href) {
  return detail::title_similarity(item_title, link_text, link_href);
}

namespace {

// The items whose links are store search pages, by position, in order.
std::vector<std::size_t> select_candidates(const std::vector<EnrichedCommerceMatch>& items) {
  std::vector<std::size_t> candidates;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (is_candidate(items[i].direct_url)) candidates.push_back(i);
  }
  return candidates;
}

// What each crawl needs besides its search link (report.stores[i]).
struct CrawlTargets {
  std::vector<std::string> merchants;                        // the progress label of each
  std::unordered_map<std::string, std::string> url_to_title;  // the title links are scored against
  std::size_t crawled = 0;                                   // the first this many are crawled
};

// Fills report.stores with the distinct search links of the candidates,
// first seen first, each with its number of items; the links beyond
// MAX_CRAWL are not crawled. Per link: the first candidate's merchant
// ("Store" when it has none) and the first non-empty title.
CrawlTargets plan_crawls(const std::vector<EnrichedCommerceMatch>& items, const std::vector<std::size_t>& candidates,
                         ResolveReport& report) {
  CrawlTargets targets;
  std::unordered_map<std::string, std::size_t> attempt_of;  // search URL -> index in report.stores
  for (const std::size_t i : candidates) {
    const auto& item = items[i];
    const auto [it, added] = attempt_of.emplace(item.direct_url, report.stores.size());
    if (added) {
      StoreAttempt attempt;
      attempt.search_url = item.direct_url;
      report.stores.push_back(std::move(attempt));
      const bool named = item.merchant_name.has_value() && !item.merchant_name->empty();
      targets.merchants.push_back(named ? *item.merchant_name : std::string("Store"));
    }
    ++report.stores[it->second].items;
    if (!item.title.empty()) targets.url_to_title.emplace(item.direct_url, item.title);
  }
  targets.crawled = std::min(report.stores.size(), detail::MAX_CRAWL);
  for (std::size_t i = targets.crawled; i < report.stores.size(); ++i) {
    report.stores[i].outcome = StoreOutcome::not_crawled;
  }
  return targets;
}

// The entered session, or null when it cannot be opened: then the warning is
// logged and every crawled link reported as browser_unavailable.
// Cancellation passes through.
awaitable<std::unique_ptr<browser::Session>> open_session(const ResolverOptions& options, int max_concurrency,
                                                         int timeout_ms, std::size_t crawled, ResolveReport& report) {
  std::unique_ptr<browser::Session> session;
  std::exception_ptr failure;
  try {
    const browser::SessionFactory factory =
        options.session_factory ? options.session_factory : browser::stealth_session_factory();
    session = factory(max_concurrency, timeout_ms);
    if (!session) throw BrowserUnavailableError("the session factory made no session");
    co_await session->enter();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) co_return session;
  if (session) co_await session->exit();
  if (detail::is_cancellation(failure)) std::rethrow_exception(failure);
  std::string reason;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {  // (anything else goes on to the caller)
    reason = e.what();
  }
  log(spdlog::level::warn, "Stealth browser unavailable; leaving %d store search URLs unresolved: %s",
      static_cast<int>(crawled), reason);
  for (std::size_t i = 0; i < crawled; ++i) {
    report.stores[i].outcome = StoreOutcome::browser_unavailable;
    report.stores[i].detail = reason;
  }
  co_return nullptr;
}

// Crawls the first `targets.crawled` search links at once in `session`, which
// is closed however the crawls end; their outcomes in link order.
awaitable<std::vector<detail::Outcome<StoreAttempt>>> crawl_all(browser::Session& session,
                                                                const ResolveReport& report,
                                                                const CrawlTargets& targets,
                                                                detail::CrawlState& state) {
  std::vector<awaitable<StoreAttempt>> tasks;
  tasks.reserve(targets.crawled);
  for (std::size_t i = 0; i < targets.crawled; ++i) {
    const std::string& url = report.stores[i].search_url;
    const auto title = targets.url_to_title.find(url);
    tasks.push_back(detail::fetch_single(session, url, targets.merchants[i],
                                         title != targets.url_to_title.end() ? title->second : std::string(), state));
  }
  // Tabs are opened ahead only for search pages still to come.
  session.expect_fetches(targets.crawled);
  std::vector<detail::Outcome<StoreAttempt>> results;
  std::exception_ptr failure;
  try {
    results = co_await detail::gather(std::move(tasks));
  } catch (...) {
    failure = std::current_exception();
  }
  co_await session.exit();
  if (failure) std::rethrow_exception(failure);
  co_return results;
}

// Takes each crawl's attempt into the report (a crawl that failed outside
// its own guard, in its progress callback, as failed); the product link
// found per search link.
std::unordered_map<std::string, std::string> record_crawls(std::vector<detail::Outcome<StoreAttempt>>& results,
                                                           ResolveReport& report) {
  std::unordered_map<std::string, std::string> found;
  for (std::size_t i = 0; i < results.size(); ++i) {
    StoreAttempt& attempt = report.stores[i];
    auto& outcome = results[i];
    if (!outcome.ok() || !outcome.value) {
      attempt.outcome = StoreOutcome::failed;
      attempt.detail = detail::message_of(outcome.error);
      continue;
    }
    const std::size_t items_of_url = attempt.items;
    attempt = std::move(*outcome.value);
    attempt.items = items_of_url;
    if (attempt.product_url && !attempt.product_url->empty()) found[attempt.search_url] = *attempt.product_url;
  }
  return found;
}

// Gives every candidate the product link found for its search link; the
// number of items changed.
std::size_t write_back(std::vector<EnrichedCommerceMatch>& items, const std::vector<std::size_t>& candidates,
                       const std::unordered_map<std::string, std::string>& found) {
  std::size_t resolved = 0;
  for (const std::size_t i : candidates) {
    const auto link = found.find(items[i].direct_url);
    if (link == found.end()) continue;
    items[i].direct_url = link->second;
    ++resolved;
  }
  return resolved;
}

// Resolves the store search links of `items` in place and reports every
// search page; the core of both forms of the resolver.
awaitable<ResolveReport> resolve_in_place(std::vector<EnrichedCommerceMatch>& items, int max_concurrency,
                                          int timeout, ProgressCallback on_progress, ResolverOptions options) {
  detail::start_unit(detail::Unit::resolver);
  if (max_concurrency < 1) throw ValueError("max_concurrency must be at least 1");
  if (timeout < 1) throw ValueError("timeout must be at least 1 second");
  ResolveReport report;
  const std::vector<std::size_t> candidates = select_candidates(items);
  if (candidates.empty()) co_return report;
  report.candidates = candidates.size();
  const std::string total = std::to_string(candidates.size());
  // (Messages are built before co_await: GCC 12 mishandles temporaries
  // beside it.)
  std::string opening = "Resolving direct product links across " + total + " store destinations...";
  co_await detail::notify_progress(on_progress, std::move(opening));

  const CrawlTargets targets = plan_crawls(items, candidates, report);
  const int timeout_ms = timeout > INT_MAX / 1000 ? INT_MAX : timeout * 1000;
  const auto executor = co_await boost::asio::this_coro::executor;
  detail::CrawlState state(executor, static_cast<std::size_t>(max_concurrency), targets.crawled,
                           std::move(on_progress), std::move(options.on_crawled));
  // An ordinary failure to open the session leaves every link as it is.
  const std::unique_ptr<browser::Session> session =
      co_await open_session(options, max_concurrency, timeout_ms, targets.crawled, report);
  if (!session) co_return report;
  std::vector<detail::Outcome<StoreAttempt>> results = co_await crawl_all(*session, report, targets, state);

  const auto found = record_crawls(results, report);
  report.items_resolved = write_back(items, candidates, found);
  const std::string resolved = std::to_string(report.items_resolved);
  std::string summary = report.items_resolved > 0
                            ? "✓ Resolved " + resolved + "/" + total + " direct product links."
                            : "Store crawling complete (" + total +
                                  " attempted, 0 resolved — stores may be blocking automated access).";
  co_await detail::notify_progress(state.on_progress, std::move(summary));
  co_return report;
}

}  // namespace

awaitable<ResolveResult> DirectStoreResolver::resolve_links_async(std::vector<EnrichedCommerceMatch> items,
                                                                  int max_concurrency, int timeout,
                                                                  ProgressCallback on_progress,
                                                                  ResolverOptions options) {
  ResolveResult result;
  result.items = std::move(items);
  result.report =
      co_await resolve_in_place(result.items, max_concurrency, timeout, std::move(on_progress), std::move(options));
  co_return result;
}

awaitable<std::vector<EnrichedCommerceMatch>*> DirectStoreResolver::resolve_async(
    std::vector<EnrichedCommerceMatch>& items, int max_concurrency, int timeout, ProgressCallback on_progress,
    ResolverOptions options) {
  (void)co_await resolve_in_place(items, max_concurrency, timeout, std::move(on_progress), std::move(options));
  co_return &items;
}

std::vector<EnrichedCommerceMatch>& DirectStoreResolver::resolve(std::vector<EnrichedCommerceMatch>& items,
                                                                 int max_concurrency, int timeout,
                                                                 ProgressCallback on_progress,
                                                                 const ResolverOptions& options) {
  return *detail::run_coroutine(resolve_async(items, max_concurrency, timeout, std::move(on_progress), options));
}

void detail::build_resolver_logger() { (void)logger(); }

}  // namespace korvane::commerce
