// The extended reading of a page: after the standard stages, the page is
// indexed once, the readers add their candidates (the most trusted first;
// the weak ones only for fields still unsettled), the decision stage picks
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
  std::optional<Source> brand;
};

// Where the standard stages took the price they left.
enum class PriceOrigin { search_result, ld_json, next_data, meta_tags };

// What the extended reading needs to know besides the page.
struct Inputs {
  std::optional<models::NormalizedPrice> serp_price;  // its currency counts as stated
  PriceOrigin price_origin = PriceOrigin::search_result;
};

// Reads `html` for the extended sources and applies the decision to `s`,
// which holds the standard answers. A price that only the visible text
// backs fills a missing price but does not replace one. When nothing is
// decided, the standard answers stand, except what is known to be wrong: a
// zero amount; a price from JSON-LD, meta tags or microdata, sources the
// extended readers read in full, that they did not find for the page's own
// product (a tiny number read as 1.00, a product of a list); a currency
// nothing states; a SKU with white space.
void read_page(MetadataParseState& s, ValidUtf8 html, const Inputs& inputs, Trace* trace = nullptr);

// What the readers find on `html` behind `url`, before any decision (for
// looking into a parse).
[[nodiscard]] Evidence gather(ValidUtf8 html, std::string_view url);

}  // namespace korvane::commerce::detail::extended

namespace korvane::commerce::detail {

// parse_metadata, also reporting the sources of an extended parse in `trace`.
[[nodiscard]] MetadataResult parse_metadata_traced(const MetadataRequest& request, extended::Trace* trace);

}  // namespace korvane::commerce::detail
