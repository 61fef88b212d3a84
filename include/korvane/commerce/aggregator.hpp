// Fusion of enriched visual matches with shopping offers into one ranked
// list. (The CSV and JSON exports are in <korvane/commerce/export.hpp>.)
#pragma once

#include <korvane/models.hpp>

#include <span>
#include <vector>

namespace korvane::commerce {

class CommerceAggregator {
 public:
  CommerceAggregator() = delete;

  // One deduplicated list of the offers (converted with
  // EnrichedCommerceMatch::from_shopping_offer) and the visual-match items,
  // offers first, ordered by relevance::sort_commerce_items. Two items are
  // duplicates when their links agree after lower-casing and trimming, or
  // when their merchant names agree and their titles agree in the first 30
  // characters (case-insensitively); the earlier one stays, so an offer wins
  // over a visual match. The inputs are not changed.
  [[nodiscard]] static std::vector<models::EnrichedCommerceMatch> fuse_matches_and_offers(
      std::span<const models::EnrichedCommerceMatch> lens_items,
      std::span<const models::ShoppingOffer> shopping_offers);
};

}  // namespace korvane::commerce
