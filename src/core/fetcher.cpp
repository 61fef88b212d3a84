#include <korvane/core/fetcher.hpp>

#include "core/freshness.hpp"
#include "core/log.hpp"
#include "core/policy.hpp"
#include "core/robots.hpp"
#include "text/enum_text.hpp"

#include <korvane/core/cache.hpp>
#include <korvane/errors.hpp>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cmath>
#include <unordered_set>
#include <utility>

namespace korvane::core {

namespace detail {

std::shared_ptr<spdlog::logger> fetcher_logger() {
  constexpr const char* name = "korvane.core.fetcher";
  if (auto logger = spdlog::get(name)) return logger;
  return std::make_shared<spdlog::logger>(name);
}

}  // namespace detail

namespace {

namespace asio = boost::asio;

// Seconds since the Unix epoch, the clock of the page cache.
double wall_clock_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// How often a fetch looks again at a robots.txt that another fetch is
// asking for at the same time.
constexpr auto ROBOTS_WAIT_STEP = std::chrono::milliseconds(20);

// The rules a robots.txt answer gives (RFC 9309, 2.3.1): its text when it
// came, everything allowed when it is unavailable (4xx, too many redirects,
// no network involved), nothing allowed when the site could not be reached
// or answered with a server error. A 429 counts as a server error: a site
// that asks us to slow down is not asked for pages meanwhile.
detail::RobotsRules robots_rules_of(const TransportResult& result, std::string_view agent) {
  if (!result.response) {
    switch (result.failure.reason) {
      case FetchFailure::too_many_redirects:
      case FetchFailure::unsupported_scheme:
      case FetchFailure::not_in_page_folder:
      case FetchFailure::unreadable_file:
      case FetchFailure::too_large:
      case FetchFailure::malformed_link: return {};
      default: return detail::RobotsRules::disallow_all();
    }
  }
  const long status = result.response->status;
  if (status >= 500 || status == 429) return detail::RobotsRules::disallow_all();
  if (status >= 200 && status <= 299) return detail::RobotsRules::parse(result.response->body, agent);
  return {};
}

// The links of one fetch call, each on its way to a page or a reason.
struct Pending {
  std::string link;
  std::string key;                        // the link as requested, the cache's key
  std::optional<CachedResponse> cached;   // a kept copy (stale when the link is pending)
};

// What one fetch call works with: the fetcher's parts and the call's report.
struct FetchCall {
  const FetcherOptions& options;
  const Transport& transport;
  PageCache* cache;
  detail::RobotsMemo& robots;
  double timeout_seconds;
  FetchReport& report;
  PageCache::Update update;
};

// The page of a response, or its reason, as the outcome of `link`.
void record_outcome(FetchReport& report, const std::string& link, RawResponse response,
                    const FetcherOptions& options) {
  detail::PageOutcome outcome = detail::page_from_response(std::move(response), options);
  if (outcome.page) {
    report.pages[link] = std::move(outcome.page);
  } else {
    report.failures.emplace(link, std::move(outcome.reason));
  }
}

}  // namespace

std::string_view to_string(FetchFailure reason) noexcept {
  switch (reason) {
    case FetchFailure::malformed_link: return "malformed_link";
    case FetchFailure::unsupported_scheme: return "unsupported_scheme";
    case FetchFailure::refused_address: return "refused_address";
    case FetchFailure::dns_failure: return "dns_failure";
    case FetchFailure::connection_failed: return "connection_failed";
    case FetchFailure::tls_failure: return "tls_failure";
    case FetchFailure::timeout: return "timeout";
    case FetchFailure::too_many_redirects: return "too_many_redirects";
    case FetchFailure::http_status: return "http_status";
    case FetchFailure::not_html: return "not_html";
    case FetchFailure::empty_response: return "empty_response";
    case FetchFailure::too_large: return "too_large";
    case FetchFailure::bad_content_encoding: return "bad_content_encoding";
    case FetchFailure::not_in_page_folder: return "not_in_page_folder";
    case FetchFailure::unreadable_file: return "unreadable_file";
    case FetchFailure::transfer_failed: return "transfer_failed";
    case FetchFailure::robots_disallowed: return "robots_disallowed";
  }
  return {};
}

template <class Enum>
std::optional<Enum> enum_from_string(std::string_view text) noexcept {
  return text::enum_from_text<Enum>(text);
}
template std::optional<FetchFailure> enum_from_string<FetchFailure>(std::string_view) noexcept;

asio::awaitable<std::vector<TransportResult>> Transport::fetch_requests(std::vector<TransportRequest> requests,
                                                                         const FetcherOptions& options,
                                                                         double timeout_seconds,
                                                                         const LinkDone& on_link_done) const {
  std::vector<std::string> links;
  links.reserve(requests.size());
  for (TransportRequest& request : requests) links.push_back(std::move(request.link));
  co_return co_await fetch_all(std::move(links), options, timeout_seconds, on_link_done);
}

ConcurrentFetcher::ConcurrentFetcher(FetcherOptions options, std::shared_ptr<const Transport> transport,
                                     std::shared_ptr<PageCache> cache)
    : options_(std::move(options)),
      transport_(transport ? std::move(transport) : make_curl_transport()),
      cache_(std::move(cache)),
      robots_(std::make_shared<detail::RobotsMemo>()) {}

ConcurrentFetcher::~ConcurrentFetcher() = default;
ConcurrentFetcher::ConcurrentFetcher(const ConcurrentFetcher&) = default;
ConcurrentFetcher::ConcurrentFetcher(ConcurrentFetcher&&) noexcept = default;
ConcurrentFetcher& ConcurrentFetcher::operator=(const ConcurrentFetcher&) = default;
ConcurrentFetcher& ConcurrentFetcher::operator=(ConcurrentFetcher&&) noexcept = default;

namespace {

// The robots.txt rules of `sites`, learnt through the transport for those
// nobody knows yet, waited for where another fetch is learning them.
asio::awaitable<std::vector<std::shared_ptr<const detail::RobotsRules>>> robots_rules(
    const FetchCall& call, const std::vector<std::string>& sites) {
  while (true) {
    detail::RobotsMemo::Claim claim = call.robots.claim(sites);
    if (claim.owned.empty() && claim.waiting == 0) co_return std::move(claim.rules);
    if (!claim.owned.empty()) {
      // Released unless learnt, also when this fetch is cancelled.
      struct Owned {
        detail::RobotsMemo& memo;
        std::vector<std::string>& sites;
        ~Owned() {
          for (const std::string& site : sites) memo.release(site);
        }
      } owned{call.robots, claim.owned};
      std::vector<TransportRequest> requests;
      for (const std::string& site : claim.owned) {
        TransportRequest& request = requests.emplace_back();
        request.link = site;
        request.any_response = true;
      }
      const std::vector<TransportResult> results =
          co_await call.transport.fetch_requests(std::move(requests), call.options, call.timeout_seconds, {});
      for (std::size_t i = 0; i < claim.owned.size() && i < results.size(); ++i) {
        call.robots.learn(claim.owned[i], robots_rules_of(results[i], call.options.robots_agent));
      }
      continue;
    }
    asio::steady_timer pause(co_await asio::this_coro::executor, ROBOTS_WAIT_STEP);
    co_await pause.async_wait(asio::use_awaitable);
  }
}

// Serves the pending links whose kept page is fresh, and keeps the stale
// copies of the others for a conditional request. Returns the links served.
std::size_t serve_from_cache(FetchCall& call, std::vector<Pending>& pending) {
  std::vector<std::string> keys;
  keys.reserve(pending.size());
  for (Pending& p : pending) keys.push_back(p.key = detail::request_url(p.link));
  std::vector<std::optional<CachedResponse>> kept = call.cache->lookup(keys);
  const double now = wall_clock_now();
  std::size_t served = 0;
  std::vector<Pending> still;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    Pending& p = pending[i];
    if (!kept[i] || !kept[i]->fresh(now)) {
      p.cached = std::move(kept[i]);
      still.push_back(std::move(p));
      continue;
    }
    if (kept[i]->use_worth_marking(now)) call.update.used.push_back(std::move(p.key));
    record_outcome(call.report, p.link, std::move(kept[i]->response), call.options);
    ++call.report.counts.from_cache;
    ++served;
  }
  pending = std::move(still);
  return served;
}

// Refuses the pending links that their site's robots.txt disallows. Returns
// the links refused.
asio::awaitable<std::size_t> refuse_by_robots(FetchCall& call, std::vector<Pending>& pending) {
  std::vector<std::string> sites;
  std::unordered_map<std::string, std::size_t> site_index;
  std::vector<std::size_t> site_of(pending.size());
  for (std::size_t i = 0; i < pending.size(); ++i) {
    std::string site = detail::robots_link(pending[i].link);
    const auto [it, added] = site_index.try_emplace(site, sites.size());
    if (added) sites.push_back(std::move(site));
    site_of[i] = it->second;
  }
  const auto rules = co_await robots_rules(call, sites);
  std::size_t refused = 0;
  std::vector<Pending> allowed;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    const auto& site_rules = rules[site_of[i]];
    if (!site_rules || site_rules->allows(detail::robots_target(pending[i].link))) {
      allowed.push_back(std::move(pending[i]));
      continue;
    }
    call.report.failures.emplace(pending[i].link,
                                 FetchMiss{FetchFailure::robots_disallowed, "disallowed by robots.txt"});
    ++call.report.counts.robots_refused;
    ++refused;
  }
  pending = std::move(allowed);
  co_return refused;
}

// The response to read for a pending link's answer: the kept copy when the
// answer is a 304 that confirms it, else the answer. The cache hears of it.
RawResponse take_answer(FetchCall& call, Pending& p, RawResponse answer, double received_at) {
  if (answer.status == 304 && p.cached) {
    ++call.report.counts.revalidated;
    if (call.cache != nullptr) call.update.confirmed.push_back({p.key, std::move(answer), received_at});
    return std::move(p.cached->response);
  }
  if (call.cache != nullptr) {
    // The body is copied only when the page may be kept.
    RawResponse kept;
    if (detail::freshness_of(answer, call.cache->options().max_age).storable) {
      kept = answer;
    } else {
      kept.status = answer.status;
      kept.content_type = answer.content_type;
      kept.cache_headers = answer.cache_headers;
    }
    call.update.fetched.push_back({p.key, std::move(kept), received_at});
  }
  return answer;
}

// Fetches the pending links through the transport (conditionally where a
// stale copy is kept) and turns each answer into a page or a reason.
asio::awaitable<void> fetch_pending(FetchCall& call, std::vector<Pending> pending,
                                    const Transport::LinkDone& on_link_done) {
  std::vector<TransportRequest> requests;
  requests.reserve(pending.size());
  for (const Pending& p : pending) {
    TransportRequest request;
    request.link = p.link;
    if (p.cached) {
      request.if_none_match = p.cached->response.cache_headers.etag;
      request.if_modified_since = p.cached->response.cache_headers.last_modified;
    }
    requests.push_back(std::move(request));
  }
  std::vector<TransportResult> results =
      co_await call.transport.fetch_requests(std::move(requests), call.options, call.timeout_seconds, on_link_done);
  if (results.size() != pending.size()) {
    throw FetchError("the page transport answered " + std::to_string(results.size()) + " of " +
                     std::to_string(pending.size()) + " links");
  }
  const double received_at = wall_clock_now();
  for (std::size_t i = 0; i < pending.size(); ++i) {
    Pending& p = pending[i];
    TransportResult& result = results[i];
    if (result.retries > 0) {
      call.report.retried[p.link] = result.retries;
      call.report.counts.retries += result.retries;
    }
    if (!result.response) {
      if (result.failure.detail.empty()) result.failure = {FetchFailure::transfer_failed, "no response"};
      call.report.failures.emplace(p.link, std::move(result.failure));
      continue;
    }
    record_outcome(call.report, p.link, take_answer(call, p, std::move(*result.response), received_at),
                   call.options);
  }
}

}  // namespace

asio::awaitable<FetchReport> ConcurrentFetcher::fetch(std::vector<std::string> urls, double timeout_seconds,
                                                      FetchProgress on_progress) const {
  if (!std::isfinite(timeout_seconds) || timeout_seconds <= 0) {
    throw ValueError("the fetch timeout must be a positive number of seconds");
  }
  FetchReport report;
  std::vector<Pending> pending;  // distinct and fetchable, in first-seen order
  for (std::string& url : urls) {
    if (report.pages.contains(url)) continue;
    report.pages.emplace(url, std::nullopt);
    if (auto problem = detail::link_problem(url)) {
      report.failures.emplace(std::move(url), std::move(*problem));
    } else {
      pending.push_back({.link = std::move(url), .key = {}, .cached = std::nullopt});
    }
  }

  // Links refused before any transfer count as done at once.
  const std::size_t total = report.pages.size();
  std::size_t done = report.failures.size();
  const auto count_done = [&](std::size_t more) {
    done += more;
    if (on_progress && more > 0) on_progress(done, total);
  };
  if (on_progress && done > 0) on_progress(done, total);

  FetchCall call{options_, *transport_, cache_.get(), *robots_, timeout_seconds, report, {}};
  if (cache_ && !pending.empty()) count_done(serve_from_cache(call, pending));
  if (options_.respect_robots && !pending.empty()) count_done(co_await refuse_by_robots(call, pending));
  if (!pending.empty()) {
    const Transport::LinkDone on_link_done = [&] { count_done(1); };
    co_await fetch_pending(call, std::move(pending), on_link_done);
  }
  if (cache_) {
    cache_->apply(call.update, wall_clock_now());
    report.cache_problem = cache_->problem();
  }

  // Transports that do not report each link still end the count.
  if (on_progress && done < total) on_progress(total, total);

  const auto logger = detail::fetcher_logger();
  if (logger->should_log(spdlog::level::debug)) {
    for (const auto& [link, miss] : report.failures) logger->debug("no page for {}: {}", link, miss.detail);
    logger->debug("fetched {} of {} links", report.pages.size() - report.failures.size(), report.pages.size());
  }
  co_return report;
}

asio::awaitable<PageMap> ConcurrentFetcher::fetch_many(std::vector<std::string> urls, double timeout) {
  const ConcurrentFetcher fetcher;
  FetchReport report = co_await fetcher.fetch(std::move(urls), timeout);
  co_return std::move(report.pages);
}

}  // namespace korvane::core
