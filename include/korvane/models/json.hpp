// The JSON form of the commerce records: members in declaration order,
// enumerations as their text values, and with `exclude_none` absent fields
// left out at every level of nesting.
#pragma once

#include <korvane/models.hpp>

#include <boost/json/value.hpp>

#include <string>
#include <string_view>

namespace korvane::models {

struct JsonOptions {
  bool exclude_none = false;  // leave out absent fields at every level
};

[[nodiscard]] boost::json::value to_json(const NormalizedPrice& v, JsonOptions o = {});
[[nodiscard]] boost::json::value to_json(const EnrichedCommerceMatch& v, JsonOptions o = {});
[[nodiscard]] boost::json::value to_json(const CommerceSummary& v, JsonOptions o = {});
[[nodiscard]] boost::json::value to_json(const CommerceIntelligence& v, JsonOptions o = {});
[[nodiscard]] boost::json::value to_json(const VisualMatch& v, JsonOptions o = {});
[[nodiscard]] boost::json::value to_json(const ShoppingOffer& v, JsonOptions o = {});

// JSON text of a record: indentation `indent` (0 for compact), doubles as the
// shortest text that reads back the same ("12.0", "1e+16"), no final line end.
// `model_dump_json(r, 2, true)` is the form the JSON export writes.
template <class Record>
[[nodiscard]] std::string model_dump_json(const Record& r, int indent = 2, bool exclude_none = true);

// JSON text of any value with the records' number format (indent 0: compact).
[[nodiscard]] std::string json_text(const boost::json::value& v, int indent = 0);

// A record read back from JSON: the forms to_json() writes, absent and null
// members taking the record's defaults. VisualMatch and ShoppingOffer also
// read the forms search engines give: a price as a text or as an object
// {"value", "extracted_value", "currency"}, numbers where texts are expected
// (written as JSON writes them), an offer's "product_link" when it has no
// "link"; unknown members are ignored. Throws ValueError naming the member by
// its path below `where` ("visual_matches[2].link must be a string") when the
// value has the wrong shape, or NormalizedPrice refuses the amount.
template <class Record>
[[nodiscard]] Record from_json(const boost::json::value& v, std::string_view where = {});

// The record of a JSON text, as from_json() reads its value; numbers are the
// doubles nearest their text. Throws ValueError "line L, column C: invalid
// JSON: ..." for a text that is not JSON, or as from_json() does.
template <class Record>
[[nodiscard]] Record model_validate_json(std::string_view json_text);

template <> [[nodiscard]] NormalizedPrice from_json<NormalizedPrice>(const boost::json::value&, std::string_view);
template <> [[nodiscard]] VisualMatch from_json<VisualMatch>(const boost::json::value&, std::string_view);
template <> [[nodiscard]] ShoppingOffer from_json<ShoppingOffer>(const boost::json::value&, std::string_view);
template <>
[[nodiscard]] EnrichedCommerceMatch from_json<EnrichedCommerceMatch>(const boost::json::value&, std::string_view);
template <> [[nodiscard]] CommerceSummary from_json<CommerceSummary>(const boost::json::value&, std::string_view);
template <>
[[nodiscard]] CommerceIntelligence from_json<CommerceIntelligence>(const boost::json::value&, std::string_view);

}  // namespace korvane::models
