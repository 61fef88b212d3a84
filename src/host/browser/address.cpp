#include "host/browser/address.hpp"

#include <string>

namespace korvane::browser::detail {

std::optional<boost::asio::ip::address> parse_address(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  boost::system::error_code ec;
  auto address = boost::asio::ip::make_address(std::string(text), ec);
  if (ec) return std::nullopt;
  return address;
}

}  // namespace korvane::browser::detail
