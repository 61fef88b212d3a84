// JSON text output with the number format of format_shortest().
#pragma once

#include <boost/json/value.hpp>

#include <string>

namespace korvane::text {

// Writes `v` as JSON. With indent > 0, members and elements go on lines of
// their own, indented by `indent` spaces per level, ": " after keys (empty
// arrays and objects stay "[]" and "{}"); with indent 0 the text is compact,
// without spaces. Strings are written as UTF-8 with only '"', '\\' and
// control characters escaped; doubles as format_shortest() writes them,
// except integers too large for 64 bits read by parse_json(), which are
// written with their source digits, and NaN and the infinities, which JSON
// cannot hold: they are written as null.
[[nodiscard]] std::string write_json(const boost::json::value& v, int indent = 0);

// The text form of a JSON value: a string is itself, an integer its decimal
// digits (also one too large for 64 bits, read by parse_json()), a double
// format_shortest(), true/false/null those words, arrays and objects compact
// JSON.
[[nodiscard]] std::string json_text_form(const boost::json::value& v);

}  // namespace korvane::text
