// The fetcher's rules, apart from any transport: which links are fetched,
// which addresses may be connected to, which responses are pages.
#pragma once

#include <korvane/core/fetcher.hpp>

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace korvane::core::detail {

// What kind of network an address belongs to.
enum class AddressKind {
  PUBLIC,
  LOOPBACK,     // 127.0.0.0/8, ::1
  PRIVATE,      // 10/8, 172.16/12, 192.168/16, 100.64/10 (CGNAT), fc00::/7, fec0::/10
  LINK_LOCAL,   // 169.254/16, fe80::/10
  RESERVED,     // 192.0.0/24, 198.18/15, 240/4, documentation ranges and the like
  MULTICAST,    // 224/4, ff00::/8
  BROADCAST,    // 255.255.255.255
  UNSPECIFIED,  // 0.0.0.0/8, ::
};

// The kind of `address`. IPv6 forms that carry an IPv4 address (mapped
// ::ffff:0:0/96, compatible ::/96, NAT64 64:ff9b::/96, 6to4 2002::/16) take
// the kind of that IPv4 address.
[[nodiscard]] AddressKind classify_address(const boost::asio::ip::address& address) noexcept;

// True when a connection to an address of `kind` may be made. Unspecified,
// multicast and broadcast addresses are never allowed; loopback, private,
// link-local and reserved ones only with `allow_private`.
[[nodiscard]] bool address_allowed(AddressKind kind, bool allow_private) noexcept;

// Why `link` cannot be fetched at all ("malformed link", "unsupported scheme
// (ftp)", ...), or nothing when it is an http or https link with a host.
[[nodiscard]] std::optional<FetchMiss> link_problem(std::string_view link);

// The host of a link, lower-cased, without port and brackets; empty when it
// has none.
[[nodiscard]] std::string link_host(std::string_view link);

// The link as it is sent: surrounding white space and the fragment dropped,
// tabs and line breaks removed, and spaces, controls, non-ASCII bytes and
// characters never valid in a URL percent-encoded after the host.
[[nodiscard]] std::string request_url(std::string_view link);

// The media type of a Content-Type header value, lower-cased and without
// parameters ("text/html; charset=utf-8" -> "text/html"); empty when the
// value holds no type/subtype.
[[nodiscard]] std::string media_type(std::string_view content_type);

// True for the HTML and XHTML media types.
[[nodiscard]] bool is_html_media_type(std::string_view media) noexcept;

// True when a body with no declared type starts like an HTML document (the
// HTML signatures of MIME sniffing, after leading white space and a byte
// order mark), or names an <html> element in its first 1024 bytes.
[[nodiscard]] bool looks_like_html(std::string_view body) noexcept;

// Why a response's status line and declared type rule it out ("status
// 404", "not HTML (image/png)"), or nothing. A missing type does not rule a
// response out: its body decides.
[[nodiscard]] std::optional<FetchMiss> header_problem(long status, std::string_view content_type);

// A page, or the reason there is none.
struct PageOutcome {
  std::optional<std::string> page;
  FetchMiss reason;  // set when `page` is absent
};

// The page in a response, decoded to UTF-8, or why the response is not one
// ("status 500", "not HTML (application/json)", "empty page", ...).
[[nodiscard]] PageOutcome page_from_response(RawResponse response, const FetcherOptions& options);

}  // namespace korvane::core::detail
