#include <korvane/core/fetcher.hpp>

#include "core/policy.hpp"
#include "text/enum_text.hpp"

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
  }
  return {};
}

template <class Enum>
std::optional<Enum> enum_from_string(std::string_view text) noexcept {
  return text::enum_from_text<Enum>(text);
}
template std::optional<FetchFailure> enum_from_string<FetchFailure>(std::string_view) noexcept;

ConcurrentFetcher::ConcurrentFetcher(FetcherOptions options, std::shared_ptr<const Transport> transport)
    : options_(std::move(options)),
      transport_(transport ? std::move(transport) : make_curl_transport()) {}

boost::asio::awaitable<FetchReport> ConcurrentFetcher::fetch(std::vector<std::string> urls,
                                                             double timeout_seconds, FetchProgress on_progress) const {
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

  // Links refused before any transfer count as done at once.
  const std::size_t total = report.pages.size();
  std::size_t done = report.failures.size();
  if (on_progress && done > 0) on_progress(done, total);
  Transport::LinkDone on_link_done;
  if (on_progress) on_link_done = [&] { on_progress(++done, total); };

  if (!links.empty()) {
    std::vector<TransportResult> results =
        co_await transport_->fetch_all(links, options_, timeout_seconds, on_link_done);
    if (results.size() != links.size()) {
      throw FetchError("the page transport answered " + std::to_string(results.size()) + " of " +
                       std::to_string(links.size()) + " links");
    }
    for (std::size_t i = 0; i < links.size(); ++i) {
      TransportResult& result = results[i];
      if (!result.response) {
        if (result.failure.detail.empty()) result.failure = {FetchFailure::transfer_failed, "no response"};
        report.failures.emplace(links[i], std::move(result.failure));
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

  // Transports that do not report each link still end the count.
  if (on_progress && done < total) on_progress(total, total);

  const auto logger = fetcher_logger();
  if (logger->should_log(spdlog::level::debug)) {
    for (const auto& [link, miss] : report.failures) logger->debug("no page for {}: {}", link, miss.detail);
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
