// The JSON form of the commerce records: members in declaration order,
// enumerations as their text values, and with `exclude_none` absent fields
// left out at every level of nesting.
#pragma once

#include <korvane/models.hpp>

#include <boost/json/value.hpp>

#include <string>

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

// Reading records back from JSON (the forms written above, absent fields
// optional). Throw ValueError naming the offending member on a wrong shape.
[[nodiscard]] NormalizedPrice normalized_price_from_json(const boost::json::value& v);
[[nodiscard]] EnrichedCommerceMatch enriched_match_from_json(const boost::json::value& v);
[[nodiscard]] CommerceSummary commerce_summary_from_json(const boost::json::value& v);
[[nodiscard]] CommerceIntelligence commerce_intelligence_from_json(const boost::json::value& v);

}  // namespace korvane::models
