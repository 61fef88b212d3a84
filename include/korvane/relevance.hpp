// Relevance services: a label per item, the market summary of a result and
// the order in which fused results are shown.
#pragma once

#include <korvane/models.hpp>

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvane::relevance {

// What the caller searched for, when known.
struct RelevanceContext {
  std::optional<std::string> query;  // words the item's title should mention
};

// The relevance label of one item:
//   EXACT_MATCH  a product or marketplace page with a price and a match score of 95 or more;
//   HIGH         a product or marketplace page with a price or a match score of 90 or more;
//   MEDIUM       any other product or marketplace page, or an uncategorised page with a
//                match score of 80 or more;
//   LOW          everything else (articles, portfolios, social posts, weak matches).
// With a context whose query has words of 3 or more letters and digits, an item whose
// title mentions none of them (compared in lower case) goes one label down.
[[nodiscard]] models::RelevanceLabel classify_match_relevance(
    const models::EnrichedCommerceMatch& item, const RelevanceContext* context = nullptr);

// The summary of `items`, starting from `summary` (its total_matches is kept):
//   total_priced_matches  items with a price, in any currency;
//   currency              the currency most items are priced in (the first seen wins a
//                         tie), or summary.currency when no item has a price;
//   min/median/average/max_price  over the items priced in that currency (average and
//                         median rounded to cents), absent when there are none;
//   in_stock_count        items whose stock status is IN_STOCK;
//   merchant_categories, page_types  the number of items per value (absent categories
//                         are not counted).
[[nodiscard]] models::CommerceSummary recompute_market_summary(
    std::span<const models::EnrichedCommerceMatch> items, models::CommerceSummary summary);

// `items` as a new list in display order, a stable sort by: relevance label (EXACT_MATCH,
// HIGH, MEDIUM, LOW; an item without a label ranks by the label classify_match_relevance
// gives it), then items with a price before items without, then the higher match score
// first. Ties keep their input order. Labels are not written into the items.
[[nodiscard]] std::vector<models::EnrichedCommerceMatch> sort_commerce_items(
    std::vector<models::EnrichedCommerceMatch> items);

}  // namespace korvane::relevance
