// Which links a tab opens (http and https ones) and which network addresses
// a page may come from: the public internet only, unless the caller allows
// private ones. The address rules are the destination fetcher's, so both
// refuse the same addresses.
#pragma once

#include "core/policy.hpp"

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace korvane::browser::detail {

// True for addresses on the public internet; false for loopback, private,
// shared, link-local, multicast, unspecified, broadcast and reserved ones,
// and for IPv6 forms that carry such an IPv4 address.
[[nodiscard]] inline bool is_public_address(const boost::asio::ip::address& address) noexcept {
  return core::detail::address_allowed(core::detail::classify_address(address), false);
}

// The scheme of `url` (after leading controls and spaces), lower-cased;
// empty when it has none: scheme_of(" HTTPS://a.example/") == "https".
[[nodiscard]] std::string scheme_of(std::string_view url);

// Parses an address as DevTools reports it ("1.2.3.4", "::1" or "[::1]");
// absent when the text is not an address.
[[nodiscard]] std::optional<boost::asio::ip::address> parse_address(std::string_view text);

}  // namespace korvane::browser::detail
