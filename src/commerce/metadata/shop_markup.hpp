// Searches for common shop-theme markup in a whole page: WooCommerce amounts,
// microdata "itemprop" attributes, SKU spans and attributes, stock classes.
// Each gives the first match of its pattern (see patterns.hpp), found in time
// linear in the page size whatever the page holds.
#pragma once

#include "commerce/metadata/embedded_data.hpp"
#include "commerce/metadata/lazy.hpp"

#include <optional>
#include <string_view>

namespace korvane::commerce::detail {

// Group 1 of the first match, a view into the page; absent without a match.
// The forms with `first` take where the page's first marker of the find
// stands (see ShopMarkers; npos when it has none), which a match needs.
[[nodiscard]] std::optional<std::string_view> find_woocommerce_amount(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_woocommerce_amount(ValidUtf8 html, std::size_t first);
[[nodiscard]] std::optional<std::string_view> find_microdata_price(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_microdata_price(ValidUtf8 html, std::size_t first_itemprop);
[[nodiscard]] std::optional<std::string_view> find_microdata_currency(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_microdata_currency(ValidUtf8 html, std::size_t first_itemprop);
[[nodiscard]] std::optional<std::string_view> find_microdata_sku(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_microdata_sku(ValidUtf8 html, std::size_t first_itemprop);
[[nodiscard]] std::optional<std::string_view> find_sku_span(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_sku_span(ValidUtf8 html, std::size_t first_sku);
[[nodiscard]] std::optional<std::string_view> find_sku_data_attribute(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_sku_data_attribute(ValidUtf8 html, std::size_t first_sku);

// True when an element has the class "instock" (or "outofstock") as a word.
[[nodiscard]] bool has_in_stock_class(ValidUtf8 html);
[[nodiscard]] bool has_out_of_stock_class(ValidUtf8 html);

// The finds above for one page, each searched for once, however many parses
// of the page ask. Views point into the page.
class ShopMarkup {
 public:
  // `markers` must be the page's; without them they are looked for on
  // first use.
  explicit ShopMarkup(ValidUtf8 html, std::optional<ShopMarkers> markers = std::nullopt) noexcept
      : html_(html), markers_(markers) {}

  [[nodiscard]] std::optional<std::string_view> woocommerce_amount();
  [[nodiscard]] std::optional<std::string_view> microdata_price();
  [[nodiscard]] std::optional<std::string_view> microdata_currency();
  [[nodiscard]] std::optional<std::string_view> microdata_sku();
  [[nodiscard]] std::optional<std::string_view> sku_span();
  [[nodiscard]] std::optional<std::string_view> sku_data_attribute();

  // True when an element has the class "instock" (`in_stock`) or
  // "outofstock", or the page holds that availability term of the JSON-LD
  // vocabulary ("schema.org/InStock"); any ASCII case.
  [[nodiscard]] bool states_stock(bool in_stock);

 private:
  using Find = std::optional<std::string_view>;
  const ShopMarkers& markers();

  ValidUtf8 html_;
  std::optional<ShopMarkers> markers_;
  Lazy<Find> woocommerce_amount_, microdata_price_, microdata_currency_, microdata_sku_, sku_span_,
      sku_data_attribute_;
  Lazy<bool> in_stock_, out_of_stock_;
};

}  // namespace korvane::commerce::detail
