// Which network addresses a page may come from: the public internet only,
// unless the caller allows private ones.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string_view>

namespace korvane::browser::detail {

// True for addresses on the public internet; false for loopback, private
// (RFC 1918, unique local), shared (100.64/10), link-local, multicast,
// unspecified, broadcast, reserved and documentation ranges, and for IPv6
// forms that embed such an IPv4 address (mapped, NAT64, 6to4).
[[nodiscard]] bool is_public_address(const boost::asio::ip::address& address) noexcept;

// Parses an address as DevTools reports it ("1.2.3.4", "::1" or "[::1]");
// absent when the text is not an address.
[[nodiscard]] std::optional<boost::asio::ip::address> parse_address(std::string_view text);

}  // namespace korvane::browser::detail
