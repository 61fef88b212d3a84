// The extended reading of a page: after the standard stages, the page is
// indexed once, the readers add their candidates (the most trusted first;
// the weak ones only for fields still unsettled), the decision stage picks
// the price, SKU and availability, and these fill or replace the standard
// answers.
#pragma once

#include "commerce/metadata/extended/decide.hpp"
#include "commerce/metadata/extended/evidence.hpp"
#include "commerce/metadata/embedded_data.hpp"
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

// What the readers find on the page behind `url` and what the decision
// makes of it: the same for every match that links to the page.
struct Reading {
  Evidence evidence;
  Decision decision;
};
[[nodiscard]] Reading read(ValidUtf8 html, std::string_view url);

// Applies a page's reading to `s`, which holds the standard answers. A price that only the visible text backs fills a
// missing price but does not replace one. When nothing is decided, the
// standard answers stand, except what is known to be wrong: a zero amount;
// a price from JSON-LD, meta tags or microdata, sources the extended readers
// read in full, that they did not find for the page's own product (a tiny
// number read as 1.00, a product of a list); a currency nothing states; a
// SKU with white space.
void apply(MetadataParseState& s, const Reading& reading, const Inputs& inputs, Trace* trace = nullptr);

// What the readers find on `html` behind `url`, before any decision (for
// looking into a parse).
[[nodiscard]] Evidence gather(ValidUtf8 html, std::string_view url);

}  // namespace korvane::commerce::detail::extended

namespace korvane::commerce::detail {

// parse_metadata, also reporting the sources of an extended parse in `trace`.
[[nodiscard]] MetadataResult parse_metadata_traced(const MetadataRequest& request, extended::Trace* trace);

class ParsedPage;

// parse_metadata of a page parsed before (`request.html` is not read; a null
// `page` is an absent one): the same result as parsing the page's text.
[[nodiscard]] MetadataResult parse_metadata_of_page(const MetadataRequest& request, ParsedPage* page,
                                                    extended::Trace* trace = nullptr);

}  // namespace korvane::commerce::detail
