#include "text/html.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "text/utf8.hpp"

namespace korvane::text {
namespace {

using detail::NamedReference;

#include "text/html_entities.inc"

static_assert(std::is_sorted(named_reference_table.begin(), named_reference_table.end(),
                             [](const NamedReference& a, const NamedReference& b) {
                               return a.name < b.name;
                             }),
              "the generated table must be sorted by name");

// Legacy names (recognised without ";") are at most this long.
constexpr std::size_t longest_legacy_name = 6;

// Code points beyond this mark a numeric reference as out of range; the
// accumulated value saturates here so that any number of digits is safe.
constexpr std::uint32_t out_of_range = 0x110000;

constexpr char32_t replacement = 0xFFFD;

// Replacements for numeric references 0x80-0x9F (windows-1252); 0 where the
// standard lists none and the code point is kept.
constexpr std::array<char32_t, 32> c1_replacements{
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

bool is_ascii_alnum(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int hex_digit_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value stored under exactly `name`, if any.
std::optional<std::string_view> find_named(std::string_view name) noexcept {
  const auto it = std::lower_bound(
      named_reference_table.begin(), named_reference_table.end(), name,
      [](const NamedReference& entry, std::string_view key) { return entry.name < key; });
  if (it == named_reference_table.end() || it->name != name) return std::nullopt;
  return it->value;
}

char32_t numeric_reference_result(std::uint32_t value) noexcept {
  if (value == 0 || value >= out_of_range) return replacement;
  if (value >= 0xD800 && value <= 0xDFFF) return replacement;
  if (value >= 0x80 && value <= 0x9F) {
    const char32_t mapped = c1_replacements[value - 0x80];
    if (mapped != 0) return mapped;
  }
  return static_cast<char32_t>(value);
}

// Decodes the numeric reference whose "&#" starts at `amp`. Returns the
// position after it, or nothing when no digit follows (the text then stays).
std::optional<std::size_t> decode_numeric(std::string_view s, std::size_t amp, std::string& out) {
  std::size_t i = amp + 2;
  const bool hex = i < s.size() && (s[i] == 'x' || s[i] == 'X');
  if (hex) ++i;
  const std::uint32_t base = hex ? 16 : 10;
  const std::size_t digits_start = i;
  std::uint32_t value = 0;
  while (i < s.size()) {
    const int digit = hex ? hex_digit_value(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
    if (digit < 0) break;
    value = value * base + static_cast<std::uint32_t>(digit);
    if (value > out_of_range) value = out_of_range;
    ++i;
  }
  if (i == digits_start) return std::nullopt;
  if (i < s.size() && s[i] == ';') ++i;
  append_utf8(out, numeric_reference_result(value));
  return i;
}

// Where the text being decoded stands.
enum class Context { text, attribute };

// Decodes the named reference whose "&" is at `amp`: the longest name of the
// table that the text continues with. Returns the position after it, or
// nothing when no name matches. In an attribute value, a name without ";"
// followed by "=" or a letter or digit is no reference ("?a=1&copy=2").
std::optional<std::size_t> decode_named(std::string_view s, std::size_t amp, Context context, std::string& out) {
  const std::size_t start = amp + 1;
  std::size_t end = start;
  while (end < s.size() && is_ascii_alnum(s[end])) ++end;
  const std::size_t run = end - start;
  if (run == 0) return std::nullopt;

  // A name with ";" matches only when the whole alphanumeric run is its name.
  if (end < s.size() && s[end] == ';' && run + 1 <= longest_reference_name) {
    if (const auto value = find_named(s.substr(start, run + 1))) {
      out.append(*value);
      return end + 1;
    }
  }
  // Otherwise the longest legacy name that begins the run.
  for (std::size_t len = std::min(run, longest_legacy_name); len > 0; --len) {
    if (const auto value = find_named(s.substr(start, len))) {
      const std::size_t after = start + len;
      if (context == Context::attribute && after < s.size() && (s[after] == '=' || is_ascii_alnum(s[after]))) {
        return std::nullopt;
      }
      out.append(*value);
      return start + len;
    }
  }
  return std::nullopt;
}

std::string unescape(std::string_view s, Context context) {
  std::size_t amp = s.find('&');
  if (amp == std::string_view::npos) return std::string(s);

  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (amp != std::string_view::npos) {
    out.append(s, pos, amp - pos);
    const bool numeric = amp + 1 < s.size() && s[amp + 1] == '#';
    const std::optional<std::size_t> next =
        numeric ? decode_numeric(s, amp, out) : decode_named(s, amp, context, out);
    if (next) {
      pos = *next;
    } else {
      out.push_back('&');
      pos = amp + 1;
    }
    amp = s.find('&', pos);
  }
  out.append(s, pos);
  return out;
}

}  // namespace

std::string html_unescape(std::string_view s) { return unescape(s, Context::text); }

std::string html_unescape_attribute(std::string_view s) { return unescape(s, Context::attribute); }

namespace detail {

std::span<const NamedReference> named_references() noexcept { return named_reference_table; }

}  // namespace detail
}  // namespace korvane::text
