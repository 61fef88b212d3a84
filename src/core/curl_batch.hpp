// One batch of transfers of the network transport: the libcurl multi handle,
// its transfers, the sockets libcurl watches through Asio, and the pace and
// retries of the transfers. Used by curl_transport.cpp (the transport),
// curl_batch.cpp (transfers) and curl_sockets.cpp (sockets and data).
#pragma once

#include <korvane/core/fetcher.hpp>

#include "core/curl_handles.hpp"
#include "core/pacing.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane::core::detail {

namespace asio = boost::asio;

class CurlBatch;

// One link's transfer. Lives until the batch ends, so that the pointers
// libcurl holds to it stay valid.
struct Transfer {
  CurlBatch* batch = nullptr;
  std::size_t index = 0;  // in the batch's links
  std::string host;       // for the per-host bound
  EasyHandle easy;
  Slist headers;          // with a conditional request's validators
  bool any_response = false;
  bool running = false;
  // Per attempt:
  bool headers_checked = false;
  bool stopped_on_headers = false;  // status or type ruled the page out
  bool sent = false;                // its request went out (pacing)
  std::string body;
  std::optional<FetchMiss> failure;   // why a callback stopped the transfer
  std::vector<std::string> refused;   // addresses the transfer may not connect to
  std::array<char, CURL_ERROR_SIZE> error{};
  // Across attempts:
  std::size_t retries = 0;
  PaceClock::time_point not_before{};  // a retry waits until then

  // Forgets what one attempt left behind.
  void reset_attempt() {
    headers_checked = stopped_on_headers = sent = false;
    body = std::string();
    failure.reset();
    refused.clear();
    error[0] = '\0';
  }
};

// A socket libcurl asked us to watch. Sockets opened by our open-socket
// callback are owned (closed here); others, such as the resolver's wake-up
// pipe, are only watched.
struct SocketWatch {
  SocketWatch(const asio::any_io_executor& executor, int fd, bool is_owned)
      : descriptor(executor, fd), owned(is_owned) {}

  asio::posix::stream_descriptor descriptor;
  bool owned;
  int wanted = 0;  // CURL_POLL_IN | CURL_POLL_OUT
  bool read_pending = false;
  bool write_pending = false;
  bool closed = false;

  // Stops watching: closes an owned socket, lets go of another one.
  void close() noexcept {
    if (closed) return;
    closed = true;
    boost::system::error_code ignored;
    if (owned) {
      descriptor.close(ignored);
    } else {
      try {
        (void)descriptor.release();
      } catch (...) {
      }
    }
  }
};

// Runs the transfers of one fetch_requests() call on the awaiting
// coroutine's executor (a strand: every handler runs on it).
class CurlBatch {
 public:
  CurlBatch(asio::any_io_executor executor, const std::vector<TransportRequest>& requests, const FetcherOptions& options,
        double timeout_seconds, const Transport::LinkDone& on_link_done, std::shared_ptr<HostPacer> pacer);
  CurlBatch(const CurlBatch&) = delete;
  CurlBatch& operator=(const CurlBatch&) = delete;
  ~CurlBatch();

  asio::awaitable<std::vector<TransportResult>> run();

 private:
  static int on_socket(CURL* easy, curl_socket_t s, int what, void* batch, void* socketp) noexcept;
  static int on_timer(CURLM* multi, long timeout_ms, void* batch) noexcept;
  static curl_socket_t open_socket(void* transfer, curlsocktype purpose, curl_sockaddr* address) noexcept;
  static int close_socket(void* batch, curl_socket_t s) noexcept;
  static std::size_t write_body(char* data, std::size_t size, std::size_t count, void* transfer) noexcept;
  static int on_progress(void* transfer, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) noexcept;
  static int on_request_sent(void* transfer, char*, char*, int, int) noexcept;

  void add(std::size_t index, const TransportRequest& request);
  void configure(Transfer& transfer, const std::string& url);
  void watch(curl_socket_t s, int what, void* socketp);
  void arm(const std::shared_ptr<SocketWatch>& watch, curl_socket_t s);
  void on_ready(const std::shared_ptr<SocketWatch>& watch, curl_socket_t s, int direction,
                boost::system::error_code ec);
  void act(curl_socket_t s, int flags);
  void collect_finished();
  void start_queued();
  bool start(Transfer& transfer);
  void wait_for_pace(PaceClock::time_point until);
  void finish(Transfer& transfer, CURLcode code);
  std::optional<double> wait_before_retry(const Transfer& transfer, CURLcode code, long status);
  TransportResult result_of(Transfer& transfer, CURLcode code);
  void fail(std::exception_ptr error) noexcept;
  void wake() noexcept;
  void link_done() noexcept;

  asio::any_io_executor executor_;
  const FetcherOptions& options_;
  const Transport::LinkDone& on_link_done_;
  long timeout_ms_;
  std::size_t max_total_;
  PacingRules pacing_;
  RetryRules retrying_;
  std::shared_ptr<HostPacer> pacer_;
  std::size_t waker_ = 0;
  std::minstd_rand jitter_{std::random_device{}()};
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  asio::steady_timer curl_timer_;
  asio::steady_timer pace_timer_;
  std::optional<PaceClock::time_point> pace_wakes_at_;
  asio::steady_timer done_;
  std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> sockets_;
  Slist headers_;
  Slist connect_to_;
  std::vector<std::unique_ptr<Transfer>> transfers_;
  std::vector<TransportResult> results_;
  std::deque<Transfer*> queue_;
  std::size_t running_ = 0;
  std::size_t finished_ = 0;
  std::exception_ptr error_;
  MultiHandle multi_;
};

// Fetches `requests` in a batch of their own, paced by `pacer`.
[[nodiscard]] asio::awaitable<std::vector<TransportResult>> run_batch(std::vector<TransportRequest> requests,
                                                                      const FetcherOptions& options,
                                                                      double timeout_seconds,
                                                                      const Transport::LinkDone& on_link_done,
                                                                      std::shared_ptr<HostPacer> pacer);

}  // namespace korvane::core::detail
