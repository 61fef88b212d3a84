// The extended reading of a page: after the standard stages, the page is
// indexed once, every reader adds its candidates, the decision stage picks
// the price, SKU and availability, and these fill or replace the standard
// answers.
#pragma once

#include "commerce/metadata/extended/evidence.hpp"
#include "commerce/metadata/extraction.hpp"
#include "commerce/metadata/state.hpp"

#include <korvane/commerce/metadata.hpp>

#include <optional>

namespace korvane::commerce::detail::extended {

// Which source gave each field of an extended parse ("standard" when the
// standard answer or the search result's value stood; absent when the field
// stayed empty).
struct Trace {
  std::optional<Source> price;
  std::optional<Source> sku;
  std::optional<Source> stock;
};

// Reads `html` for the extended sources and applies the decision to `s`,
// which holds the standard answers. `serp_price` is the search result's
// price, whose currency counts as stated. A price that only the visible
// text backs fills a missing price but does not replace one; a zero amount
// is no price; a currency nothing states is dropped.
void read_page(MetadataParseState& s, ValidUtf8 html, const std::optional<models::NormalizedPrice>& serp_price,
               Trace* trace = nullptr);

// The evidence of all readers on `html` (for tests and the quality program).
[[nodiscard]] Evidence gather(ValidUtf8 html, std::string_view url);

}  // namespace korvane::commerce::detail::extended

namespace korvane::commerce::detail {

// parse_metadata, also reporting the sources of an extended parse in `trace`.
[[nodiscard]] MetadataResult parse_metadata_traced(const MetadataRequest& request, extended::Trace* trace);

}  // namespace korvane::commerce::detail
