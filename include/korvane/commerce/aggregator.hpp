// Fusion of enriched visual matches with shopping offers into one ranked
// list. (The CSV and JSON exports are in <korvane/commerce/export.hpp>.)
#pragma once

#include <korvane/commerce/metadata.hpp>
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

  // The same fusion in `mode`: `standard` is the rule above. `extended`
  // first gives every offer the merchant category of its link's domain, as
  // a visual match gets it (MerchantClassifier::classify with the offer's
  // title and merchant name), then finds more duplicates: items whose links
  // lead to the same listing once tracking and click-tracking parameters
  // are removed (or that name the same marketplace item number in the path),
  // and items on the same shop's domain with the same GTIN or the same brand
  // and SKU. Items on different domains stay apart even with one GTIN, and so
  // do a marketplace's listings (other sellers): they are different offers
  // of one product. A duplicate is not dropped but merged
  // into the item that stays, which takes the fields it lacks (brand, SKU,
  // stock, condition, images, category ...) from it; offers still win.
  [[nodiscard]] static std::vector<models::EnrichedCommerceMatch> fuse_matches_and_offers(
      std::span<const models::EnrichedCommerceMatch> lens_items,
      std::span<const models::ShoppingOffer> shopping_offers, ExtractionMode mode);
};

}  // namespace korvane::commerce
