// The readers of <korvane/commerce/input.hpp> over documents already parsed.
#pragma once

#include <korvane/commerce/run.hpp>

#include <boost/json/parse_options.hpp>
#include <boost/json/value.hpp>

#include <string>
#include <string_view>

namespace korvane::commerce::detail {

// How the readers parse their texts.
[[nodiscard]] boost::json::parse_options input_parse_options();

// read_search_result() of a parsed document; errors name `source`.
[[nodiscard]] EnrichRequest search_result_of(const boost::json::value& document, std::string_view source);

// The message of read_search_result() for a text that is not JSON: "SOURCE:
// line L, column C: invalid JSON: REASON", the position from the error's
// offset into `text`.
[[nodiscard]] std::string invalid_json_message(std::string_view text, std::size_t offset, std::string_view reason,
                                               std::string_view source);

}  // namespace korvane::commerce::detail
