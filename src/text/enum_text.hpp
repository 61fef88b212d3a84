// Reading enumerations back from their text values.
#pragma once

#include <optional>
#include <string_view>
#include <type_traits>

namespace korvane::text {

// The member of `Enum` whose to_string() is `text`; absent for an unknown
// text. The members are tried in declaration order (0, 1, ...) until
// to_string() gives the empty text: for enumerations numbered from 0 without
// gaps whose to_string() names every member and gives the empty text for any
// other value.
template <class Enum>
[[nodiscard]] std::optional<Enum> enum_from_text(std::string_view text) noexcept {
  for (std::underlying_type_t<Enum> i = 0;; ++i) {
    const auto member = static_cast<Enum>(i);
    const std::string_view name = to_string(member);
    if (name.empty()) return std::nullopt;
    if (name == text) return member;
  }
}

}  // namespace korvane::text
