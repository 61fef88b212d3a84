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

// The outcome of one batch: a page or nothing per link, and for every link
// without a page why.
struct FetchReport {
  PageMap pages;
  std::unordered_map<std::string, FetchMiss> failures;
};

// Told after each link of a batch has its outcome: links done, links in all
// (distinct links).
using FetchProgress = std::function<void(std::size_t done, std::size_t total)>;

// How the fetcher behaves. The defaults suit fetching shop pages on the open
// network.
struct FetcherOptions {
  // Transfers running at the same time, in all and per host (the host of the
  // link as passed). Zero counts as one.
  std::size_t max_connections = 16;
  std::size_t max_per_host = 4;
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

}  // namespace korvane::core
