// A transport for runs in tests: pages from a map instead of the network.
#pragma once

#include <korvane/core/fetcher.hpp>

#include <boost/asio/awaitable.hpp>

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace korvane::testing {

// Serves the pages of a map as HTML with status 200 and answers status 404
// for other links; remembers every batch of links it was asked for. With a
// `broken_marker`, a batch holding a link that contains it fails as a whole,
// as a transport that cannot work does.
class PageTable final : public core::Transport {
 public:
  explicit PageTable(std::map<std::string, std::string> pages, std::string broken_marker = {})
      : pages_(std::move(pages)), broken_marker_(std::move(broken_marker)) {}

  boost::asio::awaitable<std::vector<core::TransportResult>> fetch_all(std::vector<std::string> links,
                                                                       const core::FetcherOptions&, double,
                                                                       const LinkDone& on_link_done) const override {
    batches.push_back(links);
    std::vector<core::TransportResult> results;
    for (const auto& link : links) {
      if (!broken_marker_.empty() && link.find(broken_marker_) != std::string::npos) {
        throw std::runtime_error("transport down for " + link);
      }
      core::TransportResult r;
      if (const auto it = pages_.find(link); it != pages_.end()) {
        r.response = core::RawResponse{200, "text/html; charset=utf-8", it->second};
      } else {
        r.failure = {core::FetchFailure::http_status, "status 404"};
      }
      results.push_back(std::move(r));
      if (on_link_done) on_link_done();
    }
    co_return results;
  }

  mutable std::vector<std::vector<std::string>> batches;

 private:
  std::map<std::string, std::string> pages_;
  std::string broken_marker_;
};

}  // namespace korvane::testing
