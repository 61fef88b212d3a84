// Writing HTML from untrusted text: escaping for element text, attribute
// values and JSON strings in a data block; the links and numbers the report
// shows.
#pragma once

#include <korvane/models.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::report::detail {

// Appends `text` as element content: "&", "<" and ">" become references.
// Invalid UTF-8 and control characters other than tab, line feed and
// carriage return are written as U+FFFD.
void append_text(std::string& out, std::string_view text);

// Appends `text` as the value of a double-quoted attribute: "&", "<", ">",
// '"' and "'" become references; bad bytes and controls as in append_text.
void append_attribute(std::string& out, std::string_view text);

// Appends `text` as a JSON string (with its quotes) for a
// <script type="application/json"> block: quote and backslash escaped, line
// ends and tabs as escapes, and "<", ">" and "&" as \u003c, \u003e and
// \u0026, so that nothing in it can end the block or open a comment; bad
// bytes and other controls as in append_text.
void append_json_string(std::string& out, std::string_view text);

// `url` as a browser would follow it, when that is an http: or https: link:
// the text without the leading and trailing spaces and control characters
// that browsers drop. Absent for any other scheme (javascript:, data:,
// file:, a relative or scheme-relative link, ...).
[[nodiscard]] std::optional<std::string_view> web_link(std::string_view url);

// True when the item has a price the report can place (a finite amount).
[[nodiscard]] bool has_price(const models::EnrichedCommerceMatch& item) noexcept;

// The item's image links that a card may show: its page image, then the
// search engine's thumbnail, each only when it is a web_link() and not the
// same as the one before.
[[nodiscard]] std::vector<std::string_view> image_sources(const models::EnrichedCommerceMatch& item);

// What a card shows for a web link: its domain without "www.", or the link
// itself when it has none.
[[nodiscard]] std::string link_text(std::string_view link);

// An amount with two decimals and thousands separators: 1299.5 gives
// "1,299.50".
[[nodiscard]] std::string format_amount(double amount);

// A count with thousands separators: 50000 gives "50,000".
[[nodiscard]] std::string format_count(std::size_t n);

// A coordinate for SVG: one decimal at most ("12", "12.5").
[[nodiscard]] std::string format_coordinate(double value);

}  // namespace korvane::report::detail
