// data-* attributes that carry the price or the SKU (data-price-amount,
// data-product-price, data-sku, data-product-sku, ...), and hidden form
// fields named sku (and, weaker, product-id fields of add-to-cart forms),
// outside lists of other products and former prices.
#include "commerce/metadata/extended/json_values.hpp"
#include "commerce/metadata/extended/readers.hpp"

#include "commerce/money.hpp"
#include "text/html.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>

namespace korvane::commerce::detail::extended {
namespace {

constexpr std::array<std::string_view, 9> kPriceAttributes{
    "data-price-amount", "data-price",         "data-product-price", "data-final-price", "data-price-final",
    "data-sale-price",   "data-current-price", "data-product-price-amount", "data-price-value"};

constexpr std::array<std::string_view, 5> kCodeAttributes{"data-product-code", "data-productcode",
                                                           "data-article-number", "data-item-number",
                                                           "data-product_sku"};

constexpr std::array<std::string_view, 5> kSkuFieldNames{"sku", "product_sku", "productsku", "product-sku",
                                                          "item_sku"};
// Hidden fields of an add-to-cart form that carry the shop's product number.
constexpr std::array<std::string_view, 5> kProductIdFieldNames{"productid", "product_id", "products_id",
                                                                "product-id", "itemid"};

template <std::size_t N>
bool is_one_of(std::string_view name, const std::array<std::string_view, N>& names) {
  return std::any_of(names.begin(), names.end(), [&](std::string_view n) { return iequals(name, n); });
}

bool names_sku(std::string_view attribute) {
  if (!istarts_with(attribute, "data-")) return false;
  if (is_one_of(attribute, kCodeAttributes)) return true;
  return attribute.size() >= 8 && iequals(attribute.substr(attribute.size() - 3), "sku") &&
         (attribute[attribute.size() - 4] == '-' || attribute[attribute.size() - 4] == '_');
}

// A price attribute that a page marks as a former price (data-price-type="oldPrice").
bool marked_former(const PageIndex& page, const Tag& t) {
  const auto kind = page.attribute(t, "data-price-type");
  return kind && (icontains(*kind, "old") || icontains(*kind, "regular") || icontains(*kind, "base"));
}

std::optional<std::string> sku_value(std::string_view raw) {
  const std::string value = text::html_unescape(raw);
  const std::string_view v = text::strip(value);
  if (v.size() < 2 || v.size() > 64 || v.find(' ') != std::string_view::npos) return std::nullopt;
  if (v == "null" || v == "undefined" || v == "0") return std::nullopt;
  return std::string(v);
}

}  // namespace

void read_data_attributes(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  if (!page.has_hint(hint_price | hint_sku | hint_name)) return;
  int prices = 0;
  int skus = 0;
  int ids = 0;
  const auto hinted = page.hinted();
  for (std::size_t k = 0; k < hinted.size() && (prices < 4 || skus < 4); ++k) {
    const std::size_t i = hinted[k];
    const Tag& t = page.tags()[i];
    if (t.closing || (t.hints & (hint_price | hint_sku | hint_name)) == 0) continue;
    for (const Attribute& a : page.attributes(t)) {
      const bool hidden_field = t.kind == TagName::input && iequals(a.name, "name");
      const bool hidden_sku = hidden_field && is_one_of(a.value, kSkuFieldNames);
      const bool hidden_id = hidden_field && is_one_of(a.value, kProductIdFieldNames);
      if (hidden_id && ids < 2 && !ctx.other.contains(i)) {
        if (const auto raw = page.attribute(t, "value")) {
          if (auto v = sku_value(*raw); v && v->size() >= 4) {
            out.skus.push_back({std::move(*v), Source::data_attributes, IdField::internal_id});
            ++ids;
          }
        }
        continue;
      }
      if (a.name.size() < 5 && !hidden_sku) continue;
      if (prices < 4 && is_one_of(a.name, kPriceAttributes)) {
        if (marked_former(page, t) || is_struck(page, i) || ctx.other.contains(i)) continue;
        const std::string value = text::html_unescape(a.value);
        std::optional<Money> money;
        if (const auto plain = read_machine_amount(value, out.declared_currency())) {
          money = Money{*plain, {}, false, {}};
        } else if (value.size() <= 40) {
          money = read_money(value, out.declared_currency());
        }
        if (money && money->amount > 0.0) {
          out.prices.push_back({money->amount, money->currency, Source::data_attributes, prices++});
        }
      } else if (skus < 4 && (names_sku(a.name) || hidden_sku)) {
        const auto raw = hidden_sku ? page.attribute(t, "value") : std::optional<std::string_view>(a.value);
        if (!raw || ctx.other.contains(i)) continue;
        if (auto v = sku_value(*raw)) out.skus.push_back({std::move(*v), Source::data_attributes, IdField::sku, skus++ > 0});
      }
    }
  }
}

}  // namespace korvane::commerce::detail::extended
