// A forgiving reader of the JSON and JavaScript object literals that pages
// embed in scripts: JSON itself, and also single-quoted strings, unquoted
// keys, trailing commas, comments, raw line breaks in strings, "\x41"
// escapes, !0 and !1, undefined, and values it cannot read (function calls,
// expressions), which become null while the rest of the literal is kept.
#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace korvane::commerce::detail::extended {

struct LooseValue {
  boost::json::value value;
  std::size_t end = 0;  // offset just past the literal in the text given
};

// Reads the object or array literal that starts at `text[pos]` ("{" or "[").
// Absent when there is none there or it is not closed within `text`. Nesting
// deeper than `max_depth` is read as null. Linear in the part of `text` read.
[[nodiscard]] std::optional<LooseValue> read_loose_literal(std::string_view text, std::size_t pos,
                                                           const boost::json::storage_ptr& sp,
                                                           std::size_t max_depth = 64);

}  // namespace korvane::commerce::detail::extended
