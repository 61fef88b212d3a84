#include <korvane/core/fetcher.hpp>

#include "host/fetcher/policy.hpp"

#include <korvane/errors.hpp>

#include <spdlog/logger.h>
#include <spdlog/spdlog.h>

#include <cmath>
#include <utility>

namespace korvane::core {
namespace {

constexpr const char* logger_name = "korvane.core.fetcher";

// The host's logger for the fetcher, or one without sinks: the library
// never prints on its own.
std::shared_ptr<spdlog::logger> fetcher_logger() {
  if (auto logger = spdlog::get(logger_name)) return logger;
  return std::make_shared<spdlog::logger>(logger_name);
}

}  // namespace

ConcurrentFetcher::ConcurrentFetcher(FetcherOptions options, std::shared_ptr<const Transport> transport)
    : options_(std::move(options)),
      transport_(transport ? std::move(transport) : make_curl_transport()) {}

boost::asio::awaitable<FetchReport> ConcurrentFetcher::fetch(std::vector<std::string> urls,
                                                             double timeout_seconds) const {
  if (!std::isfinite(timeout_seconds) || timeout_seconds <= 0) {
    throw ValueError("the fetch timeout must be a positive number of seconds");
  }
  FetchReport report;
  std::vector<std::string> links;  // distinct and fetchable, in first-seen order
  for (std::string& url : urls) {
    if (report.pages.contains(url)) continue;
    report.pages.emplace(url, std::nullopt);
    if (auto problem = detail::link_problem(url)) {
      report.failures.emplace(std::move(url), std::move(*problem));
    } else {
      links.push_back(std::move(url));
    }
  }

  if (!links.empty()) {
    std::vector<TransportResult> results = co_await transport_->fetch_all(links, options_, timeout_seconds);
    if (results.size() != links.size()) {
      throw FetchError("the page transport answered " + std::to_string(results.size()) + " of " +
                       std::to_string(links.size()) + " links");
    }
    for (std::size_t i = 0; i < links.size(); ++i) {
      TransportResult& result = results[i];
      if (!result.response) {
        report.failures.emplace(links[i], result.failure.empty() ? "no response" : std::move(result.failure));
        continue;
      }
      detail::PageOutcome outcome = detail::page_from_response(std::move(*result.response), options_);
      result.response.reset();
      if (outcome.page) {
        report.pages[links[i]] = std::move(outcome.page);
      } else {
        report.failures.emplace(links[i], std::move(outcome.reason));
      }
    }
  }

  const auto logger = fetcher_logger();
  if (logger->should_log(spdlog::level::debug)) {
    for (const auto& [link, reason] : report.failures) logger->debug("no page for {}: {}", link, reason);
    logger->debug("fetched {} of {} links", report.pages.size() - report.failures.size(),
                  report.pages.size());
  }
  co_return report;
}

boost::asio::awaitable<PageMap> ConcurrentFetcher::fetch_many(std::vector<std::string> urls,
                                                              double timeout) {
  const ConcurrentFetcher fetcher;
  FetchReport report = co_await fetcher.fetch(std::move(urls), timeout);
  co_return std::move(report.pages);
}

}  // namespace korvane::core
