#include "host/browser/address.hpp"

#include "text/unicode.hpp"

#include <algorithm>
#include <string>

namespace korvane::browser::detail {

std::string scheme_of(std::string_view url) {
  std::size_t i = 0;
  while (i < url.size() && static_cast<unsigned char>(url[i]) <= ' ') ++i;
  url.remove_prefix(i);
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  const auto scheme = url.substr(0, colon);
  const bool valid = std::all_of(scheme.begin(), scheme.end(), [](char c) {
    const char lower = text::ascii_lower(c);
    return (lower >= 'a' && lower <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
  });
  return valid ? text::ascii_lower(scheme) : std::string();
}

std::optional<boost::asio::ip::address> parse_address(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  boost::system::error_code ec;
  auto address = boost::asio::ip::make_address(std::string(text), ec);
  if (ec) return std::nullopt;
  return address;
}

}  // namespace korvane::browser::detail
