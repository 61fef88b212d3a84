#include <korvane/commerce/run.hpp>

#include <korvane/commerce/json.hpp>
#include <korvane/commerce/resolver.hpp>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "commerce/async_runtime.hpp"
#include "commerce/pipeline.hpp"
#include "text/enum_text.hpp"

#include <algorithm>

namespace korvane::commerce {

std::string_view to_string(RunPhase phase) noexcept {
  switch (phase) {
    case RunPhase::fetching: return "fetching";
    case RunPhase::parsing: return "parsing";
    case RunPhase::resolving: return "resolving";
  }
  return {};
}

std::string_view to_string(StoreOutcome outcome) noexcept {
  switch (outcome) {
    case StoreOutcome::resolved: return "resolved";
    case StoreOutcome::no_match: return "no_match";
    case StoreOutcome::no_links: return "no_links";
    case StoreOutcome::page_refused: return "page_refused";
    case StoreOutcome::failed: return "failed";
    case StoreOutcome::not_crawled: return "not_crawled";
    case StoreOutcome::browser_unavailable: return "browser_unavailable";
  }
  return {};
}

template <class Enum>
std::optional<Enum> enum_from_string(std::string_view text) noexcept {
  return text::enum_from_text<Enum>(text);
}
template std::optional<RunPhase> enum_from_string<RunPhase>(std::string_view) noexcept;
template std::optional<StoreOutcome> enum_from_string<StoreOutcome>(std::string_view) noexcept;

std::size_t ResolveReport::stores_resolved() const noexcept {
  return static_cast<std::size_t>(std::count_if(stores.begin(), stores.end(), [](const StoreAttempt& a) {
    return a.outcome == StoreOutcome::resolved;
  }));
}

std::size_t ResolveReport::stores_failed() const noexcept {
  return static_cast<std::size_t>(std::count_if(stores.begin(), stores.end(), [](const StoreAttempt& a) {
    return a.outcome == StoreOutcome::failed || a.outcome == StoreOutcome::browser_unavailable;
  }));
}

boost::json::value to_json(const RunReport& report) {
  boost::json::array missed;
  for (const auto& miss : report.pages_missed) {
    missed.push_back(boost::json::object{
        {"url", miss.url}, {"reason", core::to_string(miss.reason)}, {"detail", miss.detail}});
  }
  boost::json::array stores;
  for (const auto& attempt : report.stores.stores) {
    boost::json::object o{{"search_url", attempt.search_url}, {"outcome", to_string(attempt.outcome)}};
    if (attempt.product_url) o.emplace("product_url", *attempt.product_url);
    o.emplace("score", attempt.score);
    if (!attempt.detail.empty()) o.emplace("detail", attempt.detail);
    o.emplace("items", attempt.items);
    stores.push_back(std::move(o));
  }
  return boost::json::object{
      {"matches", report.matches},
      {"pages_requested", report.pages_requested},
      {"pages_fetched", report.pages_fetched},
      {"pages_missed", std::move(missed)},
      {"store_candidates", report.stores.candidates},
      {"items_resolved", report.stores.items_resolved},
      {"stores", std::move(stores)},
      {"seconds", boost::json::object{{"fetch", report.fetch_time.count()},
                                      {"parse", report.parse_time.count()},
                                      {"resolve", report.resolve_time.count()},
                                      {"total", report.total_time.count()}}}};
}

namespace detail {

core::ConcurrentFetcher fetcher_of(const RunOptions& options) {
  core::FetcherOptions fetcher = options.fetcher;
  fetcher.allow_private_addresses = fetcher.allow_private_addresses || options.allow_private_addresses;
  std::shared_ptr<const core::Transport> transport = options.transport;
  if (!transport && options.pages) transport = core::make_directory_transport(*options.pages);
  return core::ConcurrentFetcher(std::move(fetcher), std::move(transport));
}

browser::SessionFactory session_factory_of(const RunOptions& options) {
  if (options.session_factory) return options.session_factory;
  browser::SessionOptions browser = options.browser;
  browser.allow_private_addresses = browser.allow_private_addresses || options.allow_private_addresses;
  return browser::stealth_session_factory(std::move(browser));
}

}  // namespace detail

RunResult enrich(EnrichRequest request, const RunOptions& options, const RunCallbacks& callbacks,
                 std::stop_token stop) {
  ProgressCallback on_message;
  if (callbacks.on_message) on_message = callbacks.on_message;
  return detail::run_coroutine(
      detail::run_pipeline(std::move(request), options, std::move(on_message), callbacks.on_progress),
      std::move(stop));
}

core::FetchReport fetch_pages(std::vector<std::string> urls, const RunOptions& options, std::stop_token stop) {
  return detail::run_coroutine(
      [](std::vector<std::string> links, RunOptions run_options) -> awaitable<core::FetchReport> {
        const core::ConcurrentFetcher fetcher = detail::fetcher_of(run_options);
        co_return co_await fetcher.fetch(std::move(links), run_options.fetch_timeout);
      }(std::move(urls), options),
      std::move(stop));
}

ResolveResult resolve_store_links(std::vector<models::EnrichedCommerceMatch> items, const RunOptions& options,
                                  const RunCallbacks& callbacks, std::stop_token stop) {
  ResolverOptions resolver;
  resolver.session_factory = detail::session_factory_of(options);
  if (callbacks.on_progress) {
    resolver.on_crawled = [on_progress = callbacks.on_progress](std::size_t done, std::size_t total) {
      on_progress(RunProgress{RunPhase::resolving, done, total});
    };
  }
  ProgressCallback on_message;
  if (callbacks.on_message) on_message = callbacks.on_message;
  return detail::run_coroutine(DirectStoreResolver::resolve_links_async(std::move(items), options.store_tabs,
                                                                        options.store_timeout, std::move(on_message),
                                                                        std::move(resolver)),
                               std::move(stop));
}

}  // namespace korvane::commerce
