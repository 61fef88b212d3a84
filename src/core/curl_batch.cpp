// The transfers of a batch: made from their requests, started as the pacer
// admits them, made again after a retryable failure, and their results.
#include "core/curl_batch.hpp"

#include "core/policy.hpp"
#include "text/unicode.hpp"

#include <korvane/errors.hpp>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <limits>

namespace korvane::core::detail {
namespace {

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

}  // namespace

CurlBatch::CurlBatch(asio::any_io_executor executor, const std::vector<TransportRequest>& requests,
             const FetcherOptions& options, double timeout_seconds, const Transport::LinkDone& on_link_done,
             std::shared_ptr<HostPacer> pacer)
    : executor_(std::move(executor)),
      options_(options),
      on_link_done_(on_link_done),
      timeout_ms_(std::max(1L, static_cast<long>(std::min(timeout_seconds * 1000.0, 1e9)))),
      max_total_(std::max<std::size_t>(options.max_connections, 1)),
      pacing_(PacingRules::of(options)),
      retrying_(RetryRules::of(options)),
      pacer_(std::move(pacer)),
      curl_timer_(executor_),
      pace_timer_(executor_),
      done_(executor_),
      results_(requests.size()),
      multi_(curl_multi_init()) {
  if (!multi_) throw FetchError("libcurl cannot start a transfer group");
  CURLM* const multi = multi_.get();
  set_multi_option(multi, CURLMOPT_SOCKETFUNCTION, &CurlBatch::on_socket);
  set_multi_option(multi, CURLMOPT_SOCKETDATA, static_cast<void*>(this));
  set_multi_option(multi, CURLMOPT_TIMERFUNCTION, &CurlBatch::on_timer);
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
  headers_ = make_slist(headers);
  connect_to_ = make_slist(options_.connect_to);

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
void CurlBatch::add(std::size_t index, const TransportRequest& request) {
  const std::string url = request_url(request.link);
  const UrlHandle parsed(curl_url());
  if (!parsed) throw FetchError("libcurl cannot allocate a URL");
  char* host = nullptr;
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
    results_[index].failure = {FetchFailure::malformed_link, "malformed link"};
    ++finished_;
    link_done();
    return;
  }
  const CurlString owned_host(host);
  auto transfer = std::make_unique<Transfer>();
  transfer->batch = this;
  transfer->index = index;
  transfer->host = text::ascii_lower(host);
  transfer->any_response = request.any_response;
  if (!request.if_none_match.empty() || !request.if_modified_since.empty()) {
    std::vector<std::string> conditional;
    for (const curl_slist* item = headers_.get(); item != nullptr; item = item->next) {
      conditional.emplace_back(item->data);
    }
    if (!request.if_none_match.empty()) conditional.push_back("If-None-Match: " + request.if_none_match);
    if (!request.if_modified_since.empty()) conditional.push_back("If-Modified-Since: " + request.if_modified_since);
    transfer->headers = make_slist(conditional);
  }
  transfer->easy.reset(curl_easy_init());
  if (!transfer->easy) throw FetchError("libcurl cannot start a transfer");
  configure(*transfer, url);
  queue_.push_back(transfer.get());
  transfers_.push_back(std::move(transfer));
}

void CurlBatch::configure(Transfer& t, const std::string& url) {
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
  set_easy_option(easy, CURLOPT_WRITEFUNCTION, &CurlBatch::write_body);
  set_easy_option(easy, CURLOPT_WRITEDATA, self);
  set_easy_option(easy, CURLOPT_XFERINFOFUNCTION, &CurlBatch::on_progress);
  set_easy_option(easy, CURLOPT_XFERINFODATA, self);
  set_easy_option(easy, CURLOPT_NOPROGRESS, 0L);
  set_easy_option(easy, CURLOPT_OPENSOCKETFUNCTION, &CurlBatch::open_socket);
  set_easy_option(easy, CURLOPT_OPENSOCKETDATA, self);
  // Connections outlive their transfer in the connection cache: closing
  // goes to the batch.
  set_easy_option(easy, CURLOPT_CLOSESOCKETFUNCTION, &CurlBatch::close_socket);
  set_easy_option(easy, CURLOPT_CLOSESOCKETDATA, static_cast<void*>(this));
  if (pacing_.spaced()) {
    // The delay to the next request counts from the moment this one goes out.
    set_easy_option(easy, CURLOPT_PREREQFUNCTION, &CurlBatch::on_request_sent);
    set_easy_option(easy, CURLOPT_PREREQDATA, self);
  }
}

CurlBatch::~CurlBatch() {
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

asio::awaitable<std::vector<TransportResult>> CurlBatch::run() {
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

void CurlBatch::start_queued() {
  const auto now = PaceClock::now();
  std::optional<PaceClock::time_point> next;  // the earliest a waiting transfer may start
  for (auto it = queue_.begin(); it != queue_.end() && running_ < max_total_;) {
    Transfer& t = **it;
    if (now < t.not_before) {
      next = std::min(next.value_or(t.not_before), t.not_before);
      ++it;
      continue;
    }
    const HostPacer::Admission admission = pacer_->admit(t.host, now, pacing_);
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
bool CurlBatch::start(Transfer& t) {
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
void CurlBatch::wait_for_pace(PaceClock::time_point until) {
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

void CurlBatch::collect_finished() {
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

void CurlBatch::finish(Transfer& t, CURLcode code) {
  const auto now = PaceClock::now();
  long status = 0;
  curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &status);
  const bool answered = code == CURLE_OK || (code == CURLE_WRITE_ERROR && t.stopped_on_headers);
  const bool server_trouble = answered ? is_retryable_status(status) || status >= 500
                                       : is_retryable_failure(code);
  // The server's time to answer: from the request's going out to its first byte.
  curl_off_t sent_at = 0, first_byte = 0;
  curl_easy_getinfo(t.easy.get(), CURLINFO_PRETRANSFER_TIME_T, &sent_at);
  curl_easy_getinfo(t.easy.get(), CURLINFO_STARTTRANSFER_TIME_T, &first_byte);
  const double latency = first_byte > sent_at ? static_cast<double>(first_byte - sent_at) / 1e6 : 0.0;
  pacer_->ended(t.host, now, latency, server_trouble, t.sent, pacing_);

  const std::optional<double> wait = wait_before_retry(t, code, answered ? status : 0);
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
std::optional<double> CurlBatch::wait_before_retry(const Transfer& t, CURLcode code, long status) {
  if (t.retries >= static_cast<std::size_t>(retrying_.retries)) return std::nullopt;
  if (status != 0 ? !is_retryable_status(status) : !is_retryable_failure(code)) return std::nullopt;
  std::optional<double> retry_after;
  curl_off_t asked = 0;
  if (status != 0 && curl_easy_getinfo(t.easy.get(), CURLINFO_RETRY_AFTER, &asked) == CURLE_OK && asked > 0) {
    retry_after = static_cast<double>(asked);
  }
  const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(jitter_);
  const std::optional<double> wait = retry_wait(retrying_, static_cast<int>(t.retries), retry_after, jitter);
  if (wait && retry_after) {
    pacer_->hold(t.host, PaceClock::now() + std::chrono::duration_cast<PaceClock::duration>(
                                                std::chrono::duration<double>(*wait)));
  }
  return wait;
}

TransportResult CurlBatch::result_of(Transfer& t, CURLcode code) {
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

void CurlBatch::fail(std::exception_ptr error) noexcept {
  if (!error_) error_ = std::move(error);
  wake();
}

void CurlBatch::wake() noexcept { done_.cancel(); }

void CurlBatch::link_done() noexcept {
  if (!on_link_done_) return;
  try {
    on_link_done_();
  } catch (...) {
    fail(std::current_exception());  // the observer's failure ends the batch
  }
}

void CurlBatch::act(curl_socket_t s, int flags) {
  int running = 0;
  if (const CURLMcode code = curl_multi_socket_action(multi_.get(), s, flags, &running);
      code != CURLM_OK) {
    throw FetchError(std::string("libcurl failed: ") + curl_multi_strerror(code));
  }
  collect_finished();
}

asio::awaitable<std::vector<TransportResult>> run_batch(std::vector<TransportRequest> requests,
                                                        const FetcherOptions& options, double timeout_seconds,
                                                        const Transport::LinkDone& on_link_done,
                                                        std::shared_ptr<HostPacer> pacer) {
  CurlBatch batch(co_await asio::this_coro::executor, requests, options, timeout_seconds, on_link_done,
                  std::move(pacer));
  co_return co_await batch.run();
}

}  // namespace korvane::core::detail
