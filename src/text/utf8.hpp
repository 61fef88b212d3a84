// UTF-8 helpers shared by every unit. All text inside the library is valid
// UTF-8: input is sanitised once, at the entry of an operation.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane::text {

// The replacement character U+FFFD in UTF-8.
inline constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// True when `s` is well-formed UTF-8 (no overlongs, surrogates or values
// above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view s) noexcept;

// Returns `s` with every ill-formed sequence replaced by U+FFFD, using the
// "maximal subpart" practice of the Unicode standard (the one decoders of the
// WHATWG encoding standard and most language runtimes follow).
[[nodiscard]] std::string sanitize_utf8(std::string_view s);

// `s` itself when it is valid UTF-8, else its sanitised copy, kept in
// `storage` (so valid text, the common case, is not copied).
[[nodiscard]] std::string_view as_valid_utf8(std::string_view s, std::string& storage);

// Number of code points of valid UTF-8 text.
[[nodiscard]] std::size_t code_point_length(std::string_view s) noexcept;

// Byte length of the first `n` code points of valid UTF-8 text (all of it
// when it holds fewer).
[[nodiscard]] std::size_t code_point_prefix_bytes(std::string_view s, std::size_t n) noexcept;

// True for a byte inside a code point's encoding (10xxxxxx), not its first.
[[nodiscard]] constexpr bool is_continuation_byte(char c) noexcept {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The start of the code point that byte `pos` of UTF-8 text belongs to
// (`pos` itself when a code point starts there): where a cut or a step back
// keeps whole code points.
[[nodiscard]] constexpr std::size_t code_point_start(std::string_view s, std::size_t pos) noexcept {
  while (pos > 0 && pos < s.size() && is_continuation_byte(s[pos])) --pos;
  return pos;
}

// Decodes the code point that starts at `pos` of valid UTF-8 text and
// advances `pos` past it.
[[nodiscard]] char32_t next_code_point(std::string_view s, std::size_t& pos) noexcept;

// Appends the UTF-8 form of code point `cp` to `out`. Surrogates and values
// above U+10FFFF are written as U+FFFD.
void append_utf8(std::string& out, char32_t cp);

}  // namespace korvane::text
