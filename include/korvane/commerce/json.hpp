// The JSON form of the package's own results: the metadata of a page and the
// report of a run. (The records' JSON form is in <korvane/models/json.hpp>.)
#pragma once

#include <korvane/commerce/metadata.hpp>
#include <korvane/commerce/run.hpp>

#include <boost/json/value.hpp>

namespace korvane::commerce {

// The 12 entries of `r` as a JSON object, keys in declaration order,
// enumerations as their text values, `price` as an object or null.
[[nodiscard]] boost::json::value to_json(const MetadataResult& r);

// A run's report as a JSON object: counts, every page missed with its reason
// and detail, every store search page with its outcome, times in seconds.
[[nodiscard]] boost::json::value to_json(const RunReport& report);

}  // namespace korvane::commerce
