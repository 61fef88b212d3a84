// Unicode-aware text operations: white space, case mapping, word splitting.
// "White space" is the Unicode White_Space property; lower-casing is ICU's
// full lower-casing in the root locale. Input must be valid UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::text {

// True for code points with the Unicode White_Space property.
[[nodiscard]] bool is_white_space(char32_t cp) noexcept;

// `s` without leading and trailing Unicode white space.
[[nodiscard]] std::string_view strip(std::string_view s) noexcept;
[[nodiscard]] std::string_view lstrip(std::string_view s) noexcept;
[[nodiscard]] std::string_view rstrip(std::string_view s) noexcept;

// The maximal runs of non-white-space characters of `s`, in order.
[[nodiscard]] std::vector<std::string_view> split_white_space(std::string_view s);

// The words of `s` joined by single spaces (also strips both ends).
[[nodiscard]] std::string collapse_white_space(std::string_view s);

// Full Unicode lower-casing (root locale); ASCII text takes a fast path.
[[nodiscard]] std::string to_lower(std::string_view s);

// The letters (lower-cased) and digits of `s`, and every non-ASCII
// character; spaces, hyphens, dots and other ASCII punctuation dropped:
// "TP-Link" and "tp link" both give "tplink", "466/7999" gives "4667999".
[[nodiscard]] std::string letters_and_digits(std::string_view s);

// ASCII-only lower- and upper-casing; other bytes are kept. The one ASCII
// case mapping of the library: protocol names (schemes, header values,
// charset labels, HTML tag and attribute names) and rules that say ASCII.
[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
[[nodiscard]] constexpr char ascii_upper(char c) noexcept {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
[[nodiscard]] std::string ascii_lower(std::string_view s);
[[nodiscard]] std::string ascii_upper(std::string_view s);

// True when `a` and `b` are equal once ASCII letters are lower-cased.
[[nodiscard]] constexpr bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// An ASCII digit, '0' to '9'.
[[nodiscard]] constexpr bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// ASCII white space as HTML reads it in markup, attributes and headers:
// space, tab, line feed, form feed and carriage return (not the vertical tab).
[[nodiscard]] constexpr bool is_html_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Full Unicode upper-casing (root locale).
[[nodiscard]] std::string to_upper(std::string_view s);

// Title-casing: every cased letter that starts the text or follows an
// uncased character is title-cased, every other cased letter lower-cased.
// Digits, punctuation and spaces are uncased. "blue suede-shoes 2x" gives
// "Blue Suede-Shoes 2X"; a capital sigma that ends a word becomes a final
// sigma ("ΣΊΣΥΦΟΣ" gives "Σίσυφος").
[[nodiscard]] std::string title_case(std::string_view s);

}  // namespace korvane::text
