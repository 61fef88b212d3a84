// Writing HTML from untrusted text: escaping for element text and for
// attribute values, the links and numbers the report shows.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane::report::detail {

// Appends `text` as element content: "&", "<" and ">" become references.
// Invalid UTF-8 and control characters other than tab, line feed and
// carriage return are written as U+FFFD.
void append_text(std::string& out, std::string_view text);

// Appends `text` as the value of a double-quoted attribute: "&", "<", ">",
// '"' and "'" become references; bad bytes and controls as in append_text.
void append_attribute(std::string& out, std::string_view text);

// `url` as a browser would follow it, when that is an http: or https: link:
// the text without the leading and trailing spaces and control characters
// that browsers drop. Absent for any other scheme (javascript:, data:,
// file:, a relative or scheme-relative link, ...).
[[nodiscard]] std::optional<std::string_view> web_link(std::string_view url);

// An amount with two decimals and thousands separators: 1299.5 gives
// "1,299.50".
[[nodiscard]] std::string format_amount(double amount);

// A coordinate for SVG: one decimal at most ("12", "12.5").
[[nodiscard]] std::string format_coordinate(double value);

}  // namespace korvane::report::detail
