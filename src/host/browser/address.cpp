#include "host/browser/address.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace korvane::browser::detail {
namespace {

using boost::asio::ip::address_v4;
using boost::asio::ip::address_v6;

struct V4Range {
  std::uint32_t network;
  int prefix;
};

constexpr std::uint32_t ip4(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

// IPv4 ranges that are not the public internet.
constexpr std::array<V4Range, 15> NON_PUBLIC_V4{{
    {ip4(0, 0, 0, 0), 8},        // "this network", unspecified
    {ip4(10, 0, 0, 0), 8},       // private
    {ip4(100, 64, 0, 0), 10},    // shared address space (carrier NAT)
    {ip4(127, 0, 0, 0), 8},      // loopback
    {ip4(169, 254, 0, 0), 16},   // link-local
    {ip4(172, 16, 0, 0), 12},    // private
    {ip4(192, 0, 0, 0), 24},     // protocol assignments
    {ip4(192, 0, 2, 0), 24},     // documentation
    {ip4(192, 88, 99, 0), 24},   // 6to4 relay anycast
    {ip4(192, 168, 0, 0), 16},   // private
    {ip4(198, 18, 0, 0), 15},    // benchmarking
    {ip4(198, 51, 100, 0), 24},  // documentation
    {ip4(203, 0, 113, 0), 24},   // documentation
    {ip4(224, 0, 0, 0), 4},      // multicast
    {ip4(240, 0, 0, 0), 4},      // reserved, broadcast
}};

bool in_range(std::uint32_t ip, const V4Range& r) {
  const std::uint32_t mask = r.prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - r.prefix);
  return (ip & mask) == (r.network & mask);
}

bool is_public_v4(const address_v4& a) {
  const std::uint32_t ip = a.to_uint();
  for (const auto& r : NON_PUBLIC_V4) {
    if (in_range(ip, r)) return false;
  }
  return true;
}

address_v4 v4_from_bytes(const address_v6::bytes_type& b, std::size_t offset) {
  return address_v4(address_v4::bytes_type{b[offset], b[offset + 1], b[offset + 2], b[offset + 3]});
}

bool is_public_v6(const address_v6& a) {
  if (a.is_unspecified() || a.is_loopback() || a.is_link_local() || a.is_site_local() ||
      a.is_multicast()) {
    return false;
  }
  const auto b = a.to_bytes();
  if (a.is_v4_mapped()) return is_public_v4(v4_from_bytes(b, 12));
  // IPv4-compatible (deprecated) ::a.b.c.d
  bool leading_zero = true;
  for (std::size_t i = 0; i < 12; ++i) leading_zero = leading_zero && b[i] == 0;
  if (leading_zero) return is_public_v4(v4_from_bytes(b, 12));
  if ((b[0] & 0xfe) == 0xfc) return false;                     // fc00::/7 unique local
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0d && b[3] == 0xb8) return false;  // 2001:db8::/32
  if (b[0] == 0x01 && b[1] == 0x00 && b[2] == 0 && b[3] == 0) return false;  // 100::/64 discard
  // NAT64 64:ff9b::/96 and 6to4 2002::/16 carry an IPv4 address.
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b) {
    return is_public_v4(v4_from_bytes(b, 12));
  }
  if (b[0] == 0x20 && b[1] == 0x02) return is_public_v4(v4_from_bytes(b, 2));
  return true;
}

}  // namespace

bool is_public_address(const boost::asio::ip::address& address) noexcept {
  return address.is_v4() ? is_public_v4(address.to_v4()) : is_public_v6(address.to_v6());
}

std::optional<boost::asio::ip::address> parse_address(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  boost::system::error_code ec;
  auto a = boost::asio::ip::make_address(std::string(text), ec);
  if (ec) return std::nullopt;
  return a;
}

}  // namespace korvane::browser::detail
