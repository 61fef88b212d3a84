// What the readers of the extended mode report: candidate values for the
// price, SKU and availability of the page's product, each with the source
// that gave it, and the currencies the page declares. The decision stage
// (decide.hpp) turns them into fields.
#pragma once

#include <korvane/models.hpp>

#include "text/unicode.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::commerce::detail::extended {

// Where a candidate comes from, from the most to the least trusted kind.
enum class Source : std::uint8_t {
  json_ld,          // JSON-LD product and offer objects
  microdata,        // itemprop attributes (and RDFa "property" on elements)
  meta_tags,        // og:price:*, product:price:*, og:availability, product:retailer_item_id
  page_state,       // product objects of JSON scripts and script assignments
  analytics,        // dataLayer / ecommerce detail objects and tracking events
  data_attributes,  // data-price-amount, data-product-sku, hidden form fields
  visible_price,    // price elements near the main heading and the add-to-cart form
  item_label,       // "SKU:", "Item number", "Art.-Nr." ... followed by a value
  add_to_cart,      // an add-to-cart control, present and enabled or disabled
  stock_wording,    // sold-out / in-stock wording next to the product
  link,             // an item number in the page's own link
  byline,           // a brand link or "by ..." line next to the main heading
  standard,         // the standard rules' answer, kept when nothing better is found
};

[[nodiscard]] std::string_view to_string(Source s) noexcept;

struct PriceCandidate {
  double amount = 0.0;
  std::string currency;  // ISO code, empty when the source names none
  Source source = Source::standard;
  int rank = 0;          // lower is more likely the product's own price, within a source
};

// What kind of field named an identifier, from the strongest claim to be
// the shop's own item number to the weakest.
enum class IdField : std::uint8_t {
  sku,          // named as the SKU or item number: "sku", itemprop="sku", data-sku, "Art.-Nr.", retailer item id
  product_id,   // the product's id field: "productID", an analytics product's "id"
  mpn,          // the manufacturer's part number
  internal_id,  // a platform's own id: "item_id", "code", tracking content ids, product-id form fields
  gtin,         // a GTIN, EAN, UPC or ISBN: the article's number, rarely the shop's item number
  link,         // an item number in the page's own link
};

struct SkuCandidate {
  std::string value;
  Source source = Source::standard;
  IdField field = IdField::sku;
  // A weaker occurrence within its source: a later label or attribute than
  // the first (the first sits nearest the product's details), or an offer's
  // SKU rather than the product's.
  bool secondary = false;
  // Named for another product of the page (a variant the link does not name).
  bool other_product = false;
};

struct StockCandidate {
  models::StockStatus status = models::StockStatus::IN_STOCK;
  Source source = Source::standard;
  int rank = 0;
};

struct BrandCandidate {
  std::string value;
  Source source = Source::standard;
  // The maker ("manufacturer", "Hersteller"), which names the brand less
  // surely than a brand field does.
  bool maker = false;
};

struct Evidence {
  std::vector<PriceCandidate> prices;
  std::vector<SkuCandidate> skus;
  std::vector<StockCandidate> stock;
  std::vector<BrandCandidate> brands;
  std::vector<std::string> shown_skus;           // SKU candidates that the page's visible text shows
  std::vector<std::string> shop_names;           // og:site_name, application-name
  std::vector<std::string> declared_currencies;  // in the order found; ISO codes
  std::vector<std::string> written_currencies;   // written next to amounts in price elements

  // The first declared currency, or empty.
  [[nodiscard]] std::string_view declared_currency() const noexcept {
    return declared_currencies.empty() ? std::string_view() : std::string_view(declared_currencies.front());
  }
  void declare_currency(std::string code);
  // Adds a brand candidate when `value` can be one (see brand_text).
  void add_brand(std::string_view value, Source source, bool maker = false);
  void note_written_currency(std::string code);
  // True when `name` is the shop's own name (og:site_name, application-name),
  // compared by letters and digits.
  [[nodiscard]] bool is_shop_name(std::string_view name) const;
};

// True when `value` can be an item number: 1 to 64 bytes, no white space,
// at least one letter or digit ("Unavailable at this store" cannot).
[[nodiscard]] bool plausible_sku(std::string_view value) noexcept;

// The letters (lower-cased) and digits of `s` (see the text layer).
using text::letters_and_digits;

// A brand name as pages write it: HTML-unescaped, white space collapsed;
// absent when it cannot be a brand (empty, longer than 60 bytes, a link, no
// letter in it).
[[nodiscard]] std::optional<std::string> brand_text(std::string_view value);

// The availability a schema.org-style value names ("InStock",
// "http://schema.org/OutOfStock", "in stock", "out_of_stock", "SoldOut",
// "PreOrder", "LimitedAvailability", "Discontinued", ...), in any case and
// spelling; absent when it names none.
[[nodiscard]] std::optional<models::StockStatus> availability_of(std::string_view value);

}  // namespace korvane::commerce::detail::extended
