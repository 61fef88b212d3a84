// The decision stage of the extended mode: from the readers' candidates to
// one price, SKU and availability.
//
// Price: every source votes with its best candidate, weighted by how far
// the kind of source is trusted; the amount with the most weight wins, a tie
// going to the more trusted source. Its currency is the first one a voter
// for it wrote, else the page's declared currency, else none.
// SKU: each value is scored by the strongest kind of field that gave it,
// with a bonus for every further source that agrees and for occurring in
// the page's link.
// Availability: the most trusted source that says something.
// Brand: the most trusted source that names a brand, else the most trusted
// that names the maker.
#pragma once

#include "commerce/metadata/extended/evidence.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace korvane::commerce::detail::extended {

struct PriceDecision {
  double amount = 0.0;
  std::string currency;  // empty when nothing states one
  Source source = Source::standard;
  bool structured = true;  // false when only the visible price backs it
};

struct SkuDecision {
  std::string value;
  Source source = Source::standard;
};

struct StockDecision {
  models::StockStatus status = models::StockStatus::IN_STOCK;
  Source source = Source::standard;
};

struct BrandDecision {
  std::string value;
  Source source = Source::standard;
};

struct Decision {
  std::optional<PriceDecision> price;
  std::optional<SkuDecision> sku;
  std::optional<StockDecision> stock;
  std::optional<BrandDecision> brand;
};

[[nodiscard]] Decision decide(const Evidence& evidence, std::string_view url);

// Whether the evidence so far already settles a field: no candidate the
// later, weaker readers can add (a visible price; a stock cue; a brand
// label) could change the decision. (Item labels are always read for the
// SKU: whether the shopper is shown a number weighs in its decision.) The readers run from the most to the
// least trusted and the weak ones are skipped once a field is settled.
[[nodiscard]] bool price_settled(const Evidence& evidence);
[[nodiscard]] bool stock_settled(const Evidence& evidence);
[[nodiscard]] bool brand_settled(const Evidence& evidence);

}  // namespace korvane::commerce::detail::extended
