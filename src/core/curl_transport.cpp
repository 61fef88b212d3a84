// The network transport: one libcurl multi handle per batch (curl_batch.hpp),
// driven through libcurl's socket interface by Asio descriptors and a timer
// on a strand of the awaiting coroutine's executor. Nothing here blocks the
// event loop: the coroutine waits on a signal that the last finished
// transfer fires. Transfers start when the transport's pacer admits them
// (per-host bound, delays) and are started again after a retryable failure.
#include <korvane/core/fetcher.hpp>

#include "core/curl_batch.hpp"

#include <korvane/errors.hpp>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <curl/curl.h>

namespace korvane::core {
namespace {

namespace asio = boost::asio;

// libcurl's process-wide set-up, done once; never undone, since other parts
// of the host may still be using libcurl at exit.
struct CurlGlobal {
  CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw FetchError("libcurl cannot be initialised");
    }
  }
};

void ensure_curl_initialised() {
  static const CurlGlobal global;
  (void)global;
}


// The network transport. Its pacer spaces the requests of all its batches.
class CurlTransport final : public Transport {
 public:
  asio::awaitable<std::vector<TransportResult>> fetch_all(std::vector<std::string> links,
                                                          const FetcherOptions& options, double timeout_seconds,
                                                          const LinkDone& on_link_done) const override {
    std::vector<TransportRequest> requests;
    requests.reserve(links.size());
    for (std::string& link : links) {
      TransportRequest& request = requests.emplace_back();
      request.link = std::move(link);
    }
    co_return co_await fetch_requests(std::move(requests), options, timeout_seconds, on_link_done);
  }

  asio::awaitable<std::vector<TransportResult>> fetch_requests(std::vector<TransportRequest> requests,
                                                               const FetcherOptions& options, double timeout_seconds,
                                                               const LinkDone& on_link_done) const override {
    // All of a batch's handlers run on one strand, also when the caller's
    // executor is a pool of threads.
    const auto strand = asio::make_strand(co_await asio::this_coro::executor);
    co_return co_await asio::co_spawn(
        strand, detail::run_batch(std::move(requests), options, timeout_seconds, on_link_done, pacer_),
        asio::use_awaitable);
  }

 private:
  std::shared_ptr<detail::HostPacer> pacer_ = std::make_shared<detail::HostPacer>();
};

}  // namespace

std::shared_ptr<const Transport> make_curl_transport() {
  ensure_curl_initialised();
  return std::make_shared<const CurlTransport>();
}

}  // namespace korvane::core
