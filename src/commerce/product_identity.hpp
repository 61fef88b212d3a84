// What makes two commerce items the same listing or the same product: the
// keys that the fusion by product (extended mode) and the report's product
// groups compare.
#pragma once

#include <korvane/models.hpp>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::commerce::detail {

// The listing `link` leads to, as a text to compare: the link unwrapped
// (search-engine redirect, tracking parameters and text fragment gone), then
// without scheme, "www.", fragment, a trailing "/" and the click-tracking
// parameters of marketplaces and shops, lower-cased. A path that carries a
// marketplace item number ("/itm/<slug>/<number>", "/dp/<ASIN>", ...) gives
// the host and that number instead, whatever else the link holds. A link
// that is not an http(s) link, or cannot be split, names no listing: the
// empty text.
//   listing_key("https://www.ebay.com/itm/256418894517?mkcid=16&mkevt=1")
//     == listing_key("https://ebay.com/itm/Nike-Air-Max/256418894517") == "ebay.com#itm:256418894517"
[[nodiscard]] std::string listing_key(std::string_view link);

// The GTIN (EAN/UPC) that `code` is, as 14 digits with leading zeros: 8, 12,
// 13 or 14 digits (spaces and hyphens between them allowed) whose check digit
// holds. Absent for anything else.
//   gtin_of("0 885178 123456") -> "00885178123456" when the check digit holds
[[nodiscard]] std::optional<std::string> gtin_of(std::string_view code);

// Brand and SKU as one key, each lower-cased without spaces and punctuation
// ("Nike" + "CT1685-100" -> "nike|ct1685100"). Absent when either is missing
// or the SKU is too weak to name a product (fewer than four letters and
// digits, or no digit: sizes and colour words).
[[nodiscard]] std::optional<std::string> brand_sku_key(const std::optional<std::string>& brand,
                                                       const std::optional<std::string>& sku);

// An item's identity keys; empty or absent when it has none of that kind.
struct ProductKeys {
  std::string domain;                    // the cleaned link's host without "www.", lower-cased
  std::string listing;                   // listing_key(direct_url)
  bool numbered = false;                 // the listing is a marketplace item number
  std::optional<std::string> gtin;       // gtin_of(sku)
  std::optional<std::string> brand_sku;  // brand_sku_key(brand, sku)
};

[[nodiscard]] ProductKeys product_keys(const models::EnrichedCommerceMatch& item);

// The product group of each item: items that share a listing key, a GTIN or
// a brand and SKU are in one group, also through other items (a shares a
// GTIN with b, b a listing with c: one group). Groups are numbered 0, 1, ...
// in the order of their first item.
[[nodiscard]] std::vector<std::size_t> product_groups(std::span<const models::EnrichedCommerceMatch> items);

}  // namespace korvane::commerce::detail
