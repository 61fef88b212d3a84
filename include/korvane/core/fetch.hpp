// The values of page fetching: how the fetcher behaves, why a link has no
// page, and what one batch gives. (The fetcher itself is in
// <korvane/core/fetcher.hpp>; this header does not need Asio.)
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::core {

// Link, exactly as passed, to the page's HTML (UTF-8) or to nothing when no
// page was obtained.
using PageMap = std::unordered_map<std::string, std::optional<std::string>>;

// Why a link has no page.
enum class FetchFailure {
  malformed_link,        // no scheme, no host, unbalanced brackets
  unsupported_scheme,    // not http or https (also on a redirect)
  refused_address,       // loopback, private, link-local, reserved, ...
  dns_failure,           // the host name did not resolve
  connection_failed,
  tls_failure,
  timeout,
  too_many_redirects,
  http_status,           // a status other than 2xx
  not_html,              // another content type, or a body that is not HTML
  empty_response,
  too_large,             // as sent or once decoded
  bad_content_encoding,
  not_in_page_folder,    // a page folder that does not list the link
  unreadable_file,       // a page folder's file that cannot be read
  transfer_failed,       // anything else
  robots_disallowed,     // the site's robots.txt does not allow it (when asked to respect it)
};

// Text values, in lower snake case: "refused_address", "http_status", ...
[[nodiscard]] std::string_view to_string(FetchFailure reason) noexcept;

// The member with text value `text` (of FetchFailure); absent for an
// unknown text: enum_from_string<FetchFailure>("timeout").
template <class Enum>
[[nodiscard]] std::optional<Enum> enum_from_string(std::string_view text) noexcept;

// Why one link has no page: the reason and a short text for people and logs,
// such as "refused address 10.0.0.1", "timeout", "status 404",
// "not HTML (image/png)", "too large", "DNS failure" or "malformed link".
struct FetchMiss {
  FetchFailure reason = FetchFailure::transfer_failed;
  std::string detail;

  friend bool operator==(const FetchMiss&, const FetchMiss&) = default;
};

// What a batch did beyond fetching: pages served by the page cache, retried
// requests, links refused by robots.txt.
struct FetchCounts {
  std::size_t from_cache = 0;      // fresh cached pages served without a request
  std::size_t revalidated = 0;     // stale cached pages the server confirmed unchanged (304)
  std::size_t retries = 0;         // requests made again after a reset, timeout, 429, 502, 503 or 504
  std::size_t robots_refused = 0;  // links refused by robots.txt

  friend bool operator==(const FetchCounts&, const FetchCounts&) = default;
};

// The outcome of one batch: a page or nothing per link, and for every link
// without a page why.
struct FetchReport {
  PageMap pages;
  std::unordered_map<std::string, FetchMiss> failures;
  FetchCounts counts;
  // Links whose request was made again, with how many times (a page that
  // failed after its retries has the last attempt's reason in `failures`).
  std::unordered_map<std::string, std::size_t> retried;
  // Why the page cache could not be used (a damaged or foreign file, ...);
  // empty when there is none or it worked.
  std::string cache_problem;
};

// Told after each link of a batch has its outcome: links done, links in all
// (distinct links).
using FetchProgress = std::function<void(std::size_t done, std::size_t total)>;

// Retries made when they are asked for without a number (the command
// line's --retries).
inline constexpr int DEFAULT_RETRIES = 2;

// How the fetcher behaves. The defaults suit fetching shop pages on the open
// network.
struct FetcherOptions {
  // Transfers running at the same time, in all and per host (the host of the
  // link as passed). Zero counts as one. The per-host bound holds for every
  // batch fetched through one transport, also at once (the runs of
  // enrich_batch share theirs).
  std::size_t max_connections = 16;
  std::size_t max_per_host = 4;
  // Seconds between the requests to one host at least (0: none), counted
  // from the moment a request is sent. With `adaptive`, each host's delay
  // also follows its answers: it widens towards the host's latency when the
  // host answers more slowly, doubles on errors (429, 5xx, timeouts, resets)
  // and narrows again when answers come back fast, never below `host_delay`.
  double host_delay = 0.0;
  bool adaptive = false;
  // Requests made again after a connection reset, a timeout or a status 429,
  // 502, 503 or 504, at most this many times per link (0: never). A retry
  // waits an exponential backoff (`retry_backoff` seconds, doubled each
  // time, with random jitter), or the time a Retry-After header asks (in
  // seconds or as a date): when that is longer than `max_retry_after`
  // seconds the page is given up at once. An answer other than those
  // statuses is never asked again (a 404 stays a 404).
  int retries = 0;
  double retry_backoff = 0.5;
  double max_retry_after = 60.0;
  // Consults each host's /robots.txt first (RFC 9309), once per host and
  // fetcher, with `robots_agent` as the product token: a link it disallows
  // is not requested (FetchFailure::robots_disallowed). A robots.txt that is
  // missing (4xx) allows everything; a server error (5xx), a 429 or an
  // unreachable host disallows the whole host for the fetcher's life. A
  // fresh page in the page cache is served without asking.
  bool respect_robots = false;
  std::string robots_agent = "korvane-commerce";
  // Redirects followed per link; one more fails with "too many redirects".
  int max_redirects = 5;
  // Largest body accepted as sent (compressed or not), and largest body after
  // the content coding (gzip, br, ...) is undone; a transfer that passes
  // either is stopped ("too large", "too large when decoded").
  std::size_t max_page_bytes = std::size_t{8} << 20U;
  std::size_t max_decoded_bytes = std::size_t{32} << 20U;
  // Allows connections to loopback, private (RFC 1918, CGNAT, IPv6 unique
  // local), link-local and reserved addresses, refused by default. The
  // unspecified addresses (0.0.0.0, ::), multicast and broadcast stay refused
  // in any case: no web page lives there.
  bool allow_private_addresses = false;
  // Request headers sent with every request, like a desktop browser's.
  std::string user_agent =
      "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/124.0.0.0 Safari/537.36";
  std::string accept_language = "en-US,en;q=0.9";
  // Connection overrides in libcurl's CURLOPT_CONNECT_TO form
  // "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT" (empty parts match any), so
  // that links can be served by another server, e.g. example hosts by a
  // loopback server in an offline demo. Ignored by the directory transport.
  std::vector<std::string> connect_to;
  // Certificate authorities (PEM) trusted for HTTPS instead of the system's,
  // when not empty: an offline demo's own certificate, say. Server
  // certificates are always verified.
  std::string ca_certificates_pem;
};

// The response headers that say how long a page may be kept and how to ask
// whether it changed (each empty when the response had none).
struct CacheHeaders {
  std::string cache_control;
  std::string expires;
  std::string date;
  std::string age;
  std::string etag;
  std::string last_modified;
  std::string vary;
  std::string pragma;

  friend bool operator==(const CacheHeaders&, const CacheHeaders&) = default;
};

// A response as a transport received it: the final status after redirects,
// the Content-Type header as sent (empty when there was none) and the body
// with its content coding undone but still in its own charset; the final
// link after redirects (empty: the link asked for) and the caching headers.
// A transport may leave the body empty when the status or type already rule
// it out.
struct RawResponse {
  long status = 0;
  std::string content_type;
  std::string body;
  std::string url{};
  CacheHeaders cache_headers{};

  friend bool operator==(const RawResponse&, const RawResponse&) = default;
};

}  // namespace korvane::core
