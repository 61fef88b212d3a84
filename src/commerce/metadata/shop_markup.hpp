// Searches for common shop-theme markup in a whole page: WooCommerce amounts,
// microdata "itemprop" attributes, SKU spans and attributes, stock classes.
// Each gives the first match of its pattern (see patterns.hpp), found in time
// linear in the page size whatever the page holds.
#pragma once

#include "commerce/metadata/embedded_data.hpp"

#include <optional>
#include <string_view>

namespace korvane::commerce::detail {

// Group 1 of the first match, a view into the page; absent without a match.
[[nodiscard]] std::optional<std::string_view> find_woocommerce_amount(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_microdata_price(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_microdata_currency(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_microdata_sku(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_sku_span(ValidUtf8 html);
[[nodiscard]] std::optional<std::string_view> find_sku_data_attribute(ValidUtf8 html);

// True when an element has the class "instock" (or "outofstock") as a word.
[[nodiscard]] bool has_in_stock_class(ValidUtf8 html);
[[nodiscard]] bool has_out_of_stock_class(ValidUtf8 html);

}  // namespace korvane::commerce::detail
