// The network transport: one libcurl multi handle per batch, driven through
// libcurl's socket interface by Asio descriptors and a timer on a strand of
// the awaiting coroutine's executor. Nothing here blocks the event loop: the
// coroutine waits on a signal that the last finished transfer fires.
// Transfers start when the transport's pacer admits them (per-host bound,
// delays) and are started again after a retryable failure.
#include <korvane/core/fetcher.hpp>

#include "core/curl_handles.hpp"
#include "core/pacing.hpp"
#include "core/policy.hpp"
#include "text/unicode.hpp"

#include <korvane/errors.hpp>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <random>
#include <unordered_map>

namespace korvane::core {
namespace {

namespace asio = boost::asio;
using detail::EasyHandle;
using detail::MultiHandle;
using detail::Slist;
using detail::set_easy_option;
using detail::set_multi_option;

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

std::optional<asio::ip::address> address_of(const curl_sockaddr& a) {
  if (a.family == AF_INET && a.addrlen >= sizeof(sockaddr_in)) {
    sockaddr_in in{};
    std::memcpy(&in, &a.addr, sizeof in);
    return asio::ip::address_v4(ntohl(in.sin_addr.s_addr));
  }
  if (a.family == AF_INET6 && a.addrlen >= sizeof(sockaddr_in6)) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, &a.addr, sizeof in6);
    asio::ip::address_v6::bytes_type bytes{};
    std::memcpy(bytes.data(), &in6.sin6_addr, bytes.size());
    return asio::ip::address_v6(bytes, in6.sin6_scope_id);
  }
  return std::nullopt;
}

class Batch;
using detail::PaceClock;

// One link's transfer. Lives until the batch ends, so that the pointers
// libcurl holds to it stay valid.
struct Transfer {
  Batch* batch = nullptr;
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

// Failures of a transfer that a later attempt may not meet: the server or
// the path to it dropped the connection, or it took too long.
bool is_retryable_failure(CURLcode code) noexcept {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return true;
    default: return false;
  }
}

// The response headers that decide how a page may be cached, of the last
// request of a transfer (after redirects).
CacheHeaders cache_headers_of(CURL* easy) {
  CacheHeaders h;
  const auto read = [easy](const char* name, std::string& into) {
    curl_header* header = nullptr;
    if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &header) == CURLHE_OK && header != nullptr) {
      into = header->value;
    }
  };
  read("Cache-Control", h.cache_control);
  read("Expires", h.expires);
  read("Date", h.date);
  read("Age", h.age);
  read("ETag", h.etag);
  read("Last-Modified", h.last_modified);
  read("Vary", h.vary);
  read("Pragma", h.pragma);
  return h;
}

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

class Batch {
 public:
  Batch(asio::any_io_executor executor, const std::vector<TransportRequest>& requests, const FetcherOptions& options,
        double timeout_seconds, const Transport::LinkDone& on_link_done, std::shared_ptr<detail::HostPacer> pacer);
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  ~Batch();

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
  std::optional<double> retry_wait(const Transfer& transfer, CURLcode code, long status);
  TransportResult result_of(Transfer& transfer, CURLcode code);
  void fail(std::exception_ptr error) noexcept;
  void wake() noexcept;
  void link_done() noexcept;

  asio::any_io_executor executor_;
  const FetcherOptions& options_;
  const Transport::LinkDone& on_link_done_;
  long timeout_ms_;
  std::size_t max_total_;
  detail::PacingRules pacing_;
  detail::RetryRules retrying_;
  std::shared_ptr<detail::HostPacer> pacer_;
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

Batch::Batch(asio::any_io_executor executor, const std::vector<TransportRequest>& requests,
             const FetcherOptions& options, double timeout_seconds, const Transport::LinkDone& on_link_done,
             std::shared_ptr<detail::HostPacer> pacer)
    : executor_(std::move(executor)),
      options_(options),
      on_link_done_(on_link_done),
      timeout_ms_(std::max(1L, static_cast<long>(std::min(timeout_seconds * 1000.0, 1e9)))),
      max_total_(std::max<std::size_t>(options.max_connections, 1)),
      pacing_(detail::PacingRules::of(options)),
      retrying_(detail::RetryRules::of(options)),
      pacer_(std::move(pacer)),
      curl_timer_(executor_),
      pace_timer_(executor_),
      done_(executor_),
      results_(requests.size()),
      multi_(curl_multi_init()) {
  if (!multi_) throw FetchError("libcurl cannot start a transfer group");
  CURLM* const multi = multi_.get();
  set_multi_option(multi, CURLMOPT_SOCKETFUNCTION, &Batch::on_socket);
  set_multi_option(multi, CURLMOPT_SOCKETDATA, static_cast<void*>(this));
  set_multi_option(multi, CURLMOPT_TIMERFUNCTION, &Batch::on_timer);
  set_multi_option(multi, CURLMOPT_TIMERDATA, static_cast<void*>(this));
  // Our own queue bounds the transfers, in all and (through the pacer) per
  // host of the link; this bounds the connections that redirects to other
  // hosts may add. (libcurl's per-host bound is left alone: it counts
  // connection targets, which CURLOPT_CONNECT_TO may merge.)
  const auto as_long = [](std::size_t n) {
    return static_cast<long>(std::min<std::size_t>(n, std::numeric_limits<int>::max()));
  };
  set_multi_option(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, as_long(max_total_));
  set_multi_option(multi, CURLMOPT_MAXCONNECTS, as_long(max_total_));

  std::vector<std::string> headers{
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
      "Upgrade-Insecure-Requests: 1"};
  if (!options_.accept_language.empty()) headers.push_back("Accept-Language: " + options_.accept_language);
  headers_ = detail::make_slist(headers);
  connect_to_ = detail::make_slist(options_.connect_to);

  transfers_.reserve(requests.size());
  for (std::size_t i = 0; i < requests.size(); ++i) add(i, requests[i]);
  // Another batch of the transport that ends a request to a host may let
  // one of ours start.
  waker_ = pacer_->subscribe([executor = executor_, alive = alive_, this] {
    asio::post(executor, [alive, this] {
      if (*alive) start_queued();
    });
  });
}

// Makes the transfer of request `index`, or its result when libcurl cannot
// read its link.
void Batch::add(std::size_t index, const TransportRequest& request) {
  const std::string url = detail::request_url(request.link);
  const detail::UrlHandle parsed(curl_url());
  if (!parsed) throw FetchError("libcurl cannot allocate a URL");
  char* host = nullptr;
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
    results_[index].failure = {FetchFailure::malformed_link, "malformed link"};
    ++finished_;
    link_done();
    return;
  }
  const detail::CurlString owned_host(host);
  auto transfer = std::make_unique<Transfer>();
  transfer->batch = this;
  transfer->index = index;
  transfer->host = text::ascii_lower(host);
  transfer->any_response = request.any_response;
  if (!request.if_none_match.empty() || !request.if_modified_since.empty()) {
    std::vector<std::string> conditional;
    for (const curl_slist* item = headers_.get(); item != nullptr; item = item->next) conditional.emplace_back(item->data);
    if (!request.if_none_match.empty()) conditional.push_back("If-None-Match: " + request.if_none_match);
    if (!request.if_modified_since.empty()) conditional.push_back("If-Modified-Since: " + request.if_modified_since);
    transfer->headers = detail::make_slist(conditional);
  }
  transfer->easy.reset(curl_easy_init());
  if (!transfer->easy) throw FetchError("libcurl cannot start a transfer");
  configure(*transfer, url);
  queue_.push_back(transfer.get());
  transfers_.push_back(std::move(transfer));
}

void Batch::configure(Transfer& t, const std::string& url) {
  CURL* const easy = t.easy.get();
  void* const self = static_cast<void*>(&t);
  set_easy_option(easy, CURLOPT_PRIVATE, self);
  set_easy_option(easy, CURLOPT_URL, url.c_str());
  set_easy_option(easy, CURLOPT_ERRORBUFFER, t.error.data());
  // Only the web's own schemes, also after a redirect.
  set_easy_option(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  set_easy_option(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set_easy_option(easy, CURLOPT_FOLLOWLOCATION, 1L);
  set_easy_option(easy, CURLOPT_MAXREDIRS, static_cast<long>(std::max(options_.max_redirects, 0)));
  set_easy_option(easy, CURLOPT_AUTOREFERER, 1L);
  // Every content coding this libcurl decodes (gzip, deflate, br, zstd).
  set_easy_option(easy, CURLOPT_ACCEPT_ENCODING, "");
  set_easy_option(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  set_easy_option(easy, CURLOPT_USERAGENT, options_.user_agent.c_str());
  set_easy_option(easy, CURLOPT_HTTPHEADER, t.headers ? t.headers.get() : headers_.get());
  if (connect_to_) set_easy_option(easy, CURLOPT_CONNECT_TO, connect_to_.get());
  if (!options_.ca_certificates_pem.empty()) {
    // libcurl copies the blob.
    curl_blob blob{const_cast<char*>(options_.ca_certificates_pem.data()), options_.ca_certificates_pem.size(),
                   CURL_BLOB_COPY};
    set_easy_option(easy, CURLOPT_CAINFO_BLOB, &blob);
  }
  // Straight to the server: a proxy from the environment would hide the
  // address actually connected to.
  set_easy_option(easy, CURLOPT_PROXY, "");
  // Cookies set along a redirect chain are sent on within it.
  set_easy_option(easy, CURLOPT_COOKIEFILE, "");
  set_easy_option(easy, CURLOPT_NOSIGNAL, 1L);
  set_easy_option(easy, CURLOPT_TIMEOUT_MS, timeout_ms_);
  set_easy_option(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(std::min<std::size_t>(
                                                       options_.max_page_bytes,
                                                       std::numeric_limits<curl_off_t>::max())));
  set_easy_option(easy, CURLOPT_WRITEFUNCTION, &Batch::write_body);
  set_easy_option(easy, CURLOPT_WRITEDATA, self);
  set_easy_option(easy, CURLOPT_XFERINFOFUNCTION, &Batch::on_progress);
  set_easy_option(easy, CURLOPT_XFERINFODATA, self);
  set_easy_option(easy, CURLOPT_NOPROGRESS, 0L);
  set_easy_option(easy, CURLOPT_OPENSOCKETFUNCTION, &Batch::open_socket);
  set_easy_option(easy, CURLOPT_OPENSOCKETDATA, self);
  // Connections outlive their transfer in the connection cache: closing
  // goes to the batch.
  set_easy_option(easy, CURLOPT_CLOSESOCKETFUNCTION, &Batch::close_socket);
  set_easy_option(easy, CURLOPT_CLOSESOCKETDATA, static_cast<void*>(this));
  if (pacing_.spaced()) {
    // The delay to the next request counts from the moment this one goes out.
    set_easy_option(easy, CURLOPT_PREREQFUNCTION, &Batch::on_request_sent);
    set_easy_option(easy, CURLOPT_PREREQDATA, self);
  }
}

Batch::~Batch() {
  *alive_ = false;
  pacer_->unsubscribe(waker_);
  for (const auto& t : transfers_) {
    if (!t->running) continue;
    curl_multi_remove_handle(multi_.get(), t->easy.get());
    pacer_->ended(t->host, PaceClock::now(), -1, false, t->sent, pacing_);
  }
  transfers_.clear();
  multi_.reset();  // closes the cached connections through close_socket
  for (auto& entry : sockets_) entry.second->close();
  sockets_.clear();
}

asio::awaitable<std::vector<TransportResult>> Batch::run() {
  start_queued();
  const auto cancellation = co_await asio::this_coro::cancellation_state;
  while (finished_ < results_.size() && !error_) {
    boost::system::error_code ec;
    done_.expires_at(asio::steady_timer::time_point::max());
    co_await done_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (cancellation.cancelled() != asio::cancellation_type::none) {
      throw boost::system::system_error(asio::error::operation_aborted);
    }
  }
  if (error_) std::rethrow_exception(error_);
  co_return std::move(results_);
}

void Batch::start_queued() {
  const auto now = PaceClock::now();
  std::optional<PaceClock::time_point> next;  // the earliest a waiting transfer may start
  for (auto it = queue_.begin(); it != queue_.end() && running_ < max_total_;) {
    Transfer& t = **it;
    if (now < t.not_before) {
      next = std::min(next.value_or(t.not_before), t.not_before);
      ++it;
      continue;
    }
    const detail::HostPacer::Admission admission = pacer_->admit(t.host, now, pacing_);
    if (!admission.started) {
      if (admission.wait_until) next = std::min(next.value_or(*admission.wait_until), *admission.wait_until);
      ++it;
      continue;
    }
    it = queue_.erase(it);
    if (!start(t)) pacer_->ended(t.host, now, -1, false, false, pacing_);
  }
  if (next) wait_for_pace(*next);
}

// Hands a transfer to libcurl; false (and its result set) when it refuses.
bool Batch::start(Transfer& t) {
  if (const CURLMcode code = curl_multi_add_handle(multi_.get(), t.easy.get()); code != CURLM_OK) {
    results_[t.index].failure = {FetchFailure::transfer_failed,
                                 std::string("cannot start the transfer (") + curl_multi_strerror(code) + ")"};
    results_[t.index].retries = t.retries;
    ++finished_;
    link_done();
    return false;
  }
  t.running = true;
  ++running_;
  return true;
}

// Runs start_queued() again at `until`, unless it runs earlier anyway.
void Batch::wait_for_pace(PaceClock::time_point until) {
  if (pace_wakes_at_ && *pace_wakes_at_ <= until && *pace_wakes_at_ > PaceClock::now()) return;
  pace_wakes_at_ = until;
  pace_timer_.expires_at(until);
  pace_timer_.async_wait([this, alive = alive_](boost::system::error_code ec) {
    if (ec || !*alive) return;
    pace_wakes_at_.reset();
    try {
      start_queued();
    } catch (...) {
      fail(std::current_exception());
    }
  });
}

void Batch::collect_finished() {
  int left = 0;
  while (CURLMsg* const message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* const easy = message->easy_handle;
    const CURLcode code = message->data.result;
    char* transfer = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
    if (transfer != nullptr) finish(*reinterpret_cast<Transfer*>(transfer), code);
  }
  start_queued();
  if (finished_ == results_.size()) wake();
}

void Batch::finish(Transfer& t, CURLcode code) {
  const auto now = PaceClock::now();
  long status = 0;
  curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &status);
  const bool answered = code == CURLE_OK || (code == CURLE_WRITE_ERROR && t.stopped_on_headers);
  const bool server_trouble = answered ? detail::is_retryable_status(status) || status >= 500
                                       : is_retryable_failure(code);
  // The server's time to answer: from the request's going out to its first byte.
  curl_off_t sent_at = 0, first_byte = 0;
  curl_easy_getinfo(t.easy.get(), CURLINFO_PRETRANSFER_TIME_T, &sent_at);
  curl_easy_getinfo(t.easy.get(), CURLINFO_STARTTRANSFER_TIME_T, &first_byte);
  const double latency = first_byte > sent_at ? static_cast<double>(first_byte - sent_at) / 1e6 : 0.0;
  pacer_->ended(t.host, now, latency, server_trouble, t.sent, pacing_);

  const std::optional<double> wait = retry_wait(t, code, answered ? status : 0);
  curl_multi_remove_handle(multi_.get(), t.easy.get());
  t.running = false;
  --running_;
  if (wait) {
    ++t.retries;
    t.reset_attempt();
    t.not_before = now + std::chrono::duration_cast<PaceClock::duration>(std::chrono::duration<double>(*wait));
    queue_.push_back(&t);
    return;
  }
  results_[t.index] = result_of(t, code);
  results_[t.index].retries = t.retries;
  t.easy.reset();
  t.body = std::string();
  ++finished_;
  link_done();
}

// The seconds before the transfer is made again, or nothing when it is not:
// no retries left, an answer that is no sign of trouble, or a Retry-After
// longer than the rules allow. A Retry-After also holds the transfer's host
// for every batch of the transport.
std::optional<double> Batch::retry_wait(const Transfer& t, CURLcode code, long status) {
  if (t.retries >= static_cast<std::size_t>(retrying_.retries)) return std::nullopt;
  if (status != 0 ? !detail::is_retryable_status(status) : !is_retryable_failure(code)) return std::nullopt;
  std::optional<double> retry_after;
  curl_off_t asked = 0;
  if (status != 0 && curl_easy_getinfo(t.easy.get(), CURLINFO_RETRY_AFTER, &asked) == CURLE_OK && asked > 0) {
    retry_after = static_cast<double>(asked);
  }
  const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(jitter_);
  const std::optional<double> wait = detail::retry_wait(retrying_, static_cast<int>(t.retries), retry_after, jitter);
  if (wait && retry_after) {
    pacer_->hold(t.host, PaceClock::now() + std::chrono::duration_cast<PaceClock::duration>(
                                                std::chrono::duration<double>(*wait)));
  }
  return wait;
}

TransportResult Batch::result_of(Transfer& t, CURLcode code) {
  CURL* const easy = t.easy.get();
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  char* type = nullptr;
  curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
  if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && t.stopped_on_headers)) {
    char* final_url = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &final_url);
    return {RawResponse{status, type != nullptr ? type : "", std::move(t.body), final_url != nullptr ? final_url : "",
                        cache_headers_of(easy)},
            {}};
  }
  if (t.failure && (code == CURLE_WRITE_ERROR || code == CURLE_ABORTED_BY_CALLBACK)) {
    return {std::nullopt, *t.failure};
  }
  const std::string detail = t.error[0] != '\0' ? std::string(t.error.data()) : curl_easy_strerror(code);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST: return {std::nullopt, {FetchFailure::dns_failure, "DNS failure"}};
    case CURLE_COULDNT_CONNECT:
      if (!t.refused.empty()) return {std::nullopt, {FetchFailure::refused_address, "refused address " + t.refused.front()}};
      return {std::nullopt, {FetchFailure::connection_failed, "connection failed"}};
    case CURLE_OPERATION_TIMEDOUT: return {std::nullopt, {FetchFailure::timeout, "timeout"}};
    case CURLE_TOO_MANY_REDIRECTS: return {std::nullopt, {FetchFailure::too_many_redirects, "too many redirects"}};
    case CURLE_UNSUPPORTED_PROTOCOL: return {std::nullopt, {FetchFailure::unsupported_scheme, "unsupported scheme on redirect"}};
    case CURLE_FILESIZE_EXCEEDED: return {std::nullopt, {FetchFailure::too_large, "too large"}};
    case CURLE_URL_MALFORMAT: return {std::nullopt, {FetchFailure::malformed_link, "malformed link"}};
    case CURLE_BAD_CONTENT_ENCODING: return {std::nullopt, {FetchFailure::bad_content_encoding, "bad content encoding"}};
    case CURLE_GOT_NOTHING: return {std::nullopt, {FetchFailure::empty_response, "empty reply"}};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return {std::nullopt, {FetchFailure::tls_failure, "TLS failure (" + detail + ")"}};
    default: return {std::nullopt, {FetchFailure::transfer_failed, "transfer failed (" + detail + ")"}};
  }
}

void Batch::fail(std::exception_ptr error) noexcept {
  if (!error_) error_ = std::move(error);
  wake();
}

void Batch::wake() noexcept { done_.cancel(); }

void Batch::link_done() noexcept {
  if (!on_link_done_) return;
  try {
    on_link_done_();
  } catch (...) {
    fail(std::current_exception());  // the observer's failure ends the batch
  }
}

void Batch::act(curl_socket_t s, int flags) {
  int running = 0;
  if (const CURLMcode code = curl_multi_socket_action(multi_.get(), s, flags, &running);
      code != CURLM_OK) {
    throw FetchError(std::string("libcurl failed: ") + curl_multi_strerror(code));
  }
  collect_finished();
}

// ---------------------------------------------------------------- sockets

void Batch::watch(curl_socket_t s, int what, void* socketp) {
  auto found = sockets_.find(s);
  if (what == CURL_POLL_REMOVE) {
    if (found == sockets_.end()) return;
    SocketWatch& w = *found->second;
    w.wanted = 0;
    if (w.owned) {
      // The socket may rest in the connection cache: keep it, stop waiting.
      boost::system::error_code ignored;
      w.descriptor.cancel(ignored);
    } else {
      w.close();
      sockets_.erase(found);
    }
    return;
  }
  // A socket of libcurl's own that we never heard being removed was closed
  // behind our back; this is a new one with the same number.
  if (found != sockets_.end() && socketp == nullptr && !found->second->owned) {
    found->second->close();
    sockets_.erase(found);
    found = sockets_.end();
  }
  if (found == sockets_.end()) {
    found = sockets_.emplace(s, std::make_shared<SocketWatch>(executor_, s, false)).first;
  }
  const std::shared_ptr<SocketWatch> w = found->second;
  curl_multi_assign(multi_.get(), s, w.get());
  w->wanted = what & (CURL_POLL_IN | CURL_POLL_OUT);
  arm(w, s);
}

void Batch::arm(const std::shared_ptr<SocketWatch>& w, curl_socket_t s) {
  if (w->closed) return;
  using Wait = asio::posix::descriptor_base::wait_type;
  const auto start = [&](Wait wait, bool& pending, int direction) {
    pending = true;
    w->descriptor.async_wait(wait, [this, w, s, direction, alive = alive_](boost::system::error_code ec) {
      (direction == CURL_CSELECT_IN ? w->read_pending : w->write_pending) = false;
      if (!*alive || w->closed) return;
      on_ready(w, s, direction, ec);
    });
  };
  if ((w->wanted & CURL_POLL_IN) != 0 && !w->read_pending) {
    start(asio::posix::descriptor_base::wait_read, w->read_pending, CURL_CSELECT_IN);
  }
  if ((w->wanted & CURL_POLL_OUT) != 0 && !w->write_pending) {
    start(asio::posix::descriptor_base::wait_write, w->write_pending, CURL_CSELECT_OUT);
  }
}

void Batch::on_ready(const std::shared_ptr<SocketWatch>& w, curl_socket_t s, int direction,
                     boost::system::error_code ec) {
  try {
    const int wanted_bit = direction == CURL_CSELECT_IN ? CURL_POLL_IN : CURL_POLL_OUT;
    if (ec != asio::error::operation_aborted && (w->wanted & wanted_bit) != 0) {
      act(s, ec ? CURL_CSELECT_ERR : direction);
    }
    arm(w, s);
  } catch (...) {
    fail(std::current_exception());
  }
}

int Batch::on_socket(CURL* /*easy*/, curl_socket_t s, int what, void* batch, void* socketp) noexcept {
  Batch& self = *static_cast<Batch*>(batch);
  try {
    self.watch(s, what, socketp);
    return 0;
  } catch (...) {
    self.fail(std::current_exception());
    return -1;
  }
}

int Batch::on_timer(CURLM* /*multi*/, long timeout_ms, void* batch) noexcept {
  Batch& self = *static_cast<Batch*>(batch);
  try {
    if (timeout_ms < 0) {
      self.curl_timer_.cancel();
      return 0;
    }
    // libcurl may not be called from inside its own callback: even a zero
    // timeout goes through the loop.
    self.curl_timer_.expires_after(std::chrono::milliseconds(timeout_ms));
    self.curl_timer_.async_wait([&self, alive = self.alive_](boost::system::error_code ec) {
      if (ec || !*alive) return;
      try {
        self.act(CURL_SOCKET_TIMEOUT, 0);
      } catch (...) {
        self.fail(std::current_exception());
      }
    });
    return 0;
  } catch (...) {
    self.fail(std::current_exception());
    return -1;
  }
}

curl_socket_t Batch::open_socket(void* transfer, curlsocktype purpose, curl_sockaddr* address) noexcept {
  Transfer& t = *static_cast<Transfer*>(transfer);
  Batch& self = *t.batch;
  if (purpose != CURLSOCKTYPE_IPCXN || address == nullptr) return CURL_SOCKET_BAD;
  try {
    const auto ip = address_of(*address);
    if (!ip) {
      t.refused.emplace_back("of address family " + std::to_string(address->family));
      return CURL_SOCKET_BAD;
    }
    if (!detail::address_allowed(detail::classify_address(*ip), self.options_.allow_private_addresses)) {
      t.refused.push_back(ip->to_string());
      return CURL_SOCKET_BAD;
    }
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0) return CURL_SOCKET_BAD;
    try {
      // A number libcurl's own socket had before it was closed unseen.
      if (const auto stale = self.sockets_.find(fd); stale != self.sockets_.end()) {
        stale->second->close();
        self.sockets_.erase(stale);
      }
      self.sockets_.emplace(fd, std::make_shared<SocketWatch>(self.executor_, fd, true));
    } catch (...) {
      ::close(fd);
      throw;
    }
    return fd;
  } catch (...) {
    self.fail(std::current_exception());
    return CURL_SOCKET_BAD;
  }
}

int Batch::close_socket(void* batch, curl_socket_t s) noexcept {
  Batch& self = *static_cast<Batch*>(batch);
  if (const auto found = self.sockets_.find(s); found != self.sockets_.end() && found->second->owned) {
    found->second->close();
    self.sockets_.erase(found);
    return 0;
  }
  return ::close(s);
}

// ---------------------------------------------------------------- data

std::size_t Batch::write_body(char* data, std::size_t size, std::size_t count, void* transfer) noexcept {
  Transfer& t = *static_cast<Transfer*>(transfer);
  const std::size_t n = size * count;
  try {
    if (!t.headers_checked) {
      t.headers_checked = true;
      long status = 0;
      curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &status);
      char* type = nullptr;
      curl_easy_getinfo(t.easy.get(), CURLINFO_CONTENT_TYPE, &type);
      if (!t.any_response && detail::header_problem(status, type != nullptr ? type : "")) {
        t.stopped_on_headers = true;
        return 0;  // not a page: no need for its body
      }
      curl_off_t length = -1;
      curl_easy_getinfo(t.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      if (length > 0) {
        t.body.reserve(std::min(static_cast<std::size_t>(length), t.batch->options_.max_decoded_bytes));
      }
    }
    if (t.body.size() + n > t.batch->options_.max_decoded_bytes) {
      t.failure = FetchMiss{FetchFailure::too_large, "too large when decoded"};
      return 0;
    }
    t.body.append(data, n);
    return n;
  } catch (...) {
    t.failure = FetchMiss{FetchFailure::transfer_failed, "out of memory"};
    return 0;
  }
}

int Batch::on_progress(void* transfer, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) noexcept {
  Transfer& t = *static_cast<Transfer*>(transfer);
  if (now > 0 && static_cast<std::uint64_t>(now) > t.batch->options_.max_page_bytes) {
    t.failure = FetchMiss{FetchFailure::too_large, "too large"};
    return 1;
  }
  return 0;
}

int Batch::on_request_sent(void* transfer, char*, char*, int, int) noexcept {
  Transfer& t = *static_cast<Transfer*>(transfer);
  // Only the first request counts (a redirect's next hop may go elsewhere).
  if (!t.sent) {
    t.sent = true;
    try {
      t.batch->pacer_->sent(t.host, PaceClock::now());
    } catch (...) {
      t.batch->fail(std::current_exception());
    }
  }
  return CURL_PREREQFUNC_OK;
}

asio::awaitable<std::vector<TransportResult>> run_batch(std::vector<TransportRequest> requests,
                                                        const FetcherOptions& options, double timeout_seconds,
                                                        const Transport::LinkDone& on_link_done,
                                                        std::shared_ptr<detail::HostPacer> pacer) {
  Batch batch(co_await asio::this_coro::executor, requests, options, timeout_seconds, on_link_done, std::move(pacer));
  co_return co_await batch.run();
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
        strand, run_batch(std::move(requests), options, timeout_seconds, on_link_done, pacer_), asio::use_awaitable);
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
