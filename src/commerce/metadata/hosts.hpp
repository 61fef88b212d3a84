// Host tests of the page classification: whether a listed host is the
// page's domain or one of its parents.
#pragma once

#include <korvane/commerce/tables.hpp>

#include <cstddef>
#include <string_view>

namespace korvane::commerce::detail {

// True when `host` occurs in `domain` as whole labels: preceded by the start
// or a ".", followed by the end, a "." or a ":". So "x.com" matches
// "www.x.com" and "x.com:8080" but not "rolex.com".
[[nodiscard]] bool host_occurs_in(std::string_view domain, std::string_view host) noexcept;

// True when some host of `table` occurs in `domain` by host_occurs_in().
template <std::size_t N>
[[nodiscard]] bool any_host_occurs_in(const StringSet<N>& table, std::string_view domain) noexcept {
  for (const std::string_view host : table) {
    if (host_occurs_in(domain, host)) return true;
  }
  return false;
}

}  // namespace korvane::commerce::detail
